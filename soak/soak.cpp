// bv-soak: a long run against the installed Brisvander Enclave Service.
//
// It must run as a client that the service accepts: the build test-signs a
// copy of it named bv-soak-companion-app.exe, and that copy is the one to
// start. Besides its own connections it starts copies of itself as other
// clients: relays that the service refuses (an unsigned program of another
// name, an unsigned companion-app.exe, a signed companion-app.exe whose bytes
// were changed after signing) and clients that vanish in the middle of a
// connection.
//
// Phases: a warm-up; sequential connections mixing valid, malformed, empty,
// non-UTF-8, over-long and refused requests; rounds of concurrent clients
// racing for the one pipe instance; clients that vanish before sending, in
// the middle of the line and before reading the reply; a silent client; a
// 1 MiB line; spawns in a row. Every reply is compared with the one line
// (or the silence) that the request must get, every started enclave's
// report with the request that asked for it, and the service's handle count
// and private bytes after the warm-up with those at the end.
//
// The handle count and private bytes come from GetProcessHandleCount and
// GetProcessMemoryInfo. Wine answers both with 0 for another process; there
// the soak counts the service's entries in the system handle table and
// reads the anonymous resident memory of its Linux process instead, after
// checking on itself that both move as they should.
//
// Exit status: 0 every check passed, 1 a check failed, 2 the run could not
// be set up (usage, missing files, no service).

#include <windows.h>
// After <windows.h>, which defines the types these use.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "soak/pipe_client.h"
#include "support/process.h"
#include "soak/requests.h"

