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
void log_fatal(Log& log, std::string_view error, Event event = Event::fatal) noexcept {
  try {
    log.report(event, error);
  } catch (...) {
  }
}

// From the first log line up to the release of the password; gives the
// stopped report that fits the way it ended. The password is owned here,
// lent to the pipe server, and wiped before this returns, so it is gone
// before the stopped report.
const platform::ServiceStatus& read_password_and_serve(const ServiceHost& host, const RunningFlag& running) {
  host.log.report(Event::started, names::account_name<>);
  auto read = broker::read_account_password(host.platform.security);
  if (!read) {
    broker::log_password_failure(host.log, read.error());
    return password_unreadable_report;
  }
  // The move wipes the source. A logon refused with it reads the value again.
  enclave::AccountPassword password(std::move(*read), broker::stored_password_reader(host.platform.security, host.log));
  host.log.report(Event::listening, names::pipe_name<>);
  broker::run_pipe_server(password, running, host.platform, host.log, host.launch);
  password.wipe();
  return stopped_report;
}

// The counts of left-out events, then the end of the event source. Called
// before the stopped report: once that is made, the process may end at any
// moment, and the dispatcher's caller, who owns the log and the reporter,
// may have returned already. A fatal line after this point goes to standard
// error alone. Never throws, so that the stopped report still follows.
void end_events(const ServiceHost& host) noexcept {
  try {
    host.events.report_left_out();
  } catch (...) {
  }
  host.events.close();
}

// The service thread's part once the handler is registered. Exceptions stop
// here: whatever ends serving early, the stopped status is still reported.
void run_registered(const ServiceHost& host, platform::StatusHandle handle, const RunningFlag& running) {
  if (!report_status(host.platform.services, handle, running_report)) {
    log_fatal(host.log, winapi_failure);
    end_events(host);
    return;
  }
  const platform::ServiceStatus* stopped = &failed_report;
  try {
    stopped = &read_password_and_serve(host, running);
  } catch (const std::exception& e) {
    log_fatal(host.log, e.what(), Event::serving_failed);
  } catch (...) {
    log_fatal(host.log, "unknown exception", Event::serving_failed);
  }
  end_events(host);
  if (!report_status(host.platform.services, handle, *stopped)) {
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
    // First, so that every line of the run is an event too. The source ends
    // before the stopped report (end_events), or below when no status report
    // was made.
    host.events.open();

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
      end_events(host);
      return;
    }
    run_registered(host, *handle, *running);
    // This thread's share goes here; the handler's share stays with the
    // dispatcher's caller.
    running.reset();
  } catch (const std::exception& e) {
    log_fatal(host.log, e.what());
    end_events(host);
  } catch (...) {
    log_fatal(host.log, "unknown exception");
    end_events(host);
  }
}

}  // namespace bv::host
