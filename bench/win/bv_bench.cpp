// bv-bench.exe: figures of the service under the real API (Wine here), each
// against a baseline measured in the same run. It prints one tab-separated
// line per row, "ROW id name measured baseline ratio goal met", "NOTE text"
// lines that break a row's time down, and its progress on standard error;
// it is a program that prints figures, never a test that passes or fails on
// speed.
//
//   bv-bench.exe run [options]      the driver; it must run as the
//                                   test-signed copy named
//                                   ...companion-app.exe, so that the
//                                   service verifies it
//   bv-bench.exe bare-server [--overlapped]
//                                   the baseline pipe server, or the same
//                                   server reading as the service does
//   bv-bench.exe rejected-client N  N rejected round trips to the service,
//                                   each followed by one to each bare
//                                   server; one "service_us bare_us
//                                   overlapped_us" line per round on
//                                   standard output
//
// Options of "run" (defaults in brackets): --build DIR [the folder above the
// signed copy's], --round-trips N [200] for rows 1 and 2, --spawns N [40]
// for rows 3 and 5, --starts N [20] for rows 4 and 6, --requests N [10000]
// for row 7, --rows LIST [4,1,2,5,3,7,6] to run only some rows.
//
// The driver registers the test build of the service (the logon stand-in,
// so that a launch can succeed under Wine), stores a password, copies the
// sample enclave under %ProgramFiles%, and leaves the service registered
// and stopped when it ends.

#include <userenv.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace bv::bench {
namespace {

constexpr wchar_t bare_pipe[] = L"\\\\.\\pipe\\bv-bench-bare";
constexpr wchar_t overlapped_pipe[] = L"\\\\.\\pipe\\bv-bench-bare-overlapped";
constexpr wchar_t flag_loop_pipe[] = L"\\\\.\\pipe\\bv-bench-flag-loop";
constexpr char bare_reply[] = "ERR caller not authorized: bare server reply of about the same length\n";
constexpr char rejected_prefix[] = "ERR caller not authorized: ";
constexpr char malformed_reply[] = "ERR Invalid request format";
constexpr wchar_t enclave_folder_name[] = L"Brisvander Bench";
// Untimed pause before each spawn of rows 3 and 5 (see spawn_and_respawn).
constexpr DWORD settle_ms = 500;

void progress(const std::string& text) {
  SYSTEMTIME time;
  GetSystemTime(&time);
  std::fprintf(stderr, "[bench %02u:%02u:%02u] %s\n", time.wHour, time.wMinute, time.wSecond, text.c_str());
  std::fflush(stderr);
}

struct Row {
  std::string id;
  std::string name;
  std::string measured;
  std::string baseline;
  std::string ratio;
  std::string goal;
  std::string met;
};

// A line under the table: a finding that explains a row.
void diagnostic(const std::string& text) {
  std::printf("NOTE\t%s\n", text.c_str());
  std::fflush(stdout);
}

void print_row(const Row& row) {
  std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.id.c_str(), row.name.c_str(), row.measured.c_str(),
              row.baseline.c_str(), row.ratio.c_str(), row.goal.c_str(), row.met.c_str());
  std::fflush(stdout);
}

std::string format_ratio(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", ratio);
  return text;
}

std::string yes_no(bool met) {
  return met ? "yes" : "NO";
}