namespace bv::soak {
namespace {

using test::parse_report;
using test::read_file;
using test::to_hex;
using test::to_utf8;
using test::to_wide;

constexpr int exit_passed = 0;
constexpr int exit_failed = 1;
constexpr int exit_setup = 2;

constexpr std::wstring_view service_name = L"BrisvanderEnclaveSvc";
constexpr std::wstring_view enclave_image = L"vault-enclave.exe";
// How long an enclave may take to write its report once "OK" came back, and
// a stopped one to be gone once the next reply came back.
constexpr DWORD report_timeout_ms = 15000;
constexpr DWORD stopped_timeout_ms = 3000;
// The service cuts a silent client off after 10 s.
constexpr double silent_cutoff_min_ms = 9500;
constexpr double silent_cutoff_max_ms = 12500;
constexpr std::size_t max_failures_shown = 40;

struct Settings {
  std::string enclave_path;  // UTF-8, as sent in requests
  std::wstring unsigned_program;
  std::size_t warmup = 100;
  std::size_t sequential = 2000;
  std::size_t over_long_lines = 3;
  std::size_t racers = 16;
  std::size_t race_rounds = 10;
  std::size_t vanish_each = 10;
  std::size_t silent_rounds = 2;
  std::size_t big_line_bytes = 1 << 20;
  std::size_t spawns = 200;
  std::uint64_t seed = 20261209;
  bool spawns_expected = true;
  long long handle_noise = 10;
  long long private_noise = 1 << 20;
  DWORD service_unix_pid = 0;
};

// ---------------------------------------------------------------------------
// Text and files

// Shown in messages: printable ASCII as it is, anything else as \xHH, cut
// after 160 bytes.
std::string printable(std::string_view bytes) {
  std::string text;
  for (const char c : bytes.substr(0, 160)) {
    const auto value = static_cast<unsigned char>(c);
    if (value >= 0x20 && value < 0x7F) {
      text.push_back(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", value);
      text += escaped;
    }
  }
  if (bytes.size() > 160) text += "...(" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

std::wstring own_path() {
  std::wstring path(1024, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

std::wstring folder_of(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring full_path(const std::wstring& path) {
  std::wstring result(2048, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(result.size()), result.data(), nullptr);
  result.resize(length);
  return result;
}

bool write_whole_file(const std::wstring& path, std::string_view bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD done = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
}

// ---------------------------------------------------------------------------
// The tally of checks

class Tally {
 public:
  void connection() { ++connections_; }
  void exact_reply() { ++exact_replies_; }
  void ok_reply() { ++ok_replies_; }
  void silence() { ++silences_; }
  void enclave_verified() { ++enclaves_verified_; }
  void enclave_stopped(DWORD exit_code) { ++(exit_code == 0 ? graceful_ : terminated_); }
  void passed_check() { ++other_checks_; }
  void fail(std::string message) {
    std::lock_guard lock(mutex_);
    ++failed_;
    std::printf("  FAILED: %s\n", message.c_str());
    std::fflush(stdout);
    if (failures_.size() < max_failures_shown) failures_.push_back(std::move(message));
  }

  long long connections() const { return connections_; }
  long long exact_replies() const { return exact_replies_; }
  long long ok_replies() const { return ok_replies_; }
  long long silences() const { return silences_; }
  long long enclaves_verified() const { return enclaves_verified_; }
  long long graceful() const { return graceful_; }
  long long terminated() const { return terminated_; }
  long long other_checks() const { return other_checks_; }
  long long failed() const { return failed_; }

 private:
  std::mutex mutex_;
  std::atomic<long long> connections_ = 0;
  std::atomic<long long> exact_replies_ = 0;
  std::atomic<long long> ok_replies_ = 0;
  std::atomic<long long> silences_ = 0;
  std::atomic<long long> enclaves_verified_ = 0;
  std::atomic<long long> graceful_ = 0;
  std::atomic<long long> terminated_ = 0;
  std::atomic<long long> other_checks_ = 0;
  std::atomic<long long> failed_ = 0;
  std::vector<std::string> failures_;
};

Tally tally;

// ---------------------------------------------------------------------------
// Enclaves

// The process ids of the running processes whose image is the sample
// enclave.
std::vector<DWORD> running_enclaves() {
  std::vector<DWORD> ids;
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, enclave_image.data()) == 0) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

std::string id_list(const std::vector<DWORD>& ids) {
  std::string text;
  for (const DWORD id : ids) {
    if (!text.empty()) text.push_back(' ');
    text += std::to_string(id);
  }
  return text.empty() ? "none" : text;
}

// The enclave report of `token` once it holds "shutdown=" (written after
// the secret was read and the event opened), or nothing.
std::optional<std::map<std::string, std::string>> wait_for_report(const std::wstring& folder, std::string_view token,
                                                                  DWORD timeout_ms) {
  const std::wstring path = folder + L"\\bv-enclave-" + to_wide(token) + L".txt";
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (auto text = read_file(path)) {
      auto values = parse_report(*text);
      if (values.contains("shutdown")) return values;
    }
    if (GetTickCount64() >= deadline) return std::nullopt;
    Sleep(10);
  }
}

// What the soak knows of the enclave the service remembers: the one it
// started last, which every verified request stops and a refused or
// unreadable one leaves alone.
class EnclaveTracker {
 public:
  explicit EnclaveTracker(std::wstring report_folder) : report_folder_(std::move(report_folder)) {}

  // The enclave the service reported for `request` ("OK {pid}"): its report
  // must name the request's token and secret; the one before must be gone;
  // it must be the only enclave running.
  void started(const Request& request, DWORD process_id, std::string_view context) {
    expect_previous_stopped(context);
    const auto report = wait_for_report(report_folder_, request.token, report_timeout_ms);
    if (!report) {
      tally.fail(std::string(context) + ": no report from the enclave for token " + request.token + " (OK " +
                 std::to_string(process_id) + ")");
    } else {
      std::string lower = request.secret;
      for (char& c : lower) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      }
      const std::string stdin_hex = to_hex(lower + "\n");
      const auto value = [&](const char* key) {
        const auto found = report->find(key);
        return found == report->end() ? std::string("(none)") : found->second;
      };
      if (value("pid") != std::to_string(process_id) || value("pipe_token") != request.token ||
          value("stdin_hex") != stdin_hex || value("service_verified") != "yes") {
        tally.fail(std::string(context) + ": the enclave of token " + request.token + " reports pid " + value("pid") +
                   ", token " + value("pipe_token") + ", stdin " + value("stdin_hex") + "; the reply was OK " +
                   std::to_string(process_id));
      } else {
        tally.enclave_verified();
      }
    }
    current_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    current_id_ = process_id;
    known_ = true;
    if (!current_) {
      tally.fail(std::string(context) + ": enclave " + std::to_string(process_id) + " cannot be opened: error " +
                 std::to_string(GetLastError()));
    }
    expect_running({process_id}, context);
  }

  // A verified request that started nothing: the enclave before is gone and
  // none runs.
  void stopped_without_start(std::string_view context) {
    expect_previous_stopped(context);
    current_.reset();
    current_id_ = 0;
    known_ = true;
    expect_running({}, context);
  }

  // A refused caller or an unreadable line: the enclave before still runs.
  void left_alone(std::string_view context) {
    if (!known_) return;
    if (current_ && WaitForSingleObject(current_.get(), 0) == WAIT_OBJECT_0) {
      tally.fail(std::string(context) + ": enclave " + std::to_string(current_id_) +
                 " ended although the request was not served");
    }
    expect_running(current_ ? std::vector<DWORD>{current_id_} : std::vector<DWORD>{}, context);
  }

  // Verified requests came in an order the soak cannot know: whatever
  // they started, the enclave remembered before them is gone.
  void stopped_by_some(std::string_view context) { expect_previous_stopped(context); }

  // After connections whose order or effect the soak cannot know: at most
  // one enclave runs; the tracker takes that one as the service's.
  void resynchronise(std::string_view context) {
    current_.reset();
    current_id_ = 0;
    const auto running = running_enclaves();
    if (running.size() > 1) {
      tally.fail(std::string(context) + ": " + std::to_string(running.size()) +
                 " enclaves run at once: " + id_list(running));
    } else {
      tally.passed_check();
    }
    if (running.size() == 1) {
      current_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running[0]));
      current_id_ = running[0];
    }
    known_ = running.size() <= 1;
  }

  // The remembered enclave, if any.
  DWORD current_id() const { return current_ ? current_id_ : 0; }

 private:
  void expect_previous_stopped(std::string_view context) {
    if (!current_) return;
    const DWORD wait = WaitForSingleObject(current_.get(), stopped_timeout_ms);
    DWORD exit_code = 0;
    GetExitCodeProcess(current_.get(), &exit_code);
    if (wait != WAIT_OBJECT_0) {
      tally.fail(std::string(context) + ": the previous enclave " + std::to_string(current_id_) +
                 " still runs after the next verified request");
    } else if (exit_code != 0 && exit_code != 1) {
      tally.fail(std::string(context) + ": the previous enclave " + std::to_string(current_id_) +
                 " ended with exit code " + std::to_string(exit_code) + " (0 or 1 expected)");
    } else {
      tally.enclave_stopped(exit_code);
    }
    current_.reset();
  }

  void expect_running(const std::vector<DWORD>& expected, std::string_view context) {
    const auto running = running_enclaves();
    if (running != expected) {
      tally.fail(std::string(context) + ": enclaves running: " + id_list(running) + "; expected: " + id_list(expected));
    } else {
      tally.passed_check();
    }
  }

  std::wstring report_folder_;
  UniqueHandle current_;
  DWORD current_id_ = 0;
  bool known_ = false;
};

// ---------------------------------------------------------------------------
// Checking one exchange

// The process id of a well-formed "OK {pid}" line, or nothing.
std::optional<DWORD> ok_process_id(std::string_view line) {
  if (!line.starts_with("OK ")) return std::nullopt;
  const std::string_view digits = line.substr(3);
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return std::nullopt;
  unsigned long long value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<DWORD>(value);
}

std::string describe(const Received& received) {
  std::string text(outcome_name(received.outcome));
  if (received.outcome == Outcome::reply || received.outcome == Outcome::partial) {
    text += " '" + printable(received.line) + "'";
  }
  if (received.outcome != Outcome::reply) text += " (error " + std::to_string(received.error) + ")";
  return text;
}

// Compares what came back with what `request` must get. Returns the
// process id of a started enclave.
std::optional<DWORD> check_reply(const Request& request, const Received& received, std::string_view context) {
  if (received.outcome != Outcome::no_connect) tally.connection();
  const std::string where = std::string(context) + " [" + request.kind + "] " + printable(request.bytes);
  switch (request.expect) {
    case Expect::exact:
      if (received.outcome == Outcome::reply && received.line == request.reply) {
        tally.exact_reply();
      } else {
        tally.fail(where + ": expected '" + printable(request.reply) + "', got " + describe(received));
      }
      return std::nullopt;
    case Expect::silence:
      if (received.outcome == Outcome::silence) {
        tally.silence();
      } else {
        tally.fail(where + ": expected no reply, got " + describe(received));
      }
      return std::nullopt;
    case Expect::spawn:
      if (received.outcome == Outcome::reply) {
        if (const auto process_id = ok_process_id(received.line)) {
          tally.ok_reply();
          return process_id;
        }
      }
      tally.fail(where + ": expected 'OK {pid}', got " + describe(received));
      return std::nullopt;
  }
  return std::nullopt;
}

Received send(const Request& request, const ExchangeLimits& limits = {}) {
  if (!request.hang_up) return round_trip(request.bytes, limits);
  Connection connection;
  Received received;
  if (connection.open(limits.connect_ms)) {
    connection.close();
    // Nothing to read: the silence is the service's, and it shows only in
    // that the next client is served.
    received.outcome = Outcome::silence;
  } else {
    received.error = connection.error();
  }
  return received;
}

// ---------------------------------------------------------------------------
// Child processes: relays and vanishing clients

struct Child {
  UniqueHandle process;
  DWORD process_id = 0;
  UniqueFile to_child;    // the child's standard input
  UniqueFile from_child;  // the child's standard output
};

Child start_child(const std::wstring& program, const std::wstring& arguments, bool with_pipes) {
  Child child;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueFile child_input;
  UniqueFile child_output;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (with_pipes) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
    child_input.reset(read_end);
    child.to_child.reset(write_end);
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
    child.from_child.reset(read_end);
    child_output.reset(write_end);
    SetHandleInformation(child.to_child.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child.from_child.get(), HANDLE_FLAG_INHERIT, 0);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input.get();
    startup.hStdOutput = child_output.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  std::wstring command = L"\"" + program + L"\" " + arguments;
  PROCESS_INFORMATION information{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, with_pipes, 0, nullptr, nullptr, &startup,
                      &information)) {
    throw std::runtime_error("CreateProcessW failed for " + to_utf8(program) + ": error " +
                             std::to_string(GetLastError()));
  }
  CloseHandle(information.hThread);
  child.process.reset(information.hProcess);
  child.process_id = information.dwProcessId;
  return child;
}

bool write_line(HANDLE target, const std::string& line) {
  const std::string framed = line + "\n";
  DWORD done = 0;
  return WriteFile(target, framed.data(), static_cast<DWORD>(framed.size()), &done, nullptr) && done == framed.size();
}

std::optional<std::string> read_line(HANDLE source) {
  std::string line;
  char byte = 0;
  DWORD done = 0;
  while (ReadFile(source, &byte, 1, &done, nullptr) && done == 1) {
    if (byte == '\n') return line;
    line.push_back(byte);
  }
  return std::nullopt;
}

// A client program that the service refuses, kept running to make
// connections on request: the soak writes "{h|r} {hex of the request}" to
// its standard input, it answers "{outcome number} {error} {hex of what came
// back}".
class Relay {
 public:
  Relay(std::wstring program, std::string reason_override)
      : program_(std::move(program)), child_(start_child(program_, L"--relay", true)) {
    if (!reason_override.empty()) {
      reason_ = std::move(reason_override);
    } else {
      // The image path as the service reads it.
      wchar_t path[1024];
      DWORD size = 1024;
      if (!QueryFullProcessImageNameW(child_.process.get(), 0, path, &size)) {
        throw std::runtime_error("QueryFullProcessImageNameW failed: error " + std::to_string(GetLastError()));
      }
      reason_ = "Caller '" + to_utf8(std::wstring_view(path, size)) + "' is not companion-app.exe";
    }
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  ~Relay() {
    child_.to_child.reset();
    if (WaitForSingleObject(child_.process.get(), 10000) != WAIT_OBJECT_0) TerminateProcess(child_.process.get(), 1);
  }

  const std::string& reason() const { return reason_; }

  Received send(const Request& request) {
    Received received;
    if (!write_line(child_.to_child.get(), std::string(request.hang_up ? "h " : "r ") + to_hex(request.bytes))) {
      received.error = GetLastError();
      return received;
    }
    const auto line = read_line(child_.from_child.get());
    if (!line) {
      received.error = GetLastError();
      return received;
    }
    const std::size_t first = line->find(' ');
    const std::size_t second = line->find(' ', first + 1);
    received.outcome = static_cast<Outcome>(std::atoi(line->substr(0, first).c_str()));
    received.error = static_cast<DWORD>(std::strtoul(line->substr(first + 1, second - first - 1).c_str(), nullptr, 10));
    received.line = from_hex(line->substr(second + 1));
    return received;
  }

 private:
  std::wstring program_;
  Child child_;
  std::string reason_;
};

int run_relay() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  while (const auto line = read_line(input)) {
    if (line->size() < 2) break;
    Request request;
    request.hang_up = (*line)[0] == 'h';
    request.bytes = from_hex(std::string_view(*line).substr(2));
    const Received received = send(request);
    if (!write_line(output, std::to_string(static_cast<int>(received.outcome)) + " " + std::to_string(received.error) +
                                " " + to_hex(received.line))) {
      return 1;
    }
  }
  return 0;
}

// A client that ends its process in the middle of a connection.
int run_vanishing(std::wstring_view mode, const std::string& request_line, const std::wstring& report) {
  Connection connection;
  if (!connection.open(60000)) return 2;
  if (mode == L"before-send") ExitProcess(0);
  if (mode == L"mid-line") {
    connection.write(request_line.substr(0, request_line.size() / 2), 10000);
    ExitProcess(0);
  }
  // before-read: the whole line, then wait until the enclave it asked for
  // has written its report (the reply is then on its way) and go.
  connection.write(request_line, 10000);
  const ULONGLONG deadline = GetTickCount64() + report_timeout_ms;
  while (GetTickCount64() < deadline) {
    if (auto text = read_file(report); text && parse_report(*text).contains("shutdown")) ExitProcess(0);
    Sleep(5);
  }
  ExitProcess(3);
}

// ---------------------------------------------------------------------------
// The service process

struct Usage {
  DWORD handles = 0;
  SIZE_T private_bytes = 0;
  SIZE_T working_set = 0;
  const char* handles_source = "GetProcessHandleCount";
  const char* private_source = "PrivateUsage";
};

// The number of handles that process `process_id` holds, counted in the
// system's handle table (NtQuerySystemInformation, SystemHandleInformation).
// Wine answers GetProcessHandleCount on another process with 0, but keeps
// this table for every process of the prefix.
std::optional<DWORD> handles_in_system_table(DWORD process_id) {
  struct Entry {
    ULONG owner;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  constexpr ULONG system_handle_information = 16;
  constexpr LONG status_info_length_mismatch = static_cast<LONG>(0xC0000004);
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const FARPROC address = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
  if (address == nullptr) return std::nullopt;
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(address));
  std::vector<Entry> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(Entry));
    const LONG status = query(system_handle_information, buffer.data(), size, &needed);
    if (status == status_info_length_mismatch) {
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(Entry) + 1024));
      continue;
    }
    if (status != 0) return std::nullopt;
    break;
  }
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  DWORD count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].owner == process_id) ++count;
  }
  return count;
}

