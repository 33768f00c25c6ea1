// silent-client.exe: a client of the service's pipe that connects and sends
// nothing, for the end-to-end tests of how long a silent caller may hold the
// only instance, and for the availability probe (bench/win). Its
// test-signed copy signed/silent-companion-app.exe passes the service's
// verification; the plain one does not.
//
//   silent-client.exe [--pipe NAME] [--seconds N]
//     Opens the pipe (waiting while the instance is busy, at most 60 s) and
//     sends nothing until the server ends the connection (at most 60 s).
//     With --seconds it connects again as soon as a connection has ended,
//     until N seconds have passed. One line per connection on standard
//     output, flushed at once, so that a run that is ended from outside
//     still leaves its figures:
//       silent-client: held_ms=H opened_at_ms=T
//                                         the server ended the connection
//                                         H ms after the open (at T on the
//                                         clock of support/clock.h), sending
//                                         nothing
//       silent-client: no_connect error=E
//       silent-client: not_ended outcome=O
//     Exit status 0 when the server ended every connection without sending
//     anything, 1 otherwise, 2 on a command line it does not understand.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>

#include "common/names.h"
#include "support/clock.h"
#include "support/pipe_client.h"

namespace {

constexpr int exit_all_ended = 0;
constexpr int exit_not_ended = 1;
constexpr int exit_usage = 2;

constexpr DWORD connect_limit_ms = 60000;
constexpr DWORD end_limit_ms = 60000;

const char usage[] = "usage: silent-client.exe [--pipe NAME] [--seconds N]\n";

struct Options {
  std::wstring pipe{bv::names::pipe_name<wchar_t>};
  DWORD seconds = 0;  // 0: one connection
};

std::optional<Options> parse_options(int argc, wchar_t** argv) {
  Options options;
  if (argc % 2 == 0) return std::nullopt;  // an option without its value
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring_view name = argv[i];
    if (name == L"--pipe") {
      options.pipe = argv[i + 1];
    } else if (name == L"--seconds") {
      wchar_t* end = nullptr;
      const unsigned long value = std::wcstoul(argv[i + 1], &end, 10);
      if (*argv[i + 1] < L'0' || *argv[i + 1] > L'9' || *end != L'\0' || value == 0 || value > 24 * 3600) {
        return std::nullopt;
      }
      options.seconds = static_cast<DWORD>(value);
    } else {
      return std::nullopt;
    }
  }
  return options;
}

void print_line(const std::string& text) {
  std::printf("silent-client: %s\n", text.c_str());
  std::fflush(stdout);
}

// One silent connection; whether the server ended it without a reply.
bool hold_one(const std::wstring& pipe) {
  bv::test::Connection connection(pipe);
  if (!connection.open(connect_limit_ms)) {
    print_line("no_connect error=" + std::to_string(connection.error()));
    return false;
  }
  const double opened = bv::test::now_ms();
  const bv::test::Received ended = connection.read_reply(end_limit_ms);
  const double held = bv::test::now_ms() - opened;
  if (ended.outcome != bv::test::Outcome::silence) {
    print_line("not_ended outcome=" + std::string(bv::test::outcome_name(ended.outcome)));
    return false;
  }
  char figures[64];
  std::snprintf(figures, sizeof figures, "held_ms=%.1f opened_at_ms=%.1f", held, opened);
  print_line(figures);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::fputs(usage, stderr);
    return exit_usage;
  }
  const ULONGLONG deadline = GetTickCount64() + options->seconds * 1000ull;
  bool all_ended = true;
  do {
    all_ended = hold_one(options->pipe) && all_ended;
  } while (GetTickCount64() < deadline);
  return all_ended ? exit_all_ended : exit_not_ended;
}
