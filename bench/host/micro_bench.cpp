// Host micro-benchmarks of the request checks and the lower-case mapping,
// single-threaded. The environment lookup returns fixed values, so the
// figures leave out the platform's GetEnvironmentVariableW calls.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <string_view>

#include "broker/spawn_request.h"
#include "text/lowercase.h"

namespace {

std::optional<std::u16string> wine_environment(std::u16string_view name) {
  if (name == u"ProgramFiles") return u"C:\\Program Files";
  if (name == u"ProgramFiles(x86)") return u"C:\\Program Files (x86)";
  if (name == u"LOCALAPPDATA") return u"C:\\users\\bench\\AppData\\Local";
  return std::nullopt;
}

const bv::broker::EnvironmentLookup environment = wine_environment;

constexpr std::string_view token = "0123456789abcdefABCDEF0123456789";
constexpr std::string_view secret = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
constexpr std::string_view path = "C:\\Program Files\\Brisvander\\vault-enclave.exe";

std::string request(std::string_view request_token, std::string_view request_secret, std::string_view request_path) {
  return "SPAWN " + std::string(request_token) + " " + std::string(request_secret) + " " + std::string(request_path);
}

// Runs the parser on `line` and fails the benchmark when the outcome is not
// the expected one, so that a figure always belongs to the path it names.
void parse(benchmark::State& state, const std::string& line, bool accepted) {
  if (bv::broker::parse_spawn_request(line, environment).has_value() != accepted) {
    state.SkipWithError("the request did not take the expected path");
    return;
  }
  for (auto _ : state) {
    auto result = bv::broker::parse_spawn_request(line, environment);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_parse_valid(benchmark::State& state) {
  parse(state, request(token, secret, path), true);
}

// Refused at the last step, the hex decoding of the secret: every check
// before it has run.
void BM_parse_refused_secret_last_digit(benchmark::State& state) {
  std::string bad_secret(secret);
  bad_secret.back() = 'g';
  parse(state, request(token, bad_secret, path), false);
}

// Refused by the character check, which follows the name and location
// checks: a colon past the drive letter at the path's end.
void BM_parse_refused_colon_in_path(benchmark::State& state) {
  parse(state, request(token, secret, "C:\\Program Files\\Brisvander\\x:vault-enclave.exe"), false);
}

// Refused by the location check after all three roots were compared.
void BM_parse_refused_location(benchmark::State& state) {
  parse(state, request(token, secret, "C:\\Brisvander\\Elsewhere\\vault-enclave.exe"), false);
}

void lower(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto result = bv::text::to_lower(text);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The caller-name test lower-cases an image path of this kind.
void BM_to_lower_ascii_path(benchmark::State& state) {
  lower(state, "C:\\Program Files\\Brisvander Companion\\COMPANION-APP.EXE");
}

// Greek, Cyrillic and a final sigma: two-byte sequences through the tables.
void BM_to_lower_non_ascii_path(benchmark::State& state) {
  lower(state, "C:\\Users\\ΣΩΚΡΑΤΗΣ\\Документы\\ΟΔΟΣ\\COMPANION-APP.EXE");
}

BENCHMARK(BM_parse_valid);
BENCHMARK(BM_parse_refused_secret_last_digit);
BENCHMARK(BM_parse_refused_colon_in_path);
BENCHMARK(BM_parse_refused_location);
BENCHMARK(BM_to_lower_ascii_path);
BENCHMARK(BM_to_lower_non_ascii_path);

}  // namespace

BENCHMARK_MAIN();
