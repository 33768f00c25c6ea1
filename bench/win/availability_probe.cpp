// bv-availability-probe.exe: how long the signed reference client waits
// for the service while callers that the service refuses keep connecting
// and stay silent. It prints figures; it is no test and judges nothing.
//
//   bv-availability-probe.exe [--build DIR] [--silent N] [--seconds S] [--asks A]
//
// It registers and starts the test build of the service
// (brisvander-svc-testlogon.exe, so that a launch can succeed under Wine)
// with a stored password, installs the sample enclave under %ProgramFiles%,
// and starts N (default 2) copies of the unsigned silent client under the
// name silent-companion-app.exe, so that the service refuses each of their
// connections on the signature test. Each connects again as soon as the
// service has ended its last connection. One second later the test-signed
// reference client (signed\companion-app.exe, connect limit 60 s) asks for
// an enclave, one run after the other with a pause of one second, until it
// has asked A (default 5) times and S (default 60) seconds have passed since
// the silent clients started; then the silent clients are ended.
//
// Each ask's wait is the reference client's whole run, from the start of
// its process to its exit (the process start, the server check and the
// launch included). Output:
//   ask K: waited W ms while N silent connections began, exit E, reply "..."
//   companion: A asks, A' answered with OK; wait median M ms, worst X ms
//   silent client K: C connections held by the service, median H ms,
//     longest L ms; next open after a median G ms
// The service is stopped and unregistered at the end, the enclave folder
// removed. Exit status 0 once the figures are printed, 1 when the probe
// could not run.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace bv::bench {
namespace {

constexpr wchar_t enclave_folder_name[] = L"Brisvander Availability Probe";
constexpr wchar_t silent_name[] = L"silent-companion-app.exe";
constexpr DWORD companion_connect_ms = 60000;
constexpr DWORD companion_run_limit_ms = 120000;
constexpr DWORD pause_between_asks_ms = 1000;
constexpr DWORD silent_head_start_ms = 1000;

struct Options {
  std::wstring build;
  int silent = 2;
  int seconds = 60;
  int asks = 5;
};

Options parse_options(int argc, wchar_t** argv) {
  Options options;
  options.build = test::folder_of(test::own_path());
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring name = argv[i];
    const std::wstring value = argv[i + 1];
    if (name == L"--build") {
      options.build = value;
    } else if (name == L"--silent") {
      options.silent = std::stoi(value);
    } else if (name == L"--seconds") {
      options.seconds = std::stoi(value);
    } else if (name == L"--asks") {
      options.asks = std::stoi(value);
    } else {
      throw BenchError("unknown option " + to_utf8(name));
    }
  }
  if (argc % 2 == 0) throw BenchError("an option without its value");
  return options;
}

void progress(const std::string& text) {
  std::fprintf(stderr, "[probe] %s\n", text.c_str());
  std::fflush(stderr);
}

struct Ask {
  double started_ms = 0;  // on the clock of support/clock.h
  double waited_us = 0;
  std::optional<DWORD> exit_code;
  std::string reply;
};

// One connection of a silent client that the service ended.
struct Held {
  double opened_ms = 0;  // on the clock of support/clock.h
  double held_ms = 0;
};

// The "held_ms=H opened_at_ms=T" lines of a silent client's output.
std::vector<Held> held_connections(const std::string& output) {
  std::vector<Held> held;
  std::istringstream lines(output);
  std::string line;
  const std::string held_marker = "held_ms=";
  const std::string opened_marker = "opened_at_ms=";
  while (std::getline(lines, line)) {
    const auto held_at = line.find(held_marker);
    const auto opened_at = line.find(opened_marker);
    if (held_at == std::string::npos || opened_at == std::string::npos) continue;
    held.push_back({std::strtod(line.c_str() + opened_at + opened_marker.size(), nullptr),
                    std::strtod(line.c_str() + held_at + held_marker.size(), nullptr)});
  }
  return held;
}

// How many silent connections began while the ask waited: the races for
// the instance that the reference client lost.
std::size_t races_lost(const Ask& ask, const std::vector<std::vector<Held>>& silent) {
  const double ended_ms = ask.started_ms + ask.waited_us / 1000.0;
  std::size_t lost = 0;
  for (const auto& connections : silent) {
    for (const Held& held : connections) {
      if (held.opened_ms > ask.started_ms && held.opened_ms < ended_ms) ++lost;
    }
  }
  return lost;
}

std::string format_ask(std::size_t number, const Ask& ask, std::size_t lost) {
  std::string exit = ask.exit_code ? std::to_string(*ask.exit_code) : "none (ended after the limit)";
  return "ask " + std::to_string(number) + ": waited " + format_ms(ask.waited_us) + " ms while " +
         std::to_string(lost) + " silent connections began, exit " + exit + ", reply \"" + ask.reply + "\"";
}

class Probe {
 public:
  explicit Probe(Options options) : options_(std::move(options)) {}

  ~Probe() {
    silent_.clear();
    test::remove_service();
    end_last_enclave();
    if (!enclave_folder_.empty()) test::remove_tree(enclave_folder_);
    if (!silent_folder_.empty()) test::remove_tree(silent_folder_);
  }

  void run() {
    set_up();
    start_silent_clients();
    Sleep(silent_head_start_ms);
    const double started = now_us();
    std::vector<Ask> asks;
    while (static_cast<int>(asks.size()) < options_.asks || now_us() - started < options_.seconds * 1e6) {
      asks.push_back(ask());
      Sleep(pause_between_asks_ms);
    }
    const double contended_s = (now_us() - started) / 1e6 + silent_head_start_ms / 1000.0;
    for (const auto& client : silent_) {
      if (!client->running()) progress("a silent client ended early: " + client->standard_error());
    }
    for (const auto& client : silent_) client->terminate();
    report(asks, contended_s);
  }

