// companion-app.exe: the reference client of the Brisvander Enclave Service.
//
// One run is one connection: open the service's pipe (waiting while every
// instance is busy), make sure that the process serving it is the service,
// write one request line, read the one reply line and print it to standard
// output. Besides the ordinary SPAWN request it can send any text or any
// bytes, so that tests can put to the service the requests that no honest
// client makes.
//
// The pipe's name is free for any process to create while the service is
// stopped or not installed, and the request carries the IPC secret. So,
// before anything is written, the pipe's server process
// (GetNamedPipeServerProcessId) must be the process that the Service Control
// Manager reports for BrisvanderEnclaveSvc, and that service must be
// running; otherwise nothing is sent. The pipe is opened with
// SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, so that a server can
// identify the user but never act as the user. --skip-server-check drops the
// server check, for tests that play the server themselves; it is unsafe
// against anything else.
//
// The connection, the server check and the exchange are the companion
// library's (libs/companion), the same steps that bv_request_enclave takes;
// this program adds the options that tests need and prints the reply.
//
// Exit status: 0 the reply began with "OK ", 1 it began with "ERR ", 2 no
// reply (no connection within the time limit, the pipe's server was refused
// or could not be checked, or the connection ended before a whole line came
// back), 3 a reply line of another form, 4 the command line was not
// understood. A refused server counts as "no reply": what answers on the
// pipe then is not the service, and a caller treats that as the service
// being unavailable.

#include <windows.h>
// After <windows.h>, which defines the types these use.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>

#include "brisvander/companion.h"
#include "common/names.h"
#include "companion/exchange.h"
#include "companion/request.h"
#include "companion/win32/companion_system_win32.h"
#include "platform/win32/program_text.h"
#include "secret/secret.h"

