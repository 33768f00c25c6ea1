// pipe-squatter.exe: an ordinary process that takes, or tries to take, the
// service's pipe name, for the end-to-end tests of what a client risks when
// some other process owns \\.\pipe\brisvander-svc.
//
//   pipe-squatter.exe own --record FILE [--pipe NAME] [--seconds N]
//     Creates the pipe (the first instance of its name, or nothing) and plays
//     the service: every client is answered with "OK 4242\n" once its first
//     line feed came, and every byte that clients send is recorded. One
//     instance serves the clients one after the other. Ends after N seconds
//     (default 60) or when terminated; the record is complete on disk after
//     every event, so terminating it loses nothing. Exit status 0, or 2 when
//     the pipe or the record could not be made.
//
//   pipe-squatter.exe probe --seconds N [--pipe NAME]
//     While the service runs: for N seconds one thread opens the pipe and
//     closes it again without writing, over and over (each such connection
//     sends the service round its loop), while the main thread calls
//     CreateNamedPipeW on the same name in a tight loop, trying to get an
//     instance of its own. An instance it gets is held for a second, and a
//     client that connects in that second is answered "OK 4242\n", as an
//     attacker would. Prints one line of figures:
//       pipe-squatter probe: seconds=S tries=T churned=C owned=no errors=E
//       pipe-squatter probe: seconds=S tries=T churned=C owned=yes
//         owned_after_ms=M answered_client=yes|no errors=E
//     (one line; `errors` lists CreateNamedPipeW's failure codes as
//     code:count pairs). Exit status 0 when it never got an instance, 1 when
//     it got one, 2 on a command line it does not understand.
//
// The record of `own` is UTF-8 text of "key=value" lines:
//   pid=            this process's id
//   pipe=           the pipe's name
//   connections=    clients that connected
//   ended=          connections that have ended (the client closed its end,
//                   or sent nothing more for 10 s)
//   replies=        "OK 4242" replies written
//   received_hex=   every byte received from every client, in order, as
//                   lowercase hex

#include <windows.h>
// After <windows.h>, which defines the types it uses.
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "common/names.h"
#include "platform/win32/unique_handle.h"
#include "support/clock.h"
#include "support/pipe_client.h"
#include "support/text.h"

