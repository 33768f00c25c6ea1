#include "main/entry.h"

#include <string_view>

#include "admin/install.h"
#include "admin/setup_m5.h"
#include "broker/spawn_request.h"
#include "common/event_reporter.h"
#include "common/fatal.h"
#include "common/log.h"
#include "common/names.h"
#include "enclave/launcher.h"
#include "host/service.h"

namespace bv::entry {
namespace {

// Service mode: the main thread stays in the dispatcher until the service has
// stopped. Everything the service thread and the control handler use lives
// in this frame, which outlasts the dispatcher call.
CommandResult run_service(platform::Platform& platform) {
  // Only service mode reports events: the administrative commands write to
  // their console alone.
  EventReporter events(platform.events, platform.clock);
  Log log(platform.console, events);
  const broker::Launcher launch = [&platform, &log](const enclave::LaunchInputs& inputs) {
    return enclave::launch_enclave(inputs, platform, log);
  };
  host::HandlerShare handler_share;
  const host::ServiceHost host{
      .platform = platform, .log = log, .events = events, .launch = launch, .handler_share = handler_share};

  auto dispatched = platform.services.run_dispatcher(
      names::service_name<char16_t>,
      [&host](const std::vector<std::u16string>& arguments) { host::service_entry(arguments, host); });
  if (!dispatched) return std::unexpected(FatalError{"Failed to start service dispatcher", dispatched.error()});
  return exit_success;
}

CommandResult run_command(const std::vector<std::u16string>& arguments, platform::Platform& platform) {
  if (!arguments.empty()) {
    const std::u16string_view option = arguments.front();
    if (option == u"--install") return admin::install_service(platform);
    if (option == u"--uninstall") return admin::uninstall_service(platform);
    if (option == u"--setup-m5") return admin::run_m5_setup(platform);
  }
  return run_service(platform);
}

}  // namespace

int run_process(const std::vector<std::u16string>& arguments, platform::Platform& platform) {
  auto outcome = run_command(arguments, platform);
  if (outcome) return *outcome;
  platform.console.write_stderr(fatal_report(outcome.error(), platform.processes));
  return exit_fatal;
}

}  // namespace bv::entry