// A "Name:  value kB" line of /proc/{pid}/status of the Linux process that
// runs a program under Wine, in bytes.
std::optional<SIZE_T> linux_status_bytes(DWORD unix_process_id, std::string_view name) {
  const auto text = read_file(L"Z:\\proc\\" + std::to_wstring(unix_process_id) + L"\\status");
  if (!text) return std::nullopt;
  const std::string key = "\n" + std::string(name) + ":";
  const std::size_t at = text->find(key);
  if (at == std::string::npos) return std::nullopt;
  return static_cast<SIZE_T>(std::strtoull(text->c_str() + at + key.size(), nullptr, 10)) * 1024;
}

// The Linux process that runs this program under Wine: the one whose
// command line names this executable. Z:\\proc\\self is no help: Wine opens
// such paths in its server process. Nothing when there is not exactly one.
std::optional<DWORD> own_unix_process_id() {
  const std::wstring path = own_path();
  std::string name = to_utf8(path.substr(path.find_last_of(L"\\/") + 1));
  std::vector<DWORD> found;
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  do {
    const std::wstring_view entry_name = entry.cFileName;
    if (entry_name.empty() || entry_name.find_first_not_of(L"0123456789") != std::wstring_view::npos) continue;
    const auto command_line = read_file(L"Z:\\proc\\" + std::wstring(entry_name) + L"\\cmdline");
    if (command_line && command_line->find(name) != std::string::npos) {
      found.push_back(static_cast<DWORD>(std::wcstoul(entry.cFileName, nullptr, 10)));
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  if (found.size() != 1) return std::nullopt;
  return found[0];
}

// The stand-ins that Wine needs must see a change as large as a leak would
// make: handles made by this process show up in the system handle table,
// and memory it commits and touches shows up in its own RssAnon.
void check_stand_ins(const Usage& usage) {
  constexpr std::size_t extra_handles = 64;
  constexpr SIZE_T extra_bytes = 8 << 20;
  if (usage.handles_source != std::string_view("GetProcessHandleCount")) {
    const auto before = handles_in_system_table(GetCurrentProcessId());
    std::vector<UniqueHandle> events;
    for (std::size_t i = 0; i < extra_handles; ++i) events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const auto during = handles_in_system_table(GetCurrentProcessId());
    if (!before || !during || *during < *before + extra_handles) {
      tally.fail("the system handle table did not show " + std::to_string(extra_handles) + " new handles of the soak");
    } else {
      tally.passed_check();
    }
    std::printf("  stand-in check: %zu new handles of the soak raised its count in the table from %lu to %lu\n",
                extra_handles, before.value_or(0), during.value_or(0));
  }
  if (usage.private_source != std::string_view("PrivateUsage")) {
    const auto own_process = own_unix_process_id();
    if (!own_process) {
      std::printf("  stand-in check of RssAnon skipped: the soak's own Linux process was not found\n");
    } else {
      const SIZE_T before = linux_status_bytes(*own_process, "RssAnon").value_or(0);
      auto* block = static_cast<char*>(VirtualAlloc(nullptr, extra_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
      if (block != nullptr) {
        for (SIZE_T i = 0; i < extra_bytes; i += 4096) block[i] = 1;
      }
      const SIZE_T during = linux_status_bytes(*own_process, "RssAnon").value_or(0);
      if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
      if (before == 0 || during < before + extra_bytes) {
        tally.fail("RssAnon did not show the " + std::to_string(extra_bytes) + " bytes the soak committed and touched");
      } else {
        tally.passed_check();
      }
      std::printf("  stand-in check: %zu bytes committed and touched by the soak raised its RssAnon from %zu to %zu\n",
                  static_cast<std::size_t>(extra_bytes), before, during);
    }
  }
  std::fflush(stdout);
}

class ServiceWatch {
 public:
  // `unix_process_id`: the service's Linux process when it runs under Wine
  // (0: not known), whose anonymous resident memory stands in for the
  // private bytes that Wine does not report.
  explicit ServiceWatch(DWORD unix_process_id) : unix_process_id_(unix_process_id) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager_ == nullptr) throw std::runtime_error("OpenSCManagerW failed: error " + std::to_string(GetLastError()));
    service_ = OpenServiceW(manager_, service_name.data(), SERVICE_QUERY_STATUS);
    if (service_ == nullptr) throw std::runtime_error("OpenServiceW failed: error " + std::to_string(GetLastError()));
    const auto status = query();
    if (status.dwCurrentState != SERVICE_RUNNING) {
      throw std::runtime_error("the service is not running (state " + std::to_string(status.dwCurrentState) + ")");
    }
    process_id_ = status.dwProcessId;
    process_.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, process_id_));
    if (!process_)
      throw std::runtime_error("OpenProcess on the service failed: error " + std::to_string(GetLastError()));
  }
  ServiceWatch(const ServiceWatch&) = delete;
  ServiceWatch& operator=(const ServiceWatch&) = delete;
  ~ServiceWatch() {
    CloseServiceHandle(service_);
    CloseServiceHandle(manager_);
  }

  SERVICE_STATUS_PROCESS query() const {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
  }

  DWORD process_id() const { return process_id_; }
  bool same_process_running() const {
    const auto status = query();
    return status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId == process_id_ &&
           WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
  }

  Usage usage() const {
    Usage usage;
    if (!GetProcessHandleCount(process_.get(), &usage.handles)) {
      throw std::runtime_error("GetProcessHandleCount failed: error " + std::to_string(GetLastError()));
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process_.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
      throw std::runtime_error("GetProcessMemoryInfo failed: error " + std::to_string(GetLastError()));
    }
    usage.private_bytes = counters.PrivateUsage;
    usage.working_set = counters.WorkingSetSize;
    if (usage.handles == 0) {
      if (const auto counted = handles_in_system_table(process_id_)) {
        usage.handles = *counted;
        usage.handles_source = "the system handle table";
      }
    }
    if (usage.private_bytes == 0 && unix_process_id_ != 0) {
      if (const auto anonymous = linux_status_bytes(unix_process_id_, "RssAnon")) {
        usage.private_bytes = *anonymous;
        usage.private_source = "RssAnon of the Linux process";
      }
    }
    return usage;
  }

 private:
  DWORD unix_process_id_ = 0;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  DWORD process_id_ = 0;
  UniqueHandle process_;
};