namespace {

constexpr int exit_clean = 0;
constexpr int exit_owned = 1;
constexpr int exit_failed = 2;

constexpr std::string_view fake_reply = "OK 4242\n";
constexpr DWORD default_own_seconds = 60;
// A client that sends nothing for this long is let go, as the service does.
constexpr DWORD client_idle_limit_ms = 10000;
// How long the probe holds an instance it got, waiting for a client.
constexpr DWORD probe_hold_ms = 1000;
// Readers of the record may hold it open; the rename is tried this often.
constexpr int record_rename_tries = 50;

// Any process of any user may read and write: (A;;GRGW;;;WD) Everyone,
// (A;;GA;;;SY) LocalSystem and (A;;GA;;;BA) Administrators full control.
constexpr wchar_t squatter_sddl[] = L"D:(A;;GRGW;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

const char usage[] =
    "usage: pipe-squatter.exe own --record FILE [--pipe NAME] [--seconds N]\n"
    "       pipe-squatter.exe probe --seconds N [--pipe NAME]\n";

using bv::platform::win32::UniqueFile;
using bv::platform::win32::UniqueHandle;
using bv::platform::win32::UniqueLocal;
using bv::test::now_ms;
using bv::test::to_hex;
using bv::test::to_utf8;

DWORD remaining_ms(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

struct Options {
  std::wstring mode;
  std::wstring pipe{bv::names::pipe_name<wchar_t>};
  std::optional<std::wstring> record;
  std::optional<DWORD> seconds;
};

std::optional<DWORD> parse_seconds(const wchar_t* text) {
  if (*text < L'0' || *text > L'9') return std::nullopt;
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (*end != L'\0' || value == 0 || value > 24 * 3600) return std::nullopt;
  return static_cast<DWORD>(value);
}

std::optional<Options> parse_options(int argc, wchar_t** argv) {
  if (argc < 2) return std::nullopt;
  Options options{.mode = argv[1]};
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::wstring_view name = argv[i];
    if (name == L"--pipe") {
      options.pipe = argv[i + 1];
    } else if (name == L"--record") {
      options.record = argv[i + 1];
    } else if (name == L"--seconds") {
      options.seconds = parse_seconds(argv[i + 1]);
      if (!options.seconds) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 != 0) return std::nullopt;  // an option without its value
  if (options.mode == L"own" && options.record) return options;
  if (options.mode == L"probe" && options.seconds && !options.record) return options;
  return std::nullopt;
}

// One instance of `name` with the squatter's DACL: overlapped, byte mode,
// at most one instance. `first_only` adds FILE_FLAG_FIRST_PIPE_INSTANCE.
UniqueFile create_instance(const std::wstring& name, bool first_only, DWORD& error) {
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(squatter_sddl, SDDL_REVISION_1, descriptor.put(),
                                                            nullptr)) {
    error = GetLastError();
    return UniqueFile{};
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first_only ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  UniqueFile pipe(CreateNamedPipeW(name.c_str(), open_mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096,
                                   4096, 0, &attributes));
  error = pipe ? ERROR_SUCCESS : GetLastError();
  return pipe;
}

// Waits at most `timeout_ms` for an overlapped operation that returned
// ERROR_IO_PENDING, cancelling it when the time runs out. The bytes moved,
// or nothing when it failed or was cancelled.
std::optional<DWORD> finish(HANDLE pipe, OVERLAPPED& overlapped, DWORD timeout_ms) {
  DWORD done = 0;
  if (WaitForSingleObject(overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    return std::nullopt;
  }
  if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE)) return std::nullopt;
  return done;
}

// Waits at most `timeout_ms` for a client; true once one is connected (one
// that came and went before the wait counts too).
bool accept_client(HANDLE pipe, HANDLE event, DWORD timeout_ms) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  if (ConnectNamedPipe(pipe, &overlapped)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return true;
  if (error != ERROR_IO_PENDING) return false;
  return finish(pipe, overlapped, timeout_ms).has_value();
}

// The next bytes of the client, or nothing once it closed its end or sent
// nothing for `timeout_ms`.
std::optional<std::string> read_some(HANDLE pipe, HANDLE event, DWORD timeout_ms) {
  char buffer[4096];
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD done = 0;
  if (ReadFile(pipe, buffer, sizeof buffer, &done, &overlapped)) {
    if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE) || done == 0) return std::nullopt;
    return std::string(buffer, done);
  }
  if (GetLastError() != ERROR_IO_PENDING) return std::nullopt;
  const std::optional<DWORD> read = finish(pipe, overlapped, timeout_ms);
  if (!read || *read == 0) return std::nullopt;
  return std::string(buffer, *read);
}

bool write_all(HANDLE pipe, HANDLE event, std::string_view bytes) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD done = 0;
  if (!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &done, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  const std::optional<DWORD> written = finish(pipe, overlapped, client_idle_limit_ms);
  return written && *written == bytes.size();
}

// --- own ----------------------------------------------------------------------

struct Record {
  std::wstring pipe;
  unsigned connections = 0;
  unsigned ended = 0;
  unsigned replies = 0;
  std::string received;
};

