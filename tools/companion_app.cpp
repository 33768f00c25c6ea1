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
// Exit status: 0 the reply began with "OK ", 1 it began with "ERR ", 2 no
// reply (no connection within the time limit, the pipe's server was refused
// or could not be checked, or the connection ended before a whole line came
// back), 3 a reply line of another form, 4 the command line was not
// understood. A refused server counts as "no reply": what answers on the
// pipe then is not the service, and a caller treats that as the service
// being unavailable.

#include <windows.h>
// After <windows.h>, which defines the types these use.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/names.h"
#include "platform/win32/program_text.h"
#include "platform/win32/unique_handle.h"

namespace {

constexpr int exit_ok_reply = 0;
constexpr int exit_err_reply = 1;
constexpr int exit_no_reply = 2;
constexpr int exit_other_reply = 3;
constexpr int exit_usage = 4;

constexpr std::wstring_view default_pipe = bv::names::pipe_name<wchar_t>;
// The service whose process must be the pipe's server.
// Ends at a zero unit, so data() serves as a C string.
constexpr std::wstring_view service_name = bv::names::service_name<wchar_t>;
constexpr DWORD default_connect_timeout_ms = 30000;
constexpr DWORD default_reply_timeout_ms = 60000;
// The service creates its instances with this default wait; WaitNamedPipeW
// is given it explicitly only when less time than that is left.
constexpr DWORD server_default_wait_ms = 5000;
constexpr DWORD retry_not_found_ms = 50;
// A reply longer than this is not a reply of the service.
constexpr std::size_t max_reply_bytes = 64 * 1024;

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

using bv::platform::win32::to_hex;
using bv::platform::win32::to_utf8;
using bv::platform::win32::UniqueFile;
using bv::platform::win32::UniqueHandle;
using bv::platform::win32::UniqueServiceHandle;

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

bool random_hex(std::size_t byte_count, std::string& text) {
  std::vector<unsigned char> bytes(byte_count);
  const NTSTATUS status =
      BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) return false;
  text = to_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  SecureZeroMemory(bytes.data(), bytes.size());
  return true;
}

// Milliseconds left until `deadline` (a GetTickCount64 value), 0 when past.
DWORD remaining_ms(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

// Opens the pipe for overlapped reading and writing. While the server has no
// free instance (ERROR_PIPE_BUSY) it waits with WaitNamedPipeW; while there
// is no instance at all (between two clients, or before the server started)
// it retries after a short sleep. Any other failure ends the attempt.
// The security quality of service limits the server to identifying this
// user: whoever serves the pipe (checked only after the open) cannot
// impersonate the user to reach anything in the user's name.
UniqueFile open_pipe(const std::wstring& name, ULONGLONG deadline, DWORD& error) {
  constexpr DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  for (;;) {
    UniqueFile pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    if (pipe) return pipe;
    error = GetLastError();
    const DWORD left = remaining_ms(deadline);
    if (left == 0) return UniqueFile{};
    if (error == ERROR_PIPE_BUSY) {
      // A failed wait (the instance vanished, or the time ran out) is no
      // reason to stop: the next CreateFileW tells what is the matter. The
      // sleep keeps a wait that fails at once from spinning.
      if (!WaitNamedPipeW(name.c_str(), left < server_default_wait_ms ? left : NMPWAIT_USE_DEFAULT_WAIT)) {
        Sleep(std::min(remaining_ms(deadline), retry_not_found_ms));
      }
    } else if (error == ERROR_FILE_NOT_FOUND) {
      Sleep(std::min(left, retry_not_found_ms));
    } else {
      return UniqueFile{};
    }
  }
}

std::string win32_failure(std::string_view call, DWORD error) {
  return std::string(call) + " failed: error " + std::to_string(error);
}

// The state and process of the service as the Service Control Manager
// reports them, or why they could not be had. Needs only the rights that
// every user holds (SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS).
std::expected<SERVICE_STATUS_PROCESS, std::string> query_service_process() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return std::unexpected(win32_failure("OpenSCManagerW", GetLastError()));
  const UniqueServiceHandle service(OpenServiceW(manager.get(), service_name.data(), SERVICE_QUERY_STATUS));
  if (!service) return std::unexpected(win32_failure("OpenServiceW", GetLastError()));
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    return std::unexpected(win32_failure("QueryServiceStatusEx", GetLastError()));
  }
  return status;
}

std::string state_name(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "state " + std::to_string(state);
  }
}

// Accepts the server end of `pipe` only when its process is the one that
// the Service Control Manager reports for the service, and the service is
// running. Otherwise returns the message that names both process ids, or
// says why one of them is unknown. Called before anything is written: a
// process that created the pipe's name while the service was not running
// must not receive the request.
std::expected<void, std::string> verify_server(HANDLE pipe) {
  ULONG server_id = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server_id)) {
    return std::unexpected("cannot check the pipe's server: " +
                           win32_failure("GetNamedPipeServerProcessId", GetLastError()));
  }
  const std::string server = "server process " + std::to_string(server_id);
  const auto service = query_service_process();
  if (!service) {
    return std::unexpected("cannot check the pipe's server: " + server + ", service " + to_utf8(service_name) +
                           " unknown (" + service.error() + ")");
  }
  if (service->dwProcessId != server_id || service->dwCurrentState != SERVICE_RUNNING) {
    return std::unexpected("the pipe's server is not the running service: " + server + ", service " +
                           to_utf8(service_name) + " process " + std::to_string(service->dwProcessId) + " (" +
                           state_name(service->dwCurrentState) + ")");
  }
  return {};
}

