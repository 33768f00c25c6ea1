// parse_spawn_request with a fuzzed environment.
//
// Input layout:
//   byte 0      two bits per variable (ProgramFiles, ProgramFiles(x86),
//               LOCALAPPDATA, lowest bits first): 0 not set, 1 a usual
//               value, 2 a value taken from the input, 3 set but empty;
//   then, for each variable in mode 2, its UTF-16 units up to a 0x00 byte:
//               0xFF and two bytes (high first) give any unit, lone
//               surrogates included; any other byte is the unit of that value;
//   the rest    the request line, as bytes.
//
// An accepted request must hold what the service relies on later: a token of
// 32 hexadecimal digits, the 32 secret bytes of the third field, a path that
// ends with an enclave name, lies under a set location, has no climbing or
// aliasing dot component, and has nothing that could break out of the
// double quotes of the enclave's command line; and the line must be made of
// exactly those fields. A refusal must come from the first check that fails.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker/spawn_request.h"
#include "fuzz_support.h"
#include "text/lowercase.h"
#include "text/utf.h"

namespace {

using namespace bv::fuzz;

constexpr std::array<std::u16string_view, 3> kVariables = {u"ProgramFiles", u"ProgramFiles(x86)", u"LOCALAPPDATA"};
// Usual values; the last one holds Greek capitals, sigmas among them, whose
// lower case depends on what follows.
constexpr std::array<std::u16string_view, 3> kUsualValues = {
    u"C:\\Program Files", u"C:\\Program Files (x86)",
    u"C:\\Users\\\u039F\u0394\u03A5\u03A3\u03A3\u0395\u03A5\u03A3\\AppData\\Local"};

constexpr std::array<std::string_view, 2> kEnclaveNames = {"vault-enclave.exe",
                                                           "vault-enclave-x86_64-pc-windows-msvc.exe"};

std::u16string read_units(Reader& in) {
  std::u16string units;
  while (!in.empty()) {
    const std::uint8_t b = in.byte();
    if (b == 0x00) break;
    if (b == 0xFF) {
      const std::uint8_t high = in.byte();
      const std::uint8_t low = in.byte();
      units += static_cast<char16_t>((high << 8) | low);
    } else {
      units += static_cast<char16_t>(b);
    }
  }
  return units;
}

bool all_hex(std::string_view text) {
  for (char c : text) {
    if (ref_hex_value(c) < 0) return false;
  }
  return true;
}

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// A component of only dots and spaces with two dots or more.
bool has_dot_component(std::string_view path) {
  std::size_t dots = 0;
  bool only_dots_and_spaces = true;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || is_separator(path[i])) {
      if (only_dots_and_spaces && dots >= 2) return true;
      dots = 0;
      only_dots_and_spaces = true;
    } else if (path[i] == '.') {
      ++dots;
    } else if (path[i] != ' ') {
      only_dots_and_spaces = false;
    }
  }
  return false;
}

std::optional<std::string> bad_character(std::string_view path) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '"') return "double quote at " + std::to_string(i);
    if (c < 0x20 || c == 0x7F) return "control character at " + std::to_string(i);
    if (c == ':') {
      const auto first = static_cast<unsigned char>(path[0]);
      const bool letter = (first | 0x20) >= 'a' && (first | 0x20) <= 'z';
      if (i != 1 || !letter) return "colon at " + std::to_string(i);
    }
  }
  return std::nullopt;
}

