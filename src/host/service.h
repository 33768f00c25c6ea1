#pragma once
// The service as the Service Control Manager sees it: the ServiceMain role
// (`service_entry`, on the service thread the dispatcher creates) and the
// control handler (on the main thread, inside the dispatcher call).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "broker/spawn_request.h"
#include "common/event_reporter.h"
#include "common/log.h"
#include "common/names.h"
#include "common/running_flag.h"
#include "platform/platform.h"

namespace bv::host {

inline constexpr std::uint32_t no_error = 0;

// The only two statuses the service ever reports; there is no pending state.
inline constexpr platform::ServiceStatus running_report{.service_type = platform::service_win32_own_process,
                                                        .current_state = platform::service_running,
                                                        .controls_accepted = platform::service_accept_stop};
inline constexpr platform::ServiceStatus stopped_report{.service_type = platform::service_win32_own_process,
                                                        .current_state = platform::service_stopped,
                                                        .controls_accepted = 0};
// The stops that follow a failure, so that the Service Control Manager
// records a failure (and may apply recovery actions) instead of a clean
// stop: serving failed, or there was no password to serve with.
inline constexpr platform::ServiceStatus failed_report{.service_type = platform::service_win32_own_process,
                                                       .current_state = platform::service_stopped,
                                                       .controls_accepted = 0,
                                                       .win32_exit_code = platform::error_service_specific_error,
                                                       .service_specific_exit_code = names::serving_failed_exit_code};
inline constexpr platform::ServiceStatus password_unreadable_report{
    .service_type = platform::service_win32_own_process,
    .current_state = platform::service_stopped,
    .controls_accepted = 0,
    .win32_exit_code = platform::error_service_specific_error,
    .service_specific_exit_code = names::password_unreadable_exit_code};

// The handler's share of the running flag. Its address is the context
// registered with `control_handler`, so the share must stay where it is for
// as long as the handler can be called: the handler runs only on the thread
// inside the dispatcher call, so whoever calls the dispatcher owns the share
// and keeps it until that call has returned. `service_entry` fills it before
// it registers the handler and never touches it again.
using HandlerShare = std::shared_ptr<RunningFlag>;

// What `service_entry` works with; everything is owned by the caller of the
// dispatcher and outlives the dispatcher call.
struct ServiceHost {
  platform::Platform& platform;
  Log& log;
  EventReporter& events;  // the log's: opened by service_entry, closed before its stopped report
  const broker::Launcher& launch;
  HandlerShare& handler_share;
};

// The extended control handler. `context` is the HandlerShare registered with
// it. Never blocks and never reports a status: a stop only clears the flag
// (which also sets the wake event) and the service thread does the rest.
std::uint32_t control_handler(std::uint32_t control, std::uint32_t event_type, void* event_data,
                              void* context) noexcept;

platform::Result<void> report_status(platform::ServiceControl& services, platform::StatusHandle handle,
                                     const platform::ServiceStatus& status);

// The ServiceMain role: registers the event source and the handler, reports
// running, reads the account password, serves until a stop, releases the
// password, reports the events left out and deregisters the event source,
// and reports stopped (with a service-specific error when serving ended
// through an exception or the password could not be read). The arguments
// are ignored. Returns normally in every case; the dispatcher call then
// returns, possibly before this does, so nothing of `host` is touched after
// the stopped report unless that report failed.
void service_entry(const std::vector<std::u16string>& arguments, const ServiceHost& host) noexcept;

}  // namespace bv::host