// One overlapped read or write, waited for until `deadline`; an operation
// still pending then is cancelled and reported as ERROR_TIMEOUT.
bool transfer(HANDLE pipe, HANDLE event, bool write, char* buffer, DWORD size, ULONGLONG deadline, DWORD& done,
              DWORD& error) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  done = 0;
  const BOOL started =
      write ? WriteFile(pipe, buffer, size, nullptr, &overlapped) : ReadFile(pipe, buffer, size, nullptr, &overlapped);
  if (!started) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(event, remaining_ms(deadline)) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        error = ERROR_TIMEOUT;
        return false;
      }
    } else if (error != ERROR_MORE_DATA) {
      return false;
    }
  }
  if (!GetOverlappedResult(pipe, &overlapped, &done, TRUE)) {
    error = GetLastError();
    // A message-mode server may deliver a message in pieces; the bytes of
    // each piece count like those of a byte-mode read.
    return error == ERROR_MORE_DATA;
  }
  error = ERROR_SUCCESS;
  return true;
}

bool write_all(HANDLE pipe, HANDLE event, std::string& bytes, ULONGLONG deadline, DWORD& error) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    DWORD done = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 20));
    if (!transfer(pipe, event, true, bytes.data() + written, chunk, deadline, done, error)) return false;
    written += done;
  }
  return true;
}

// Reads until the first line feed and returns the line without it, or
// nothing when the connection ends, fails or times out before one came.
// Bytes received without a line feed are left in `received`.
std::optional<std::string> read_reply_line(HANDLE pipe, HANDLE event, ULONGLONG deadline, std::string& received,
                                           DWORD& error) {
  char buffer[512];
  while (received.size() < max_reply_bytes) {
    DWORD done = 0;
    if (!transfer(pipe, event, false, buffer, sizeof buffer, deadline, done, error)) return std::nullopt;
    received.append(buffer, done);
    const std::size_t line_feed = received.find('\n');
    if (line_feed != std::string::npos) return received.substr(0, line_feed);
  }
  error = ERROR_INSUFFICIENT_BUFFER;
  return std::nullopt;
}

int run(const Options& options) {
  std::string request;
  if (options.enclave) {
    std::string token = options.pipe_token.value_or("");
    std::string secret = options.ipc_secret.value_or("");
    if ((!options.pipe_token && !random_hex(16, token)) || (!options.ipc_secret && !random_hex(32, secret))) {
      report("BCryptGenRandom failed");
      return exit_no_reply;
    }
    request = "SPAWN " + token + " " + secret + " " + to_utf8(*options.enclave);
    SecureZeroMemory(secret.data(), secret.size());
  } else {
    request = *options.raw;
  }
  if (options.newline) request.push_back('\n');

  DWORD error = 0;
  UniqueFile pipe = open_pipe(options.pipe, GetTickCount64() + options.connect_timeout_ms, error);
  if (!pipe) {
    SecureZeroMemory(request.data(), request.size());
    report("cannot open " + to_utf8(options.pipe) + ": error " + std::to_string(error));
    return exit_no_reply;
  }
  if (options.check_server) {
    if (const auto verdict = verify_server(pipe.get()); !verdict) {
      SecureZeroMemory(request.data(), request.size());
      report(verdict.error() + "; nothing was sent");
      return exit_no_reply;
    }
  }
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) {
    SecureZeroMemory(request.data(), request.size());
    report("CreateEventW failed: error " + std::to_string(GetLastError()));
    return exit_no_reply;
  }

  const ULONGLONG deadline = GetTickCount64() + options.reply_timeout_ms;
  const bool sent = write_all(pipe.get(), event.get(), request, deadline, error);
  SecureZeroMemory(request.data(), request.size());
  if (!sent) {
    // The server may have answered before it read everything (a refused
    // request); the reply, if any, is still worth reading.
    report("writing the request failed: error " + std::to_string(error));
  }
  if (!options.read_reply) return exit_ok_reply;

  std::string received;
  const std::optional<std::string> line = read_reply_line(pipe.get(), event.get(), deadline, received, error);
  pipe.reset();
  if (!line) {
    report("no reply line (error " + std::to_string(error) + ", " + std::to_string(received.size()) +
           " bytes without a line feed)");
    return exit_no_reply;
  }
  std::fwrite(line->data(), 1, line->size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (line->starts_with("OK ")) return exit_ok_reply;
  if (line->starts_with("ERR ")) return exit_err_reply;
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