// ---------------------------------------------------------------------------
// The phases

class Soak {
 public:
  explicit Soak(Settings settings)
      : settings_(std::move(settings)),
        maker_(settings_.seed, settings_.enclave_path),
        enclaves_(folder_of(to_wide(settings_.enclave_path))) {
    maker_.set_launches_possible(settings_.spawns_expected);
  }

  void prepare_relays() {
    const std::wstring work = work_folder();
    const std::wstring unsigned_copy = work + L"\\unsigned\\companion-app.exe";
    const std::wstring tampered_copy = work + L"\\tampered\\companion-app.exe";
    CreateDirectoryW((work + L"\\unsigned").c_str(), nullptr);
    CreateDirectoryW((work + L"\\tampered").c_str(), nullptr);
    if (!CopyFileW(settings_.unsigned_program.c_str(), unsigned_copy.c_str(), FALSE)) {
      throw std::runtime_error("cannot copy " + to_utf8(settings_.unsigned_program));
    }
    // One letter of the DOS stub's message changed: the signature no longer
    // matches the file's bytes.
    auto signed_bytes = read_file(own_path());
    const std::size_t stub = signed_bytes ? signed_bytes->find("This program cannot be run") : std::string::npos;
    if (stub == std::string::npos) throw std::runtime_error("no DOS stub message in " + to_utf8(own_path()));
    (*signed_bytes)[stub] = 't';
    if (!write_whole_file(tampered_copy, *signed_bytes)) throw std::runtime_error("cannot write the tampered copy");

    relays_.push_back(std::make_unique<Relay>(settings_.unsigned_program, ""));
    relays_.push_back(std::make_unique<Relay>(unsigned_copy, "Authenticode failed (0x800B0100)"));
    relays_.push_back(std::make_unique<Relay>(tampered_copy, "Authenticode failed (0x80096010)"));
    for (const auto& relay : relays_) std::printf("  refused client: %s\n", relay->reason().c_str());
  }