std::wstring enclave_path() {
  wchar_t program_files[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", program_files, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) fail("GetEnvironmentVariableW(ProgramFiles)");
  return std::wstring(program_files, length) + L"\\" + enclave_folder_name + L"\\vault-enclave.exe";
}

// A request line of the service's grammar for `enclave`, with its line feed.
std::string spawn_line(const std::string& token, const std::wstring& enclave) {
  return "SPAWN " + token + " " + random_hex(64) + " " + to_utf8(enclave) + "\n";
}

// The same bytes with another verb: verified callers get "Invalid request
// format" for it, after the previous enclave was stopped.
std::string malformed_line(const std::wstring& enclave) {
  std::string line = spawn_line(random_hex(32), enclave);
  line[4] = 'X';
  return line;
}

// ---------------------------------------------------------------------------
// The baseline server: one instance at a time, a line read one byte per
// ReadFile, a fixed reply, then disconnect. FlushFileBuffers waits until the
// client has read the reply, which DisconnectNamedPipe would otherwise
// discard.

void serve_one_client(const wchar_t* pipe_name, std::string_view reply) {
  File pipe(CreateNamedPipeW(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 5000, nullptr));
  if (!pipe) fail("CreateNamedPipeW");
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
  std::string line;
  line.reserve(512);
  for (;;) {
    char byte = 0;
    DWORD read = 0;
    if (!ReadFile(pipe.get(), &byte, 1, &read, nullptr) || read == 0 || byte == '\n') break;
    line.push_back(byte);
  }
  DWORD written = 0;
  WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
  FlushFileBuffers(pipe.get());
  DisconnectNamedPipe(pipe.get());
}

// The same server with the service's way of reading and writing: an
// overlapped instance, and for every byte an overlapped ReadFile, a wait
// with a time-out and GetOverlappedResult. Not
// a baseline: it shows how much of the service's round trip that pattern
// costs under the platform at hand.
void serve_one_client_overlapped(const wchar_t* pipe_name, std::string_view reply) {
  File pipe(CreateNamedPipeW(pipe_name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096, 4096,
                             5000, nullptr));
  if (!pipe) fail("CreateNamedPipeW");
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) fail("CreateEventW");
  const auto begin = [&] {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    return overlapped;
  };
  ResetEvent(event.get());
  OVERLAPPED connect = begin();
  if (!ConnectNamedPipe(pipe.get(), &connect)) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      DWORD ignored = 0;
      if (!GetOverlappedResult(pipe.get(), &connect, &ignored, TRUE)) return;
    } else if (error != ERROR_PIPE_CONNECTED) {
      return;
    }
  }
  std::string line;
  line.reserve(512);
  for (;;) {
    OVERLAPPED read = begin();
    char byte = 0;
    if (!ReadFile(pipe.get(), &byte, 1, nullptr, &read)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(event.get(), 10000) != WAIT_OBJECT_0) CancelIoEx(pipe.get(), &read);
    }
    DWORD count = 0;
    if (!GetOverlappedResult(pipe.get(), &read, &count, TRUE) || count == 0 || byte == '\n') break;
    line.push_back(byte);
  }
  OVERLAPPED write = begin();
  if (!WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), nullptr, &write) &&
      GetLastError() == ERROR_IO_PENDING) {
    WaitForSingleObject(event.get(), 2000);
  }
  DWORD written = 0;
  GetOverlappedResult(pipe.get(), &write, &written, TRUE);
  FlushFileBuffers(pipe.get());
  DisconnectNamedPipe(pipe.get());
}

int bare_server(bool overlapped) {
  for (;;) {
    if (overlapped)
      serve_one_client_overlapped(overlapped_pipe, bare_reply);
    else
      serve_one_client(bare_pipe, bare_reply);
  }
}