// The fields of the trimmed line, split at the first three spaces.
std::vector<std::string_view> ref_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (std::size_t i = 0; i < line.size() && fields.size() < 3; ++i) {
    if (line[i] == ' ') {
      fields.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  fields.push_back(line.substr(start));
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t modes = in.byte();
  std::array<std::optional<std::u16string>, 3> values;
  for (std::size_t v = 0; v < 3; ++v) {
    switch ((modes >> (2 * v)) & 3) {
      case 0:
        break;
      case 1:
        values[v] = std::u16string(kUsualValues[v]);
        break;
      case 2:
        values[v] = read_units(in);
        break;
      default:
        values[v] = std::u16string();
        break;
    }
  }
  const std::string_view line = in.rest();

  std::vector<std::u16string> looked_up;
  const bv::broker::EnvironmentLookup environment = [&](std::u16string_view name) -> std::optional<std::u16string> {
    looked_up.emplace_back(name);
    for (std::size_t v = 0; v < 3; ++v) {
      if (name == kVariables[v]) return values[v];
    }
    property_failed(__FILE__, __LINE__, "a known variable", "looked up " + printable(name));
  };

  const auto request = bv::broker::parse_spawn_request(line, environment);

  // The checks that need no environment, made here independently; their
  // refusals must come first and in this order.
  const std::string_view trimmed = ref_trim_trailing_white_space(line);
  const auto fields = ref_fields(trimmed);
  std::optional<std::string> early;
  if (fields.size() < 4 || fields[0] != "SPAWN") {
    early = "Invalid request format";
  } else if (fields[1].size() != 32 || !all_hex(fields[1])) {
    early = "pipe_token must be 32 hex chars, got " + std::to_string(fields[1].size());
  } else if (fields[2].size() != 64) {
    early = "ipc_secret must be 64 hex chars, got " + std::to_string(fields[2].size());
  }
  if (early) {
    BV_FUZZ_CHECK(!request && request.error() == *early,
                  "line " + printable(line) + ": expected '" + *early + "', got " +
                      (request ? std::string("acceptance") : "'" + request.error() + "'"));
    BV_FUZZ_CHECK(looked_up.empty(), "environment read before the location test");
    return 0;
  }

  const std::string lower_path = bv::text::to_lower(fields[3]);
  bool has_name = false;
  for (auto name : kEnclaveNames) has_name = has_name || lower_path.ends_with(name);

  if (!request) {
    const std::string& error = request.error();
    const bool known = error == "Enclave path must end with 'vault-enclave.exe'" ||
                       error == "Enclave path must be under %ProgramFiles% or %LOCALAPPDATA%" ||
                       error == "Enclave path contains characters that are not allowed" ||
                       error.starts_with("Bad ipc_secret hex: Invalid hex char: ");
    BV_FUZZ_CHECK(known, "line " + printable(line) + ": unexpected message '" + printable(error) + "'");
    BV_FUZZ_CHECK(has_name == (error != "Enclave path must end with 'vault-enclave.exe'"), "line " + printable(line));
    if (!has_name) BV_FUZZ_CHECK(looked_up.empty(), "environment read although the name test failed");
    return 0;
  }

  // Accepted.
  const std::string detail = "accepted line " + printable(line);
  BV_FUZZ_CHECK(has_name, detail);
  BV_FUZZ_CHECK(looked_up.size() == 3 && looked_up[0] == kVariables[0] && looked_up[1] == kVariables[1] &&
                    looked_up[2] == kVariables[2],
                detail + ": the three variables are read once each, in order");

  const auto& token = request->pipe_token;
  BV_FUZZ_CHECK(token.size() == 32 && all_hex(token), detail);

  const auto& secret = request->ipc_secret.get();
  BV_FUZZ_CHECK(secret.size() == 32, detail);
  BV_FUZZ_CHECK(all_hex(fields[2]) && ref_hex_lower(secret) == ref_ascii_lower(fields[2]), detail);

  const std::string& path = request->enclave_path;
  BV_FUZZ_CHECK(path == fields[3], detail + ": path " + printable(path));
  const std::string recomposed = "SPAWN " + token + " " + std::string(fields[2]) + " " + path;
  BV_FUZZ_CHECK(recomposed == trimmed, detail + ": recomposed " + printable(recomposed));

  bool under_a_root = false;
  for (const auto& value : values) {
    if (!value || value->empty()) continue;
    std::size_t lone = 0;
    ref_replace_lone_surrogates(*value, lone);
    if (lone != 0) continue;  // not valid Unicode: no location
    const std::string root = bv::text::to_lower(bv::text::to_utf8(*value));
    if (!lower_path.starts_with(root)) continue;
    const bool separated = (!root.empty() && is_separator(root.back())) ||
                           (lower_path.size() > root.size() && is_separator(lower_path[root.size()]));
    under_a_root = under_a_root || separated;
  }
  BV_FUZZ_CHECK(under_a_root, detail + ": not under a set location");
  BV_FUZZ_CHECK(!has_dot_component(path), detail + ": dot component");
  const auto bad = bad_character(path);
  BV_FUZZ_CHECK(!bad, detail + ": " + bad.value_or(""));
  return 0;
}