  void finish() {
    relays_.clear();
    const std::wstring work = work_folder();
    DeleteFileW((work + L"\\unsigned\\companion-app.exe").c_str());
    DeleteFileW((work + L"\\tampered\\companion-app.exe").c_str());
    RemoveDirectoryW((work + L"\\unsigned").c_str());
    RemoveDirectoryW((work + L"\\tampered").c_str());
    RemoveDirectoryW(work.c_str());
  }

  // `count` connections one after another, of every kind. `long_lines`
  // of them carry a line over 64 KiB.
  void sequential(std::size_t count, std::size_t long_lines, std::string_view phase) {
    const std::size_t long_every = long_lines == 0 ? 0 : count / (long_lines + 1);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string context = std::string(phase) + " #" + std::to_string(i + 1);
      const std::size_t pick = maker_.below(100);
      if (long_every != 0 && i % long_every == long_every - 1 && i / long_every < long_lines) {
        ++mix_["lines over 64 KiB"];
        own_request(maker_.over_long_line(65'536 + 1 + maker_.below(4096)), context, {60000, 30000});
      } else if (pick < 20) {
        ++mix_["refused callers"];
        Relay& relay = *relays_[maker_.below(relays_.size())];
        const Request request = maker_.from_rejected_caller(relay.reason());
        check_reply(request, relay.send(request), context);
        enclaves_.left_alone(context);
      } else if (pick < 30 && settings_.spawns_expected) {
        ++mix_["valid"];
        own_request(maker_.valid(), context);
      } else if (pick < 65) {
        ++mix_["malformed"];
        own_request(maker_.malformed(), context);
      } else if (pick < 75) {
        ++mix_["over-long fields"];
        own_request(maker_.over_long_field(), context);
      } else if (pick < 85) {
        ++mix_["empty"];
        own_request(maker_.empty(), context);
      } else {
        ++mix_["non-UTF-8"];
        own_request(maker_.non_utf8(), context);
      }
      if ((i + 1) % 250 == 0) progress(phase, i + 1, count);
    }
  }

  // Rounds of `racers` clients started at once; each must get its own reply.
  void races(std::size_t rounds, std::size_t racers) {
    const long long busy_before = busy_waits();
    const long long missing_before = missing_instances();
    for (std::size_t round = 0; round < rounds; ++round) {
      std::vector<Request> requests;
      for (std::size_t i = 0; i < racers; ++i) {
        // A quarter start enclaves, three in sixteen get no reply, the rest
        // are refused with a message that names their own token length.
        if (i % 4 == 0 && settings_.spawns_expected) {
          requests.push_back(maker_.valid());
        } else if (i % 5 == 1) {
          requests.push_back(i % 2 == 0 ? maker_.non_utf8() : maker_.empty());
          requests.back().hang_up = false;
          if (requests.back().bytes.empty()) requests.back().bytes = "\n";
        } else {
          requests.push_back(maker_.token_length_probe(1 + i));
        }
      }
      std::vector<Received> received(racers);
      UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      std::vector<std::thread> threads;
      for (std::size_t i = 0; i < racers; ++i) {
        threads.emplace_back([&, i] {
          WaitForSingleObject(go.get(), INFINITE);
          received[i] = round_trip(requests[i].bytes, {60000, 30000});
        });
      }
      SetEvent(go.get());
      for (auto& thread : threads) thread.join();

      const std::string context = "race " + std::to_string(round + 1);
      std::vector<DWORD> started;
      for (std::size_t i = 0; i < racers; ++i) {
        const auto process_id = check_reply(requests[i], received[i], context + " client " + std::to_string(i + 1));
        if (process_id) {
          started.push_back(*process_id);
          // Stopped again by a later racer, maybe before the report was
          // checked: the report must still name this request's token.
          verify_report(requests[i], *process_id, context);
        }
      }
      std::sort(started.begin(), started.end());
      if (std::adjacent_find(started.begin(), started.end()) != started.end()) {
        tally.fail(context + ": two clients got the same process id: " + id_list(started));
      }
      enclaves_.stopped_by_some(context);
      enclaves_.resynchronise(context);
    }
    race_busy_waits_ += busy_waits() - busy_before;
    race_missing_instances_ += missing_instances() - missing_before;
    progress("races", rounds * racers, rounds * racers);
  }

  // Clients that end their process before sending, half way through the
  // line, and after sending but before reading. Each is followed by a
  // client that must be served as usual.
  void vanishing(std::size_t each) {
    const std::vector<std::wstring> modes = {L"before-send", L"mid-line", L"before-read"};
    std::size_t probe_length = 1;
    for (std::size_t i = 0; i < each; ++i) {
      for (const auto& mode : modes) {
        if (mode == L"before-read" && !settings_.spawns_expected) continue;
        const std::string context = "vanish " + to_utf8(mode) + " #" + std::to_string(i + 1);
        Request request = maker_.valid();
        request.bytes = "SPAWN " + request.token + " " + request.secret + " " + settings_.enclave_path + "\n";
        const std::wstring report =
            folder_of(to_wide(settings_.enclave_path)) + L"\\bv-enclave-" + to_wide(request.token) + L".txt";
        Child child = start_child(
            own_path(),
            L"--vanish " + mode + L" --line " + to_wide(to_hex(request.bytes)) + L" --report \"" + report + L"\"",
            false);
        DWORD exit_code = 0;
        if (WaitForSingleObject(child.process.get(), 60000) != WAIT_OBJECT_0) {
          TerminateProcess(child.process.get(), 1);
          tally.fail(context + ": the client did not end");
        } else if (GetExitCodeProcess(child.process.get(), &exit_code) && exit_code != 0) {
          tally.fail(context + ": the client ended with " + std::to_string(exit_code) +
                     (exit_code == 3 ? " (its enclave wrote no report)" : ""));
        } else {
          tally.connection();
          tally.passed_check();
        }
        child.process.reset();
        if (mode == L"before-read") {
          // Started although nobody read the reply.
          if (auto values = wait_for_report(folder_of(to_wide(settings_.enclave_path)), request.token, 0)) {
            verify_report(request, static_cast<DWORD>(std::strtoul((*values)["pid"].c_str(), nullptr, 10)), context);
          }
        }
        // A half line may or may not have been taken as the client's
        // request (the client may be gone before it is verified).
        enclaves_.resynchronise(context);
        own_request(maker_.token_length_probe(probe_length), context + ", next client");
        probe_length = probe_length % 31 + 1;
      }
    }
    progress("vanishing clients", each * modes.size(), each * modes.size());
  }

  // A client that connects and sends nothing; a second one that comes a
  // second later must be served once the first is cut off.
  void silent(std::size_t rounds) {
    for (std::size_t round = 0; round < rounds; ++round) {
      const std::string context = "silent client #" + std::to_string(round + 1);
      Received silent_end;
      double silent_connected = 0;
      bool silent_open = false;
      std::thread silent_thread([&] {
        Connection connection;
        if (!connection.open(60000)) {
          silent_end.error = connection.error();
          return;
        }
        silent_open = true;
        silent_connected = now_ms();
        silent_end = connection.read_reply(30000);
        silent_end.total_ms = now_ms() - silent_connected;
      });
      Sleep(1000);
      const Request follower = maker_.token_length_probe(7 + round);
      const Received follower_got = round_trip(follower.bytes, {60000, 30000});
      const double follower_done = now_ms();
      silent_thread.join();
      if (!silent_open) {
        tally.fail(context + ": could not connect: error " + std::to_string(silent_end.error));
        continue;
      }
      tally.connection();
      if (silent_end.outcome != Outcome::silence) {
        tally.fail(context + ": expected to be cut off without a reply, got " + describe(silent_end));
      } else if (silent_end.total_ms < silent_cutoff_min_ms || silent_end.total_ms > silent_cutoff_max_ms) {
        tally.fail(context + ": cut off after " + std::to_string(silent_end.total_ms) + " ms (10 s expected)");
      } else {
        tally.silence();
      }
      silent_cutoffs_.push_back(silent_end.total_ms);
      check_reply(follower, follower_got, context + ", next client");
      if (follower_done < silent_connected + silent_end.total_ms) {
        tally.fail(context + ": the next client was answered before the silent one was cut off");
      }
      // The silent client left the enclave alone; the next one, verified and
      // refused, stopped it.
      enclaves_.stopped_without_start(context);
    }
  }

  // One line of `bytes` bytes.
  void big_line(std::size_t bytes) {
    const std::string context = "1 MiB line";
    const Request request = maker_.over_long_line(bytes);
    const double started = now_ms();
    Connection connection;
    if (!connection.open(60000)) {
      tally.fail(context + ": could not connect: error " + std::to_string(connection.error()));
      return;
    }
    const bool written = connection.write(request.bytes, 60000);
    const DWORD write_error = written ? 0 : connection.error();
    const Received received = connection.read_reply(30000);
    connection.close();
    big_line_ms_ = now_ms() - started;
    big_line_note_ =
        written ? "the whole line was written" : "the write ended with error " + std::to_string(write_error);
    check_reply(request, received, context);
    enclaves_.left_alone(context);
    own_request(maker_.token_length_probe(13), context + ", next client");
  }

  // `count` valid requests in a row.
  void spawns(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      own_request(maker_.valid(), "spawn #" + std::to_string(i + 1));
      if ((i + 1) % 50 == 0) progress("spawns", i + 1, count);
    }
  }