namespace {

constexpr int exit_ok_reply = 0;
constexpr int exit_err_reply = 1;
constexpr int exit_no_reply = 2;
constexpr int exit_other_reply = 3;
constexpr int exit_usage = 4;

constexpr std::wstring_view default_pipe = bv::names::pipe_name<wchar_t>;
constexpr DWORD default_connect_timeout_ms = 30000;
constexpr DWORD default_reply_timeout_ms = 60000;
// A fresh pipe token and IPC secret are this many bytes.
constexpr std::size_t token_bytes = 16;
constexpr std::size_t secret_bytes = 32;

constexpr std::string_view usage_text =
    "Usage: companion-app.exe (--enclave PATH | --raw TEXT | --raw-hex HEX) [options]\n"
    "\n"
    "Sends one request line to the Brisvander Enclave Service and prints its reply.\n"
    "\n"
    "  --enclave PATH        send \"SPAWN {token} {secret} {PATH}\": a fresh random pipe\n"
    "                        token (32 hex digits) and IPC secret (64 hex digits)\n"
    "  --pipe-token HEX      use this pipe token instead of a random one (with --enclave)\n"
    "  --ipc-secret HEX      use this IPC secret instead of a random one (with --enclave)\n"
    "  --raw TEXT            send TEXT (as UTF-8) instead of a SPAWN request\n"
    "  --raw-hex HEX         send the bytes that HEX spells (pairs of hex digits)\n"
    "  --no-newline          do not end the request with a line feed\n"
    "  --no-read             exit 0 right after sending, without reading a reply\n"
    "  --pipe NAME           pipe to open (default \\\\.\\pipe\\brisvander-svc); its server\n"
    "                        must still be the service BrisvanderEnclaveSvc\n"
    "  --skip-server-check   UNSAFE: send the request to whatever process serves the\n"
    "                        pipe, without checking that it is the running service\n"
    "                        BrisvanderEnclaveSvc; any process can create the pipe\n"
    "                        while the service is stopped and would receive the\n"
    "                        secret (for tests that play the server themselves)\n"
    "  --timeout-ms N        give up connecting after N ms (default 30000)\n"
    "  --reply-timeout-ms N  give up sending and reading the reply after N ms (default 60000)\n"
    "  --help                print this text\n"
    "\n"
    "Before anything is sent, the process serving the pipe must be the process of\n"
    "the service BrisvanderEnclaveSvc, and the service must be running; otherwise\n"
    "nothing is sent.\n"
    "The reply line is printed to standard output followed by a line feed.\n"
    "Exit status: 0 \"OK ...\", 1 \"ERR ...\", 2 no reply or no connection (the\n"
    "pipe's server was not the running service, or could not be checked, included),\n"
    "3 any other reply line, 4 usage error.\n";

using bv::platform::win32::to_utf8;

struct Options {
  std::wstring pipe{default_pipe};
  std::optional<std::wstring> enclave;
  std::optional<std::string> pipe_token;
  std::optional<std::string> ipc_secret;
  std::optional<std::string> raw;
  bool newline = true;
  bool read_reply = true;
  bool check_server = true;
  bool help = false;
  DWORD connect_timeout_ms = default_connect_timeout_ms;
  DWORD reply_timeout_ms = default_reply_timeout_ms;
};

void report(std::string_view text) {
  std::fputs("companion-app: ", stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
}

int hex_value(wchar_t digit) {
  if (digit >= L'0' && digit <= L'9') return digit - L'0';
  if (digit >= L'a' && digit <= L'f') return digit - L'a' + 10;
  if (digit >= L'A' && digit <= L'F') return digit - L'A' + 10;
  return -1;
}

std::optional<std::string> parse_hex(std::wstring_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

std::optional<DWORD> parse_milliseconds(const wchar_t* text) {
  if (*text < L'0' || *text > L'9') return std::nullopt;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long value = std::wcstoull(text, &end, 10);
  if (errno != 0 || *end != L'\0' || value >= INFINITE) return std::nullopt;
  return static_cast<DWORD>(value);
}

// Returns the options, or a usage message.
std::optional<Options> parse_options(int argc, wchar_t** argv, std::string& error) {
  Options options;
  int modes = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view name = argv[i];
    if (name == L"--help") {
      options.help = true;
      continue;
    }
    if (name == L"--no-newline") {
      options.newline = false;
      continue;
    }
    if (name == L"--no-read") {
      options.read_reply = false;
      continue;
    }
    if (name == L"--skip-server-check") {
      options.check_server = false;
      continue;
    }
    constexpr std::wstring_view with_value[] = {L"--enclave",    L"--raw",  L"--raw-hex",    L"--pipe-token",
                                                L"--ipc-secret", L"--pipe", L"--timeout-ms", L"--reply-timeout-ms"};
    if (std::find(std::begin(with_value), std::end(with_value), name) == std::end(with_value)) {
      error = "unknown option " + to_utf8(name);
      return std::nullopt;
    }
    if (i + 1 >= argc) {
      error = "missing value after " + to_utf8(name);
      return std::nullopt;
    }
    const wchar_t* value = argv[++i];
    if (name == L"--enclave") {
      options.enclave = value;
      ++modes;
    } else if (name == L"--raw") {
      options.raw = to_utf8(value);
      ++modes;
    } else if (name == L"--raw-hex") {
      options.raw = parse_hex(value);
      if (!options.raw) {
        error = "--raw-hex needs pairs of hexadecimal digits";
        return std::nullopt;
      }
      ++modes;
    } else if (name == L"--pipe-token") {
      options.pipe_token = to_utf8(value);
    } else if (name == L"--ipc-secret") {
      options.ipc_secret = to_utf8(value);
    } else if (name == L"--pipe") {
      options.pipe = value;
    } else {
      const std::optional<DWORD> milliseconds = parse_milliseconds(value);
      if (!milliseconds) {
        error = to_utf8(name) + " needs a number of milliseconds";
        return std::nullopt;
      }
      (name == L"--timeout-ms" ? options.connect_timeout_ms : options.reply_timeout_ms) = *milliseconds;
    }
  }
  if (!options.help && modes != 1) {
    error = "give exactly one of --enclave, --raw and --raw-hex";
    return std::nullopt;
  }
  return options;
}

std::u16string utf16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// "SPAWN {token} {secret} {path}" for --enclave, with the given or fresh
// token and secret; the text of --raw or --raw-hex otherwise. Built in
// place, so that no copy of the secret is left behind.
bool compose_request(bv::companion_side::CompanionSystem& system, const Options& options, bv::SecretString& request) {
  if (!options.enclave) {
    request.get().reserve(options.raw->size() + 1);
    request.get() = *options.raw;
    return true;
  }
  const std::string path = to_utf8(*options.enclave);
  const std::size_t token_length = options.pipe_token ? options.pipe_token->size() : 2 * token_bytes;
  const std::size_t secret_length = options.ipc_secret ? options.ipc_secret->size() : 2 * secret_bytes;
  std::string& line = request.get();
  line.reserve(6 + token_length + 1 + secret_length + 1 + path.size() + 1);
  line = "SPAWN ";
  for (const auto& [given, length] :
       {std::pair{&options.pipe_token, token_length}, std::pair{&options.ipc_secret, secret_length}}) {
    if (*given) {
      line += **given;
    } else {
      const std::size_t start = line.size();
      line.resize(start + length);
      if (auto made = bv::companion_side::write_random_hex(system, std::span(line).subspan(start)); !made) {
        report(made.error());
        return false;
      }
    }
    line += ' ';
  }
  line += path;
  return true;
}

int run(const Options& options) {
  bv::companion_side::Win32CompanionSystem system;
  bv::SecretString request;
  if (!compose_request(system, options, request)) return exit_no_reply;
  if (options.newline) request.get().push_back('\n');

  const bv::companion_side::ExchangeSettings settings{.pipe = utf16(options.pipe),
                                                      .check_server = options.check_server,
                                                      .connect_timeout_ms = options.connect_timeout_ms,
                                                      .reply_timeout_ms = options.reply_timeout_ms,
                                                      .read_reply = options.read_reply};
  const bv::companion_side::ExchangeOutcome outcome = bv::companion_side::exchange(system, settings, request.get());
  bv::wipe(request.get());
  if (outcome.write_error) {
    // The server may have answered before it read everything (a refused
    // request); the reply, if any, was still read.
    report("writing the request failed: error " + std::to_string(*outcome.write_error));
  }
  if (outcome.code != BV_OK) {
    report(outcome.message);
    return exit_no_reply;
  }
  if (!options.read_reply) return exit_ok_reply;

  const std::string& line = *outcome.reply;
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (line.starts_with("OK ")) return exit_ok_reply;
  if (line.starts_with("ERR ")) return exit_err_reply;
  return exit_other_reply;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // The reply goes out byte for byte: no CR before the line feed.
  _setmode(_fileno(stdout), _O_BINARY);
  std::string error;
  const std::optional<Options> options = parse_options(argc, argv, error);
  if (!options) {
    report(error);
    std::fputs("Try 'companion-app.exe --help'.\n", stderr);
    return exit_usage;
  }
  if (options->help) {
    std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
    return 0;
  }
  return run(*options);
}