 private:
  void set_up() {
    const std::wstring service = options_.build + L"\\brisvander-svc-testlogon.exe";
    companion_ = options_.build + L"\\signed\\companion-app.exe";
    enclave_folder_ = test::program_files() + L"\\" + enclave_folder_name;
    enclave_ = enclave_folder_ + L"\\vault-enclave.exe";
    CreateDirectoryW(enclave_folder_.c_str(), nullptr);
    if (!CopyFileW((options_.build + L"\\vault-enclave.exe").c_str(), enclave_.c_str(), FALSE)) {
      fail("CopyFileW(vault-enclave.exe)");
    }
    silent_folder_ = test::temp_path_with_separator() + L"bv-availability-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(silent_folder_.c_str(), nullptr);
    silent_program_ = silent_folder_ + L"\\" + silent_name;
    if (!CopyFileW((options_.build + L"\\silent-client.exe").c_str(), silent_program_.c_str(), FALSE)) {
      fail("CopyFileW(silent-client.exe)");
    }
    if (verify_trust(silent_program_) == 0) throw BenchError("the silent client passes WinVerifyTrust");

    test::remove_service();
    store_random_password();
    service_handle_ = test::install_and_start(service);
    if (!test::wait_until_listening(30000)) throw BenchError("the service's pipe does not listen");
    progress("service running, enclave at " + to_utf8(enclave_));
  }

  void start_silent_clients() {
    // They run until they are ended; the limit only keeps a lost one from
    // running for ever.
    const std::wstring seconds = std::to_wstring(options_.seconds * 20 + 600);
    for (int i = 0; i < options_.silent; ++i) {
      silent_.push_back(std::make_unique<ChildProcess>(
          ChildOptions{.command_line = test::command_line(silent_program_, {L"--seconds", seconds})}));
    }
    progress(std::to_string(options_.silent) + " silent clients started");
  }

  Ask ask() {
    Ask result;
    result.started_ms = test::now_ms();
    const double started = now_us();
    ChildProcess companion({.command_line = test::command_line(companion_, {L"--enclave", enclave_, L"--timeout-ms",
                                                                            std::to_wstring(companion_connect_ms)})});
    result.exit_code = companion.wait(companion_run_limit_ms);
    result.waited_us = now_us() - started;
    if (!result.exit_code) companion.terminate();
    result.reply = companion.standard_output();
    if (result.reply.empty()) result.reply = companion.standard_error().substr(0, 200);
    while (!result.reply.empty() && (result.reply.back() == '\n' || result.reply.back() == '\r')) {
      result.reply.pop_back();
    }
    if (result.reply.rfind("OK ", 0) == 0) {
      last_enclave_ = static_cast<DWORD>(std::strtoul(result.reply.c_str() + 3, nullptr, 10));
    }
    return result;
  }

  void report(const std::vector<Ask>& asks, double contended_s) const {
    std::vector<std::vector<Held>> silent;
    for (const auto& client : silent_) silent.push_back(held_connections(client->standard_output()));
    std::vector<double> waits;
    std::size_t answered = 0;
    for (std::size_t i = 0; i < asks.size(); ++i) {
      std::printf("%s\n", format_ask(i + 1, asks[i], races_lost(asks[i], silent)).c_str());
      waits.push_back(asks[i].waited_us);
      if (asks[i].reply.rfind("OK ", 0) == 0) ++answered;
    }
    const Summary wait = summarize(waits);
    std::printf("companion: %zu asks, %zu answered with OK; wait median %s ms, worst %s ms\n", asks.size(), answered,
                format_ms(wait.median).c_str(), format_ms(wait.max).c_str());
    for (std::size_t i = 0; i < silent.size(); ++i) {
      std::vector<double> held_us;
      std::vector<double> gaps_us;  // from the end of one connection to the open of the next
      for (std::size_t k = 0; k < silent[i].size(); ++k) {
        held_us.push_back(silent[i][k].held_ms * 1000.0);
        if (k > 0) {
          gaps_us.push_back((silent[i][k].opened_ms - silent[i][k - 1].opened_ms - silent[i][k - 1].held_ms) * 1000.0);
        }
      }
      const Summary held = summarize(held_us);
      const Summary gap = summarize(gaps_us);
      std::printf(
          "silent client %zu: %zu connections held by the service, median %s ms, longest %s ms; next open after a "
          "median %s ms\n",
          i + 1, held.count, format_ms(held.median).c_str(), format_ms(held.max).c_str(),
          format_ms(gap.median).c_str());
    }
    std::printf("silent clients ran for %.1f s\n", contended_s);
    std::fflush(stdout);
  }

  // The enclave of the last launch outlives the service.
  void end_last_enclave() const {
    if (last_enclave_ == 0) return;
    const Handle process(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, last_enclave_));
    if (!process) return;
    const std::wstring image = test::image_name(process.get());
    if (image.ends_with(L"\\vault-enclave.exe")) TerminateProcess(process.get(), 1);
  }

  Options options_;
  std::wstring companion_;
  std::wstring enclave_folder_;
  std::wstring enclave_;
  std::wstring silent_folder_;
  std::wstring silent_program_;
  test::UniqueServiceHandle service_handle_;
  std::vector<std::unique_ptr<ChildProcess>> silent_;
  DWORD last_enclave_ = 0;
};

}  // namespace
}  // namespace bv::bench

int wmain(int argc, wchar_t** argv) {
  using namespace bv::bench;
  try {
    Probe probe(parse_options(argc, argv));
    probe.run();
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bv-availability-probe: %s\n", error.what());
    return 1;
  }
}
