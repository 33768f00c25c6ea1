#pragma once
// The broker's pipe server run inside the test program, against the real
// Win32 layer: `run_pipe_server` on a thread of the test, with the Win32
// implementations of every platform interface except the console, which is
// the test's own so that the log lines can be read back.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "broker/spawn_request.h"
#include "common/event_reporter.h"
#include "common/log.h"
#include "common/running_flag.h"
#include "platform/platform.h"
#include "platform/win32/win32_platform.h"

namespace bv::test {

// One complete line the server wrote to standard error (without its line
// feed), and when it was written.
struct LogLine {
  std::string text;
  std::chrono::steady_clock::time_point at;
};

// Keeps what the server writes; written by the server's thread, read by the
// test's.
class CapturingConsole final : public platform::Console {
 public:
  void write_stdout(std::string_view bytes) override;
  void write_stderr(std::string_view bytes) override;

  std::vector<LogLine> lines() const;
  // Every line, each followed by a line feed: for failure messages.
  std::string text() const;
  // The lines that contain `part`.
  std::vector<LogLine> lines_containing(std::string_view part) const;
  // Waits until a line equal to `line` has been written (checking every
  // 10 ms); true once it has.
  bool wait_for_line(std::string_view line, DWORD timeout_ms) const;

 private:
  mutable std::mutex mutex_;
  std::string partial_;
  std::vector<LogLine> lines_;
  std::string standard_output_;
};

// `run_pipe_server` on a thread of its own, started by the constructor and
// stopped by the destructor (or by stop()), so that a test that fails half
// way still leaves no server behind. It serves the service's pipe
// (wait_until_listening() of pipe_client.h tells when it waits for a
// client). Launches go to the real
// `enclave::launch_enclave`; the test program links the logon substitute,
// so the "isolation account" is the test's own user.
//
// Given an event log, the server's log reports its events there, as the
// service does: the event source is registered before serving, and the
// counts of left-out events are reported and the source deregistered after.
class InProcessPipeServer {
 public:
  explicit InProcessPipeServer(platform::EventLog* events = nullptr);
  InProcessPipeServer(const InProcessPipeServer&) = delete;
  InProcessPipeServer& operator=(const InProcessPipeServer&) = delete;
  ~InProcessPipeServer();

  // Clears the running flag and waits for `run_pipe_server` to return: the
  // time from the clear to the return. Throws when it has not returned
  // within `timeout_ms` (a client is then connected to wake it, so that the
  // thread can still be joined).
  std::chrono::microseconds stop(DWORD timeout_ms = 5000);
  bool stopped() const { return !thread_.joinable(); }

  const CapturingConsole& console() const { return console_; }
  // The process ids of the enclaves launched so far, in launch order.
  std::vector<std::uint32_t> launched() const;
  // How often the launcher was called, successful or not.
  int launch_calls() const;

 private:
  void join_after_wake();

  CapturingConsole console_;
  platform::win32::Win32Platform win32_;
  platform::Platform platform_;
  std::optional<EventReporter> reporter_;
  Log log_;
  std::unique_ptr<RunningFlag> running_;
  broker::Launcher launcher_;
  mutable std::mutex launches_mutex_;
  std::vector<std::uint32_t> launched_;
  int launch_calls_ = 0;
  std::promise<void> returned_;
  std::future<void> returned_future_;
  std::string thread_failure_;
  std::thread thread_;
};

}  // namespace bv::test