  // The state before a measurement: the last request started an enclave
  // (or, when none can start, was refused after verification).
  void settle() {
    if (settings_.spawns_expected) {
      own_request(maker_.valid(), "settle");
    } else {
      own_request(maker_.token_length_probe(5), "settle");
    }
  }

  const std::vector<double>& silent_cutoffs() const { return silent_cutoffs_; }
  double big_line_ms() const { return big_line_ms_; }
  long long race_busy_waits() const { return race_busy_waits_; }
  // The sequential connections (warm-up included) by kind.
  const std::map<std::string, long long>& mix() const { return mix_; }
  long long race_missing_instances() const { return race_missing_instances_; }
  const std::string& big_line_note() const { return big_line_note_; }

 private:
  // One request from this (accepted) process, with the effect it must have
  // on the enclave the service remembers.
  void own_request(const Request& request, const std::string& context, const ExchangeLimits& limits = {}) {
    const Received received = send(request, limits);
    const auto process_id = check_reply(request, received, context);
    if (process_id) {
      enclaves_.started(request, *process_id, context);
    } else if (request.expect == Expect::silence) {
      enclaves_.left_alone(context);
    } else if (received.outcome == Outcome::reply) {
      enclaves_.stopped_without_start(context);
    } else {
      enclaves_.resynchronise(context);
    }
  }