int rejected_client(int count) {
  const std::wstring enclave = enclave_path();
  for (int i = 0; i < count; ++i) {
    const std::string line = spawn_line(random_hex(32), enclave);
    const RoundTrip service = round_trip(service_pipe, line);
    if (service.reply.rfind(rejected_prefix, 0) != 0) {
      throw BenchError("the service answered a rejected caller with \"" + service.reply + "\"");
    }
    const RoundTrip bare = round_trip(bare_pipe, line);
    const RoundTrip overlapped = round_trip(overlapped_pipe, line);
    if (bare.reply.empty() || overlapped.reply.empty()) throw BenchError("a bare server sent no reply");
    std::printf("%.1f %.1f %.1f\n", service.elapsed_us, bare.elapsed_us, overlapped.elapsed_us);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The driver.

struct Options {
  std::wstring build;
  int round_trips = 200;
  int spawns = 40;
  int starts = 20;
  int requests = 10000;
  std::vector<std::string> rows = {"4", "1", "2", "5", "3", "7", "6"};
};

class Driver {
 public:
  explicit Driver(Options options) : options_(std::move(options)) {}

  void run() {
    set_up();
    const auto wanted = [&](const char* id) {
      return std::find(options_.rows.begin(), options_.rows.end(), id) != options_.rows.end();
    };
    // Rows 4 and 6 start and stop the service themselves; the others want
    // it running.
    if (wanted("4") || wanted("6")) stop_and_start(wanted("4"), wanted("6"));
    if (wanted("1") || wanted("2") || wanted("3") || wanted("5") || wanted("7")) start_service();
    if (wanted("1")) refused_caller_round_trip();
    if (wanted("2")) verified_malformed_round_trip();
    if (wanted("3") || wanted("5")) spawn_and_respawn(wanted("3"), wanted("5"));
    if (wanted("7")) working_set_growth();
    stop_service();
  }

  // The bare servers end with their owners.
  ~Driver() {
    for (const auto& [pid, process] : enclaves_) TerminateProcess(process.get(), 0);
  }

 private:
  void set_up() {
    service_exe_ = options_.build + L"\\brisvander-svc-testlogon.exe";
    bench_exe_ = options_.build + L"\\bv-bench.exe";
    self_ = test::own_path();
    enclave_ = enclave_path();
    const std::wstring folder = test::folder_of(enclave_);
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!CopyFileW((options_.build + L"\\vault-enclave.exe").c_str(), enclave_.c_str(), FALSE)) fail("CopyFileW");

    if (verify_trust(self_) != 0) throw BenchError("the driver's own image does not pass WinVerifyTrust");

    store_random_password();

    const test::RunResult install =
        test::run({.command_line = test::command_line(service_exe_, {L"--install"})}, 60000);
    if (install.exit_code != 0u) {
      throw BenchError("brisvander-svc-testlogon.exe --install failed: " + install.standard_error);
    }
    service_ = test::open_service(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service_) fail("OpenServiceW");

    bare_server_.emplace(ChildOptions{.command_line = test::command_line(bench_exe_, {L"bare-server"}),
                                      .streams = ChildStreams::discarded});
    if (!wait_listening(bare_pipe, 30000)) throw BenchError("the bare server does not listen");
    overlapped_server_.emplace(
        ChildOptions{.command_line = test::command_line(bench_exe_, {L"bare-server", L"--overlapped"}),
                     .streams = ChildStreams::discarded});
    if (!wait_listening(overlapped_pipe, 30000)) throw BenchError("the overlapped bare server does not listen");

    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) fail("OpenProcessToken");
    Handle own_token(own);
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
      fail("DuplicateTokenEx");
    }
    token_.reset(primary);
    progress("set up: service registered, enclave at " + to_utf8(enclave_));
  }

  // Starts the service and waits until its pipe accepts a connection; the
  // time from StartServiceW to that connection, in microseconds. The probe
  // connection closes without a line (the service logs an empty request).
  double start_service() {
    test::Connection probe(service_pipe);
    const double started = now_us();
    if (!StartServiceW(service_.get(), 0, nullptr)) fail("StartServiceW");
    for (int attempt = 0;; ++attempt) {
      if (probe.open(0)) {
        const double elapsed = now_us() - started;
        probe.close();
        service_process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                           test::query_status(service_.get()).dwProcessId));
        if (!service_process_) fail("OpenProcess of the service");
        return elapsed;
      }
      if (attempt % 200 == 199) {
        if (test::query_status(service_.get()).dwCurrentState == SERVICE_STOPPED) {
          throw BenchError("the service stopped before its pipe answered");
        }
        if (now_us() - started > 30e6) throw BenchError("the service's pipe did not answer within 30 s");
      }
      Sleep(1);
    }
  }

  // Requests the stop and polls until SERVICE_STOPPED; the time in
  // microseconds. Then waits for the process to end.
  double stop_service() {
    SERVICE_STATUS status{};
    const double started = now_us();
    if (!ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) {
      if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) return 0;
      fail("ControlService(SERVICE_CONTROL_STOP)");
    }
    const test::StateWait stopped = test::wait_for_state(service_.get(), SERVICE_STOPPED, 60000, 1);
    const double elapsed = now_us() - started;
    if (!stopped.reached) throw BenchError("the service did not stop within 60 s");
    if (service_process_ && !test::wait_for_exit(service_process_.get(), 30000)) {
      throw BenchError("the service's process did not end within 30 s of SERVICE_STOPPED");
    }
    service_process_.reset();
    return elapsed;
  }

  // How a loop that tests its flag only before each wait for a client
  // behaves when the flag is cleared while it waits: the time until it
  // returns, without a client for `patience_ms`, then with one.
  std::string flag_loop_baseline(DWORD patience_ms) {
    std::atomic<bool> running{true};
    Handle returned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!returned) fail("CreateEventW");
    std::thread loop([&] {
      while (running.load()) serve_one_client(flag_loop_pipe, bare_reply);
      SetEvent(returned.get());
    });
    wait_listening(flag_loop_pipe, 10000);
    const double cleared = now_us();
    running.store(false);
    const bool ended_alone = WaitForSingleObject(returned.get(), patience_ms) == WAIT_OBJECT_0;
    if (!ended_alone) round_trip(flag_loop_pipe, "wake\n");
    loop.join();
    const double elapsed = now_us() - cleared;
    if (ended_alone) return "ended after " + format_ms(elapsed) + " ms";
    return "still waiting " + std::to_string(patience_ms) + " ms after the clear; ended only after a client (" +
           format_ms(elapsed) + " ms)";
  }

  // Rows 4 and 6: the stop of the idle service (ControlService to
  // SERVICE_STOPPED) against a loop that checks its flag only after a
  // client, and its start (StartServiceW to the pipe answering) against a
  // plain run of the same executable.
  void stop_and_start(bool want_4, bool want_6) {
    progress("rows 4 and 6: " + std::to_string(options_.starts) + " starts and stops");
    std::vector<double> starts, plain_starts, stops;
    for (int i = 0; i < options_.starts; ++i) {
      const std::wstring plain_line = test::command_line(service_exe_, {L"--install"});
      const double plain_started = now_us();
      ChildProcess plain({.command_line = plain_line, .streams = ChildStreams::discarded});
      if (plain.wait(60000) != 0u) throw BenchError("a plain start of the service exe failed");
      plain_starts.push_back(now_us() - plain_started);

      starts.push_back(start_service());
      if (!wait_listening(service_pipe, 10000)) throw BenchError("the service stopped listening");
      Sleep(50);
      stops.push_back(stop_service());
    }
    if (want_4) {
      const Summary stop = summarize(stops);
      print_row({"4", "stop latency, idle (ControlService to SERVICE_STOPPED)", format_ms(stop),
                 flag_loop_baseline(2000), "-", "< 100 ms", yes_no(stop.median < 100e3)});
    }
    if (want_6) {
      const Summary service = summarize(starts);
      const Summary plain = summarize(plain_starts);
      const double ratio = service.median / plain.median;
      print_row({"6", "service start (StartServiceW to pipe connect) vs plain process run of the exe",
                 format_ms(service), format_ms(plain), format_ratio(ratio), "<= 1.2x", yes_no(ratio <= 1.2)});
    }
  }

  // Row 1: the round trip of a caller that the service refuses, made by a
  // copy of this program that is not signed, against the bare server.
  void refused_caller_round_trip() {
    progress("row 1: " + std::to_string(options_.round_trips) + " rejected round trips");
    ChildProcess client(
        {.command_line = test::command_line(bench_exe_, {L"rejected-client", std::to_wstring(options_.round_trips)})});
    if (client.wait(600000) != 0u) {
      throw BenchError("the rejected client failed: " + client.standard_error() + client.standard_output());
    }
    std::vector<double> service, bare, overlapped;
    std::istringstream lines(client.standard_output());
    double s = 0, b = 0, o = 0;
    while (lines >> s >> b >> o) {
      service.push_back(s);
      bare.push_back(b);
      overlapped.push_back(o);
    }
    if (service.empty()) throw BenchError("the rejected client reported nothing");
    const Summary measured = summarize(service);
    const Summary baseline = summarize(bare);
    const double ratio = measured.median / baseline.median;
    print_row({"1", "rejected caller round trip vs bare pipe server", format_ms(measured), format_ms(baseline),
               format_ratio(ratio), "<= 1.3x", yes_no(ratio <= 1.3)});
    const Summary pattern = summarize(overlapped);
    diagnostic(
        "row 1: the same bare server reading as the service does (overlapped ReadFile and wait "
        "per byte): " +
        format_ms(pattern) + ", " + format_ratio(pattern.median / baseline.median) + "x the bare server; " +
        "the service is " + format_ratio(measured.median / pattern.median) + "x that");
  }

  // Row 2: the round trip of a verified caller whose request is malformed,
  // against the bare server plus one WinVerifyTrust.
  void verified_malformed_round_trip() {
    progress("row 2: " + std::to_string(options_.round_trips) + " verified malformed round trips");
    std::vector<double> service, bare, trust;
    for (int i = 0; i < options_.round_trips; ++i) {
      const std::string line = malformed_line(enclave_);
      const RoundTrip reply = round_trip(service_pipe, line);
      if (reply.reply != malformed_reply) throw BenchError("unexpected reply to a malformed request: " + reply.reply);
      service.push_back(reply.elapsed_us);
      bare.push_back(round_trip(bare_pipe, line).elapsed_us);
      const double started = now_us();
      if (verify_trust(self_) != 0) throw BenchError("WinVerifyTrust of the driver failed");
      trust.push_back(now_us() - started);
    }
    const Summary measured = summarize(service);
    const Summary bare_summary = summarize(bare);
    const Summary trust_summary = summarize(trust);
    const double baseline = bare_summary.median + trust_summary.median;
    const double ratio = measured.median / baseline;
    print_row({"2", "verified malformed request round trip vs bare server + WinVerifyTrust", format_ms(measured),
               format_ms(baseline) + " ms (bare " + format_ms(bare_summary) + " + WinVerifyTrust " +
                   format_ms(trust_summary) + ")",
               format_ratio(ratio), "<= 1.2x", yes_no(ratio <= 1.2)});
  }

  std::wstring report_path(const std::string& token) const {
    return test::enclave_report_path(test::folder_of(enclave_), token);
  }

  void wait_for_waiting_enclave(const std::string& token) const {
    const double started = now_us();
    for (;;) {
      const auto report = read_file(report_path(token));
      if (report && report->find("shutdown=waiting\n") != std::string::npos) return;
      if (report && report->find("shutdown=") != std::string::npos) {
        throw BenchError("the enclave for " + token + " does not wait for its event:\n" + *report);
      }
      if (now_us() - started > 20e6) throw BenchError("the enclave for " + token + " wrote no report within 20 s");
      Sleep(2);
    }
  }

  // A spawn request to the service: its round trip, and the enclave's
  // process kept open by its id until it has ended.
  RoundTrip spawn(const std::string& token) {
    const RoundTrip reply = round_trip(service_pipe, spawn_line(token, enclave_));
    if (reply.reply.rfind("OK ", 0) != 0) throw BenchError("spawn request answered with \"" + reply.reply + "\"");
    const auto pid = static_cast<DWORD>(std::strtoul(reply.reply.c_str() + 3, nullptr, 10));
    Handle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) fail("OpenProcess of the enclave");
    last_pid_ = pid;
    enclaves_[pid] = std::move(process);
    return reply;
  }

  ProcessTimes enclave_times(DWORD pid) const { return process_times(enclaves_.at(pid).get()); }

  // Waits until the enclave started as `pid` has ended; false on time-out.
  bool enclave_ended(DWORD pid, DWORD timeout_ms) {
    const auto found = enclaves_.find(pid);
    if (found == enclaves_.end()) return true;
    if (WaitForSingleObject(found->second.get(), timeout_ms) != WAIT_OBJECT_0) return false;
    enclaves_.erase(found);
    return true;
  }

  struct AloneLaunch {
    std::string token;
    Handle event;
    Handle process;
    double create_us = 0;  // CreatePipe to the secret line written and handles closed
  };

  // One CreateProcessAsUserW of the installed enclave with its standard-input
  // pipe and a shutdown event of the driver's own, as the launcher makes
  // them (without logon, profile, environment block or hand-over file).
  AloneLaunch launch_alone() {
    AloneLaunch launch;
    launch.token = random_hex(32);
    const std::wstring event_name = L"bv-bench-shutdown-" + to_wide(launch.token);
    launch.event.reset(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
    if (!launch.event) fail("CreateEventW");
    std::wstring command = test::quote_argument(enclave_) + L" --pipe-token " + to_wide(launch.token) +
                           L" --service-verified --shutdown-event " + event_name;
    const std::string secret = random_hex(64) + "\n";

    const double started = now_us();
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) fail("CreatePipe");
    Handle reader(read_end), writer(write_end);
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    startup.hStdOutput = INVALID_HANDLE_VALUE;
    startup.hStdError = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION information{};
    if (!CreateProcessAsUserW(token_.get(), nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &startup, &information)) {
      fail("CreateProcessAsUserW");
    }
    reader.reset();
    DWORD written = 0;
    WriteFile(write_end, secret.data(), static_cast<DWORD>(secret.size()), &written, nullptr);
    writer.reset();
    CloseHandle(information.hThread);
    launch.process.reset(information.hProcess);
    launch.create_us = now_us() - started;
    return launch;
  }

  // Once the enclave waits for its event: sets it and returns the time until
  // the process has ended.
  double stop_alone(const AloneLaunch& launch) {
    wait_for_waiting_enclave(launch.token);
    const double set = now_us();
    SetEvent(launch.event.get());
    if (WaitForSingleObject(launch.process.get(), 20000) != WAIT_OBJECT_0) {
      TerminateProcess(launch.process.get(), 1);
      throw BenchError("the enclave started alone did not end within 20 s of its event");
    }
    return now_us() - set;
  }

  // Rows 3 and 5: a spawn to "OK {pid}" against the bare server plus
  // WinVerifyTrust plus CreateProcessAsUserW, and a respawn (which stops the
  // enclave before) minus that enclave's exit, against a fresh spawn.
  void spawn_and_respawn(bool want_3, bool want_5) {
    progress("rows 3 and 5: " + std::to_string(options_.spawns) + " spawns and respawns");
    std::vector<double> fresh, respawn_minus_exit, extra, bare, trust, create, create_after_exit, exit,
        environment_block;
    std::vector<double> fresh_to_created, fresh_created_to_reply, respawn_to_old_ended, respawn_ended_to_created,
        respawn_created_to_reply, respawn_to_old_report, old_report_to_ended, stopping_round_trip, stopping_to_ended;
    // From one system time (100 ns units) to another, in microseconds.
    const auto us = [](std::uint64_t from, std::uint64_t to) {
      return static_cast<double>(static_cast<std::int64_t>(to - from)) / 10.0;
    };
    const auto reply_at = [](const RoundTrip& trip) {
      return trip.started_at + static_cast<std::uint64_t>(trip.elapsed_us * 10.0);
    };
    for (int i = 0; i < options_.spawns; ++i) {
      // A verified malformed request stops whatever enclave runs and leaves
      // none remembered: the spawn that follows is a fresh one.
      const RoundTrip cleared = round_trip(service_pipe, malformed_line(enclave_));
      if (cleared.reply != malformed_reply) throw BenchError("unexpected reply: " + cleared.reply);
      if (last_pid_ != 0 && enclaves_.contains(last_pid_)) {
        if (WaitForSingleObject(enclaves_.at(last_pid_).get(), 10000) != WAIT_OBJECT_0) {
          throw BenchError("the last enclave did not end");
        }
        stopping_round_trip.push_back(cleared.elapsed_us);
        stopping_to_ended.push_back(us(cleared.started_at, enclave_times(last_pid_).exited));
        enclave_ended(last_pid_, 0);
      }

      // Each spawn is sent once the machine has settled after the last
      // enclave started or ended: under Wine a console program started with
      // CREATE_NO_WINDOW brings a console host of its own, which starts up
      // (and ends) in the background for a few hundred milliseconds.
      Sleep(settle_ms);
      const std::string first_token = random_hex(32);
      const RoundTrip first = spawn(first_token);
      const double fresh_us = first.elapsed_us;
      const DWORD first_pid = last_pid_;
      const ProcessTimes first_times = enclave_times(first_pid);
      wait_for_waiting_enclave(first_token);

      Sleep(settle_ms);
      const std::string second_token = random_hex(32);
      const RoundTrip second = spawn(second_token);
      const double respawn_us = second.elapsed_us;
      const DWORD second_pid = last_pid_;
      const ProcessTimes second_times = enclave_times(second_pid);
      if (WaitForSingleObject(enclaves_.at(first_pid).get(), 10000) != WAIT_OBJECT_0) {
        throw BenchError("the replaced enclave still runs");
      }
      const ProcessTimes replaced_times = enclave_times(first_pid);
      enclave_ended(first_pid, 0);
      const std::uint64_t replaced_last_write = last_write_time(report_path(first_token));
      wait_for_waiting_enclave(second_token);

      // Where the time of the two round trips went, on the system clock.
      fresh_to_created.push_back(us(first.started_at, first_times.created));
      fresh_created_to_reply.push_back(us(first_times.created, reply_at(first)));
      respawn_to_old_ended.push_back(us(second.started_at, replaced_times.exited));
      respawn_to_old_report.push_back(us(second.started_at, replaced_last_write));
      old_report_to_ended.push_back(us(replaced_last_write, replaced_times.exited));
      respawn_ended_to_created.push_back(us(replaced_times.exited, second_times.created));
      respawn_created_to_reply.push_back(us(second_times.created, reply_at(second)));

      Sleep(settle_ms);
      const std::string line = spawn_line(random_hex(32), enclave_);
      bare.push_back(round_trip(bare_pipe, line).elapsed_us);
      const double trust_started = now_us();
      verify_trust(self_);
      trust.push_back(now_us() - trust_started);
      const double block_started = now_us();
      void* block = nullptr;
      if (!CreateEnvironmentBlock(&block, token_.get(), FALSE)) fail("CreateEnvironmentBlock");
      DestroyEnvironmentBlock(block);
      environment_block.push_back(now_us() - block_started);
      const AloneLaunch alone = launch_alone();
      Sleep(settle_ms);
      const double exit_us = stop_alone(alone);
      // The same launch again at once, without settling: what a launch
      // costs right after an enclave has ended.
      const AloneLaunch again = launch_alone();
      stop_alone(again);
      create.push_back(alone.create_us);
      create_after_exit.push_back(again.create_us);
      exit.push_back(exit_us);

      fresh.push_back(fresh_us);
      respawn_minus_exit.push_back(respawn_us - exit_us);
      extra.push_back(respawn_us - exit_us - fresh_us);
    }
    if (want_3) {
      const Summary measured = summarize(fresh);
      const Summary bare_summary = summarize(bare);
      const Summary trust_summary = summarize(trust);
      const Summary create_summary = summarize(create);
      const double baseline = bare_summary.median + trust_summary.median + create_summary.median;
      const double ratio = measured.median / baseline;
      print_row({"3", "spawn round trip to OK {pid} vs bare + WinVerifyTrust + CreateProcessAsUserW",
                 format_ms(measured),
                 format_ms(baseline) + " ms (bare " + format_ms(bare_summary) + " + WinVerifyTrust " +
                     format_ms(trust_summary) + " + CreateProcessAsUserW " + format_ms(create_summary) + ")",
                 format_ratio(ratio), "<= 1.2x", yes_no(ratio <= 1.2)});
    }
    if (want_5) {
      const Summary literal = summarize(respawn_minus_exit);
      const Summary over_fresh = summarize(extra);
      print_row({"5", "respawn round trip minus enclave exit (exit " + format_ms(summarize(exit)) + " alone)",
                 format_ms(literal), "fresh spawn " + format_ms(summarize(fresh)),
                 "+" + format_ms(over_fresh) + " over fresh", "< 20 ms over fresh spawn",
                 yes_no(over_fresh.median < 20e3)});
    }
    diagnostic("rows 3 and 5, split by the enclaves' process times: fresh spawn: request to enclave created " +
               format_ms(summarize(fresh_to_created)) + ", created to reply " +
               format_ms(summarize(fresh_created_to_reply)) + "; respawn: request to old enclave ended " +
               format_ms(summarize(respawn_to_old_ended)) + " (request to its last report write " +
               format_ms(summarize(respawn_to_old_report)) + ", that write to its end " +
               format_ms(summarize(old_report_to_ended)) + "), ended to new enclave created " +
               format_ms(summarize(respawn_ended_to_created)) + ", created to reply " +
               format_ms(summarize(respawn_created_to_reply)));
    diagnostic("rows 3 and 5: CreateEnvironmentBlock alone " + format_ms(summarize(environment_block)) +
               ", CreateProcessAsUserW alone " + format_ms(summarize(create)) +
               ", the same right after an enclave ended " + format_ms(summarize(create_after_exit)) +
               "; a verified malformed request that stops a waiting enclave: round trip " +
               format_ms(summarize(stopping_round_trip)) + ", request to that enclave ended " +
               format_ms(summarize(stopping_to_ended)));
  }

  // Row 7: the service's private bytes (its working set where none are
  // reported, as under Wine) after many requests against after the first
  // hundred.
  void working_set_growth() {
    progress("row 7: " + std::to_string(options_.requests) + " requests");
    // Every hundredth request is a spawn (its enclave is stopped by the
    // next request); the others are verified malformed requests.
    std::vector<double> early, late, early_virtual, late_virtual;
    bool private_reported = true;
    const int sample_every = 10;
    const int early_from = 100, early_to = 200;
    const int late_from = options_.requests - 100;
    for (int i = 1; i <= options_.requests; ++i) {
      if (i % 100 == 50) {
        (void)spawn(random_hex(32));
      } else {
        const RoundTrip reply = round_trip(service_pipe, malformed_line(enclave_));
        if (reply.reply != malformed_reply) throw BenchError("unexpected reply: " + reply.reply);
        if (last_pid_ != 0) enclave_ended(last_pid_, 10000);
      }
      const bool in_early = i >= early_from && i <= early_to;
      const bool in_late = i >= late_from;
      if ((in_early || in_late) && i % sample_every == 0) {
        // Sampled once the service listens again, between two requests.
        wait_listening(service_pipe, 10000);
        const MemoryFigures memory = memory_figures(service_process_.get());
        // Wine fills PrivateUsage from the process's swap use (zero without
        // swap); the working set stands in for it there.
        if (memory.private_bytes == 0) private_reported = false;
        const auto bytes = static_cast<double>(private_reported ? memory.private_bytes : memory.working_set);
        (in_late ? late : early).push_back(bytes);
        (in_late ? late_virtual : early_virtual).push_back(static_cast<double>(memory.virtual_size));
      }
      if (i % 1000 == 0) progress("row 7: " + std::to_string(i) + " requests");
    }
    const Summary before = summarize(early);
    const Summary after = summarize(late);
    const double noise = before.max - before.min;
    const double growth = after.median - before.median;
    const auto kib = [](double bytes) {
      char text[48];
      std::snprintf(text, sizeof text, "%.0f KiB", bytes / 1024.0);
      return std::string(text);
    };
    const std::string figure = private_reported ? "private bytes" : "working set (no private bytes under Wine)";
    print_row({"7", "service " + figure + " after " + std::to_string(options_.requests) + " requests vs after 100",
               kib(after.median) + " [" + kib(after.min) + ".." + kib(after.max) + "]",
               kib(before.median) + " [" + kib(before.min) + ".." + kib(before.max) + "]",
               (growth >= 0 ? "+" : "") + kib(growth) + " (noise " + kib(noise) + ")", "growth <= noise",
               yes_no(growth <= noise)});
    const Summary virtual_before = summarize(early_virtual);
    const Summary virtual_after = summarize(late_virtual);
    diagnostic("row 7: virtual size after 100 requests " + kib(virtual_before.median) + " [" + kib(virtual_before.min) +
               ".." + kib(virtual_before.max) + "], after " + std::to_string(options_.requests) + " " +
               kib(virtual_after.median) + " [" + kib(virtual_after.min) + ".." + kib(virtual_after.max) + "]");
  }

  Options options_;
  std::wstring service_exe_, bench_exe_, self_, enclave_;
  test::UniqueServiceHandle service_;
  Handle service_process_;
  Handle token_;
  std::optional<ChildProcess> bare_server_;
  std::optional<ChildProcess> overlapped_server_;
  std::map<DWORD, Handle> enclaves_;
  DWORD last_pid_ = 0;
};