// Replaces the record file as a whole (written beside it, then renamed over
// it), so that a reader never sees half of one.
bool write_record(const std::wstring& path, const Record& record) {
  const std::string text = "pid=" + std::to_string(GetCurrentProcessId()) + "\npipe=" + to_utf8(record.pipe) +
                           "\nconnections=" + std::to_string(record.connections) +
                           "\nended=" + std::to_string(record.ended) + "\nreplies=" + std::to_string(record.replies) +
                           "\nreceived_hex=" + to_hex(record.received) + "\n";
  const std::wstring partial = path + L".partial";
  {
    UniqueFile file(
        CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      return false;
    }
  }
  for (int attempt = 0; attempt < record_rename_tries; ++attempt) {
    if (MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    Sleep(10);
  }
  return false;
}

// Serves one connected client: records what it sends, answers its first
// line, and returns once it closed its end or went silent.
void serve_client(HANDLE pipe, HANDLE event, Record& record, const std::wstring& record_path) {
  bool answered = false;
  while (const std::optional<std::string> bytes = read_some(pipe, event, client_idle_limit_ms)) {
    record.received += *bytes;
    if (!answered && bytes->find('\n') != std::string::npos) {
      answered = true;
      if (write_all(pipe, event, fake_reply)) ++record.replies;
    }
    write_record(record_path, record);
  }
}

int run_own(const Options& options) {
  DWORD error = 0;
  UniqueFile pipe = create_instance(options.pipe, true, error);
  if (!pipe) {
    std::fprintf(stderr, "pipe-squatter own: CreateNamedPipeW(%s) failed: error %lu\n", to_utf8(options.pipe).c_str(),
                 error);
    return exit_failed;
  }
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Record record{.pipe = options.pipe};
  if (!event || !write_record(*options.record, record)) {
    std::fprintf(stderr, "pipe-squatter own: cannot write the record %s: error %lu\n", to_utf8(*options.record).c_str(),
                 GetLastError());
    return exit_failed;
  }
  const ULONGLONG deadline = GetTickCount64() + options.seconds.value_or(default_own_seconds) * 1000ull;
  while (remaining_ms(deadline) > 0) {
    if (!accept_client(pipe.get(), event.get(), remaining_ms(deadline))) continue;
    ++record.connections;
    write_record(*options.record, record);
    serve_client(pipe.get(), event.get(), record, *options.record);
    ++record.ended;
    write_record(*options.record, record);
    DisconnectNamedPipe(pipe.get());
  }
  return exit_clean;
}

// --- probe --------------------------------------------------------------------

// Opens and closes the pipe until `stop` is set: each open that succeeds is
// a connection that the server ends without a request.
void churn_connections(const std::wstring& name, const std::atomic<bool>& stop, std::atomic<unsigned>& churned) {
  bv::test::Connection client(name);
  while (!stop.load()) {
    if (client.open(0)) {
      client.close();
      ++churned;
      continue;
    }
    // Busy: the server still handles the previous connection.
    if (client.error() == ERROR_PIPE_BUSY) WaitNamedPipeW(name.c_str(), 50);
  }
}

// Holds an instance the probe got for a while; a client that connects then
// is answered as the service would answer it. True when one was answered.
bool hold_instance(HANDLE pipe) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event || !accept_client(pipe, event.get(), probe_hold_ms)) return false;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const std::optional<std::string> bytes = read_some(pipe, event.get(), probe_hold_ms);
    if (!bytes) return false;
    line += *bytes;
  }
  return write_all(pipe, event.get(), fake_reply);
}

std::string error_counts(const std::map<DWORD, unsigned long long>& errors) {
  std::string text;
  for (const auto& [code, count] : errors) {
    if (!text.empty()) text += ',';
    text += std::to_string(code) + ":" + std::to_string(count);
  }
  return text.empty() ? "none" : text;
}

// Calls CreateNamedPipeW on `name` until it yields an instance or
// `deadline` passes, counting the tries and the failure codes.
UniqueFile squat(const std::wstring& name, ULONGLONG deadline, unsigned long long& tries,
                 std::map<DWORD, unsigned long long>& errors) {
  while (remaining_ms(deadline) > 0) {
    ++tries;
    DWORD error = 0;
    UniqueFile instance = create_instance(name, false, error);
    if (instance) return instance;
    ++errors[error];
  }
  return UniqueFile{};
}

int run_probe(const Options& options) {
  std::atomic<bool> stop{false};
  std::atomic<unsigned> churned{0};
  std::map<DWORD, unsigned long long> errors;
  unsigned long long tries = 0;

  const double start = now_ms();
  const ULONGLONG deadline = GetTickCount64() + *options.seconds * 1000ull;
  std::thread churner(churn_connections, std::cref(options.pipe), std::cref(stop), std::ref(churned));
  const UniqueFile owned = squat(options.pipe, deadline, tries, errors);
  const double owned_after_ms = now_ms() - start;
  stop.store(true);
  churner.join();
  const bool answered = owned && hold_instance(owned.get());
  const double seconds = (now_ms() - start) / 1000.0;

  std::printf("pipe-squatter probe: seconds=%.1f tries=%llu churned=%u owned=%s", seconds, tries, churned.load(),
              owned ? "yes" : "no");
  if (owned) std::printf(" owned_after_ms=%.3f answered_client=%s", owned_after_ms, answered ? "yes" : "no");
  std::printf(" errors=%s\n", error_counts(errors).c_str());
  std::fflush(stdout);
  return owned ? exit_owned : exit_clean;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::fputs(usage, stderr);
    return exit_failed;
  }
  return options->mode == L"own" ? run_own(*options) : run_probe(*options);
}