  void verify_report(const Request& request, DWORD process_id, const std::string& context) {
    auto report = wait_for_report(folder_of(to_wide(settings_.enclave_path)), request.token, report_timeout_ms);
    std::string lower = request.secret;
    for (char& c : lower) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    if (!report) {
      tally.fail(context + ": no report for token " + request.token);
    } else if ((*report)["pid"] != std::to_string(process_id) || (*report)["pipe_token"] != request.token ||
               (*report)["stdin_hex"] != to_hex(lower + "\n")) {
      tally.fail(context + ": the report of token " + request.token + " names pid " + (*report)["pid"] + " and token " +
                 (*report)["pipe_token"] + "; expected pid " + std::to_string(process_id));
    } else {
      tally.enclave_verified();
    }
  }

  void progress(std::string_view phase, std::size_t done, std::size_t total) {
    std::printf("  %.*s: %zu/%zu, %lld checks failed so far\n", static_cast<int>(phase.size()), phase.data(), done,
                total, tally.failed());
    std::fflush(stdout);
  }

  static std::wstring work_folder() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring folder = std::wstring(temp, length) + L"bv-soak-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
  }

  Settings settings_;
  RequestMaker maker_;
  EnclaveTracker enclaves_;
  std::vector<std::unique_ptr<Relay>> relays_;
  std::vector<double> silent_cutoffs_;
  double big_line_ms_ = 0;
  std::string big_line_note_;
  long long race_busy_waits_ = 0;
  long long race_missing_instances_ = 0;
  std::map<std::string, long long> mix_;
};

// ---------------------------------------------------------------------------
// Command line and the run

constexpr std::string_view usage_text =
    "Usage: bv-soak-companion-app.exe --enclave PATH [options]\n"
    "\n"
    "Soaks the installed Brisvander Enclave Service. Run the test-signed copy.\n"
    "\n"
    "  --enclave PATH        the sample enclave, installed where the service accepts it\n"
    "  --unsigned PATH       the unsigned soak program (default: ..\\bv-soak.exe)\n"
    "  --sequential N        sequential connections after the warm-up (default 2000)\n"
    "  --warmup N            sequential connections of the warm-up (default 100)\n"
    "  --long-lines N        of the sequential ones, lines over 64 KiB (default 3)\n"
    "  --racers N            clients per race round (default 16)\n"
    "  --race-rounds N       race rounds (default 10)\n"
    "  --vanish N            vanishing clients of each kind (default 10)\n"
    "  --silent N            silent clients (default 2)\n"
    "  --big-line N          bytes of the big line (default 1048576)\n"
    "  --spawns N            spawns in a row (default 200)\n"
    "  --seed N              seed of the request generator\n"
    "  --no-spawns           the service cannot start enclaves (the shipping build\n"
    "                        under Wine): valid requests are left out\n"
    "  --handle-noise N      allowed growth of the handle count (default 10)\n"
    "  --private-noise N     allowed growth of the private bytes (default 1048576)\n"
    "  --service-unix-pid N  under Wine: the service's Linux process, whose RssAnon is\n"
    "                        taken when Wine reports no private bytes\n";

std::optional<Settings> parse_settings(int argc, wchar_t** argv) {
  Settings settings;
  settings.unsigned_program = full_path(folder_of(own_path()) + L"\\..\\bv-soak.exe");
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view name = argv[i];
    if (name == L"--no-spawns") {
      settings.spawns_expected = false;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::wstring value = argv[++i];
    const auto number = [&] { return std::wcstoull(value.c_str(), nullptr, 10); };
    if (name == L"--enclave")
      settings.enclave_path = to_utf8(value);
    else if (name == L"--unsigned")
      settings.unsigned_program = full_path(value);
    else if (name == L"--sequential")
      settings.sequential = number();
    else if (name == L"--warmup")
      settings.warmup = number();
    else if (name == L"--long-lines")
      settings.over_long_lines = number();
    else if (name == L"--racers")
      settings.racers = number();
    else if (name == L"--race-rounds")
      settings.race_rounds = number();
    else if (name == L"--vanish")
      settings.vanish_each = number();
    else if (name == L"--silent")
      settings.silent_rounds = number();
    else if (name == L"--big-line")
      settings.big_line_bytes = number();
    else if (name == L"--spawns")
      settings.spawns = number();
    else if (name == L"--seed")
      settings.seed = number();
    else if (name == L"--handle-noise")
      settings.handle_noise = static_cast<long long>(number());
    else if (name == L"--private-noise")
      settings.private_noise = static_cast<long long>(number());
    else if (name == L"--service-unix-pid")
      settings.service_unix_pid = static_cast<DWORD>(number());
    else
      return std::nullopt;
  }
  if (settings.enclave_path.empty()) return std::nullopt;
  return settings;
}