std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

Options parse_options(int argc, wchar_t** argv) {
  Options options;
  options.build = test::folder_of(test::folder_of(test::own_path()));
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::wstring_view name = argv[i];
    const std::wstring value = argv[i + 1];
    if (name == L"--build")
      options.build = value;
    else if (name == L"--round-trips")
      options.round_trips = std::stoi(value);
    else if (name == L"--spawns")
      options.spawns = std::stoi(value);
    else if (name == L"--starts")
      options.starts = std::stoi(value);
    else if (name == L"--requests")
      options.requests = std::stoi(value);
    else if (name == L"--rows")
      options.rows = split_list(to_utf8(value));
    else
      throw BenchError("unknown option " + to_utf8(name));
  }
  if (options.requests < 300) throw BenchError("--requests must be at least 300");
  return options;
}

}  // namespace
}  // namespace bv::bench

int wmain(int argc, wchar_t** argv) {
  using namespace bv::bench;
  try {
    const std::wstring_view mode = argc > 1 ? argv[1] : L"";
    if (mode == L"bare-server") return bare_server(argc > 2 && std::wstring_view(argv[2]) == L"--overlapped");
    if (mode == L"rejected-client" && argc > 2) return rejected_client(std::stoi(argv[2]));
    if (mode == L"run") {
      Driver driver(parse_options(argc, argv));
      driver.run();
      return 0;
    }
    std::fprintf(stderr, "usage: bv-bench.exe run [options] | bare-server | rejected-client N\n");
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bv-bench: %s\n", error.what());
    return 1;
  }
}
