#include "host/service.h"

#include <exception>
#include <string>
#include <utility>

#include "broker/password.h"
#include "broker/pipe_server.h"
#include "enclave/account_password.h"

namespace bv::host {
namespace {

// The text a failed registration or status report is logged with; the call's
// error code is not shown.
constexpr std::string_view winapi_failure = "IO error in winapi call";

// Never throws: it runs on the way out of a callback that must not let an
// exception escape, and a log line that cannot be written is dropped.
void log_fatal(Log& log, std::string_view error) noexcept {
  try {
    log.line("Fatal: " + std::string(error));
  } catch (...) {
  }
}

// From the first log line up to the release of the password. The password is
// owned here, lent to the pipe server, and wiped before this returns, so it is
// gone before the stopped report.
void read_password_and_serve(const ServiceHost& host, const RunningFlag& running) {
  host.log.line("Started. Reading BrisvanderUser password from registry...");
  auto read = broker::read_account_password(host.platform.security);
  if (!read) {
    broker::log_password_failure(host.log, read.error());
    return;
  }
  // The move wipes the source. A logon refused with it reads the value again.
  enclave::AccountPassword password(std::move(*read), broker::stored_password_reader(host.platform.security, host.log));
  host.log.line("Password read OK. Listening on " + std::string(names::pipe_name<>));
  broker::run_pipe_server(password, running, host.platform, host.log, host.launch);
  password.wipe();
}

// The service thread's part once the handler is registered. Exceptions stop
// here: whatever ends serving early, the stopped status is still reported.
void run_registered(const ServiceHost& host, platform::StatusHandle handle, const RunningFlag& running) {
  if (!report_status(host.platform.services, handle, running_report)) {
    log_fatal(host.log, winapi_failure);
    return;
  }
  bool failed = true;
  try {
    read_password_and_serve(host, running);
    failed = false;
  } catch (const std::exception& e) {
    log_fatal(host.log, e.what());
  } catch (...) {
    log_fatal(host.log, "unknown exception");
  }
  if (!report_status(host.platform.services, handle, failed ? failed_report : stopped_report)) {
    log_fatal(host.log, winapi_failure);
  }
}

}  // namespace

std::uint32_t control_handler(std::uint32_t control, std::uint32_t /*event_type*/, void* /*event_data*/,
                              void* context) noexcept {
  switch (control) {
    case platform::service_control_stop: {
      // Clearing is an atomic store and a non-blocking SetEvent: the stop is
      // answered at once and the service thread winds down on its own.
      const auto* share = static_cast<const HandlerShare*>(context);
      if (share != nullptr && *share) (*share)->clear();
      return no_error;
    }
    case platform::service_control_interrogate:
      return no_error;
    default:
      return platform::error_call_not_implemented;
  }
}

platform::Result<void> report_status(platform::ServiceControl& services, platform::StatusHandle handle,
                                     const platform::ServiceStatus& status) {
  return services.set_status(handle, status);
}

void service_entry(const std::vector<std::u16string>& /*arguments*/, const ServiceHost& host) noexcept {
  try {
    // Without a wake event the flag still works: a wait for a client then
    // ends only when the next client comes.
    std::unique_ptr<platform::WakeEvent> wake;
    if (auto made = host.platform.processes.create_wake_event()) wake = std::move(*made);
    auto running = std::make_shared<RunningFlag>(std::move(wake));
    host.handler_share = running;

    auto handle = host.platform.services.register_control_handler(names::service_name<char16_t>, &control_handler,
                                                                  &host.handler_share);
    if (!handle) {
      log_fatal(host.log, winapi_failure);
      return;
    }
    run_registered(host, *handle, *running);
    // This thread's share goes here; the handler's share stays with the
    // dispatcher's caller.
    running.reset();
  } catch (const std::exception& e) {
    log_fatal(host.log, e.what());
  } catch (...) {
    log_fatal(host.log, "unknown exception");
  }
}

}  // namespace bv::host