void print_usage(const char* label, const Usage& usage) {
  std::printf("  %s: %lu handles (%s), %zu private bytes (%s), working set %zu\n", label, usage.handles,
              usage.handles_source, usage.private_bytes, usage.private_source, usage.working_set);
  std::fflush(stdout);
}

int run(const Settings& settings) {
  const double started = now_ms();
  std::optional<ServiceWatch> service;
  try {
    service.emplace(settings.service_unix_pid);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bv-soak: %s\n", failure.what());
    return exit_setup;
  }
  std::printf("bv-soak: service process %lu, enclave %s, seed %llu%s\n", service->process_id(),
              settings.enclave_path.c_str(), static_cast<unsigned long long>(settings.seed),
              settings.spawns_expected ? "" : ", no spawns");

  Soak soak(settings);
  const auto phase = [](const char* name) {
    std::printf("phase: %s\n", name);
    std::fflush(stdout);
  };
  Usage warm{};
  Usage end{};
  std::vector<std::pair<std::string, double>> phase_seconds;
  const auto timed = [&](const char* name, const auto& body) {
    phase(name);
    const double phase_started = now_ms();
    body();
    phase_seconds.emplace_back(name, (now_ms() - phase_started) / 1000.0);
  };
  try {
    soak.prepare_relays();
    timed("warm-up", [&] {
      soak.sequential(settings.warmup, 0, "warm-up");
      soak.races(1, settings.racers);
      soak.vanishing(1);
      soak.settle();
    });
    warm = service->usage();
    print_usage("after the warm-up", warm);
    check_stand_ins(warm);

    timed("sequential", [&] { soak.sequential(settings.sequential, settings.over_long_lines, "sequential"); });
    print_usage("after the sequential connections", service->usage());
    timed("races", [&] { soak.races(settings.race_rounds, settings.racers); });
    timed("vanishing clients", [&] { soak.vanishing(settings.vanish_each); });
    timed("silent clients", [&] { soak.silent(settings.silent_rounds); });
    timed("1 MiB line", [&] { soak.big_line(settings.big_line_bytes); });
    if (settings.spawns_expected) timed("spawns in a row", [&] { soak.spawns(settings.spawns); });
    soak.settle();
    end = service->usage();
    print_usage("at the end", end);
  } catch (const std::exception& failure) {
    tally.fail(std::string("the run stopped: ") + failure.what());
  }
  soak.finish();

  // Still there, and still answering.
  if (!service->same_process_running()) {
    tally.fail("the service process " + std::to_string(service->process_id()) + " is no longer running");
  } else {
    const Request last = RequestMaker(settings.seed + 1, settings.enclave_path).token_length_probe(3);
    check_reply(last, round_trip(last.bytes), "last client");
  }

  const long long handle_growth = static_cast<long long>(end.handles) - static_cast<long long>(warm.handles);
  const long long private_growth =
      static_cast<long long>(end.private_bytes) - static_cast<long long>(warm.private_bytes);
  if (warm.handles == 0 || warm.private_bytes == 0) {
    tally.fail("no usable measurement of the service process");
  } else {
    if (handle_growth > settings.handle_noise) {
      tally.fail("the service's handle count grew by " + std::to_string(handle_growth));
    }
    if (private_growth > settings.private_noise) {
      tally.fail("the service's private bytes grew by " + std::to_string(private_growth));
    }
  }

  std::printf("\nbv-soak figures\n");
  for (const auto& [name, seconds] : phase_seconds) std::printf("  phase %-24s %8.1f s\n", name.c_str(), seconds);
  std::printf("  connections served:            %lld\n", tally.connections());
  std::printf("  replies checked:               %lld (%lld exact lines, %lld \"OK {pid}\" lines, %lld silences)\n",
              tally.exact_replies() + tally.ok_replies() + tally.silences(), tally.exact_replies(), tally.ok_replies(),
              tally.silences());
  std::printf("  enclave reports matched:       %lld\n", tally.enclaves_verified());
  std::printf("  previous enclaves stopped:     %lld (%lld exited on their event, %lld terminated)\n",
              tally.graceful() + tally.terminated(), tally.graceful(), tally.terminated());
  std::printf("  other checks passed:           %lld\n", tally.other_checks());
  std::printf("  sequential connections:       ");
  for (const auto& [kind, count] : soak.mix()) std::printf(" %s %lld;", kind.c_str(), count);
  std::printf("\n");
  std::printf("  racing clients' opens:         %lld found the pipe busy (WaitNamedPipeW), %lld found no instance\n",
              soak.race_busy_waits(), soak.race_missing_instances());
  for (const double cutoff : soak.silent_cutoffs()) std::printf("  silent client cut off after:   %.0f ms\n", cutoff);
  std::printf("  1 MiB line:                    no reply after %.0f ms; %s\n", soak.big_line_ms(),
              soak.big_line_note().c_str());
  std::printf(
      "  service handle count:          %lu after the warm-up, %lu at the end (growth %lld, allowed %lld; %s)\n",
      warm.handles, end.handles, handle_growth, settings.handle_noise, end.handles_source);
  std::printf(
      "  service private bytes:         %zu after the warm-up, %zu at the end (growth %lld, allowed %lld; %s)\n",
      warm.private_bytes, end.private_bytes, private_growth, settings.private_noise, end.private_source);
  std::printf("  service still running:         %s\n", service->same_process_running() ? "yes" : "no");
  std::printf("  total run time:                %.1f s\n", (now_ms() - started) / 1000.0);
  std::printf("  failed checks:                 %lld\n", tally.failed());
  std::fflush(stdout);
  return tally.failed() == 0 ? exit_passed : exit_failed;
}

}  // namespace
}  // namespace bv::soak

int wmain(int argc, wchar_t** argv) {
  using namespace bv::soak;
  if (argc >= 2 && std::wstring_view(argv[1]) == L"--relay") return run_relay();
  if (argc == 7 && std::wstring_view(argv[1]) == L"--vanish") {
    return run_vanishing(argv[2], from_hex(to_utf8(argv[4])), argv[6]);
  }
  const auto settings = parse_settings(argc, argv);
  if (!settings) {
    std::fwrite(usage_text.data(), 1, usage_text.size(), stderr);
    return exit_setup;
  }
  return run(*settings);
}
