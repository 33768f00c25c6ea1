#include "support/e2e_server.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "broker/pipe_server.h"
#include "common/names.h"
#include "enclave/launcher.h"
#include "support/pipe_client.h"

namespace bv::test {
namespace {

// The password that the launches lend to the logon; the substitute logon
// of the test program accepts it. There is no stored value to read again.
enclave::AccountPassword test_password() {
  return enclave::AccountPassword(SecretString(std::string("not-a-real-password")),
                                  [] { return std::optional<SecretString>(); });
}

}  // namespace

void CapturingConsole::write_stdout(std::string_view bytes) {
  const std::lock_guard lock(mutex_);
  standard_output_.append(bytes);
}

void CapturingConsole::write_stderr(std::string_view bytes) {
  const auto now = std::chrono::steady_clock::now();
  const std::lock_guard lock(mutex_);
  partial_.append(bytes);
  for (std::size_t end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
    lines_.push_back(LogLine{partial_.substr(0, end), now});
    partial_.erase(0, end + 1);
  }
}

std::vector<LogLine> CapturingConsole::lines() const {
  const std::lock_guard lock(mutex_);
  return lines_;
}

std::string CapturingConsole::text() const {
  std::string all;
  for (const LogLine& line : lines()) all.append(line.text).push_back('\n');
  return all;
}

std::vector<LogLine> CapturingConsole::lines_containing(std::string_view part) const {
  std::vector<LogLine> found;
  for (LogLine& line : lines()) {
    if (line.text.find(part) != std::string::npos) found.push_back(std::move(line));
  }
  return found;
}

bool CapturingConsole::wait_for_line(std::string_view line, DWORD timeout_ms) const {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      for (const LogLine& written : lines_) {
        if (written.text == line) return true;
      }
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

InProcessPipeServer::InProcessPipeServer(platform::EventLog* events)
    : platform_{.services = win32_.platform().services,
                .files = win32_.platform().files,
                .processes = win32_.platform().processes,
                .security = win32_.platform().security,
                .trust = win32_.platform().trust,
                .clock = win32_.platform().clock,
                .console = console_,
                .events = events ? *events : win32_.platform().events},
      reporter_(events ? std::optional<EventReporter>(std::in_place, *events, platform_.clock) : std::nullopt),
      log_(reporter_ ? Log(console_, *reporter_) : Log(console_)) {
  // Another server of the prefix (a service left running by an earlier test)
  // would hold the pipe's name, and every client here would talk to it.
  if (WaitNamedPipeW(names::pipe_name<wchar_t>.data(), NMPWAIT_NOWAIT) || GetLastError() != ERROR_FILE_NOT_FOUND) {
    throw std::runtime_error("the pipe " + std::string(names::pipe_name<>) + " is served already by another process");
  }

  auto wake = platform_.processes.create_wake_event();
  if (!wake) throw std::runtime_error("create_wake_event failed: error " + std::to_string(wake.error()));
  running_ = std::make_unique<RunningFlag>(std::move(*wake));

  launcher_ = [this](const enclave::LaunchInputs& inputs) {
    enclave::LaunchResult result = enclave::launch_enclave(inputs, platform_, log_);
    const std::lock_guard lock(launches_mutex_);
    ++launch_calls_;
    if (result) launched_.push_back(result->process_id);
    return result;
  };

  returned_future_ = returned_.get_future();
  thread_ = std::thread([this] {
    try {
      enclave::AccountPassword password = test_password();
      if (reporter_) reporter_->open();
      broker::run_pipe_server(password, *running_, platform_, log_, launcher_);
      if (reporter_) {
        reporter_->report_left_out();
        reporter_->close();
      }
    } catch (const std::exception& e) {
      thread_failure_ = e.what();
    } catch (...) {
      thread_failure_ = "unknown exception";
    }
    returned_.set_value();
  });
}

InProcessPipeServer::~InProcessPipeServer() {
  if (stopped()) return;
  running_->clear();
  join_after_wake();
}

std::chrono::microseconds InProcessPipeServer::stop(DWORD timeout_ms) {
  const auto cleared = std::chrono::steady_clock::now();
  running_->clear();
  const bool returned = returned_future_.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready;
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - cleared);
  join_after_wake();
  if (!returned) {
    throw std::runtime_error("run_pipe_server did not return within " + std::to_string(timeout_ms) +
                             " ms after the running flag was cleared");
  }
  if (!thread_failure_.empty()) throw std::runtime_error("run_pipe_server threw: " + thread_failure_);
  return took;
}

std::vector<std::uint32_t> InProcessPipeServer::launched() const {
  const std::lock_guard lock(launches_mutex_);
  return launched_;
}

int InProcessPipeServer::launch_calls() const {
  const std::lock_guard lock(launches_mutex_);
  return launch_calls_;
}

// The flag is cleared. A server that still waits for a client (no wake
// event, or a wake that was lost) is woken by connecting to its pipe: the
// empty connection is a read error, and the loop then sees the flag.
void InProcessPipeServer::join_after_wake() {
  while (returned_future_.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
    Connection poke;
    static_cast<void>(poke.open(0));  // one try; the loop tries again while the server runs
  }
  thread_.join();
}

}  // namespace bv::test
