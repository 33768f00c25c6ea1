#include "admin/install.h"

#include <cstdint>
#include <string>

#include "admin/quoting.h"
#include "common/names.h"
#include "text/utf.h"

namespace bv::admin {
namespace {

// Console lines; the dash is U+2014, written as its UTF-8 bytes.
constexpr std::string_view installed_line =
    "Service 'BrisvanderEnclaveSvc' installed and set to AutoStart (LocalSystem).\n";
constexpr std::string_view already_registered_line =
    "Service 'BrisvanderEnclaveSvc' already registered \xE2\x80\x94 skipping install.\n";
constexpr std::string_view uninstalled_line = "Service 'BrisvanderEnclaveSvc' uninstalled.\n";
constexpr std::string_view not_registered_line =
    "Service 'BrisvanderEnclaveSvc' not registered \xE2\x80\x94 nothing to uninstall.\n";

constexpr std::string_view open_manager_context = "Failed to open SCM (run as Administrator)";

constexpr std::u16string_view application_log_key = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE.
constexpr std::uint32_t supported_event_types =
    platform::eventlog_error_type | platform::eventlog_warning_type | platform::eventlog_information_type;

// Recovery: a restart 10 s after the first and after the second failure,
// nothing after the third and later ones (the last action repeats); the
// count starts again after a day without a failure.
constexpr std::uint32_t restart_delay_ms = 10'000;
constexpr std::uint32_t failure_count_reset_s = 24 * 60 * 60;

platform::FailureActions recovery_actions() {
  return {.reset_period_s = failure_count_reset_s,
          .actions = {{platform::sc_action_restart, restart_delay_ms},
                      {platform::sc_action_restart, restart_delay_ms},
                      {platform::sc_action_none, 0}}};
}

// A setting of the installation that the system did not take: named on
// standard error; the installation goes on.
void warn_not_applied(platform::Platform& platform, std::string_view setting, platform::ErrorCode code) {
  platform.console.write_stderr("Warning: could not " + std::string(setting) + ": " +
                                describe_system_error(code, platform.processes) + "\n");
}

// Best effort, each setting on its own. Wine, for one, takes the description
// and the actions but refuses the flag.
void configure_service(platform::ServiceHandle& service, platform::Platform& platform) {
  if (auto set = platform.services.set_description(service, text::to_utf16(service_description())); !set) {
    warn_not_applied(platform, "set the service description", set.error());
  }
  if (auto set = platform.services.set_failure_actions(service, recovery_actions()); !set) {
    warn_not_applied(platform, "set the recovery actions (restart after 10 s on the first and second failure)",
                     set.error());
  }
  // Without the flag only a crash counts as a failure, not a stop that
  // reports an error code.
  if (auto set = platform.services.set_failure_actions_flag(service, true); !set) {
    warn_not_applied(platform, "make a stop with an error code count as a failure for recovery", set.error());
  }
}

// The executable holds the message table of the service's events.
void register_event_source(std::u16string_view executable, platform::Platform& platform) {
  auto key = platform.security.create_local_machine_key(event_source_key(), platform::key_set_value);
  std::int32_t status = key ? 0 : key.error();
  if (key) {
    status = platform.security.set_expand_string_value(**key, u"EventMessageFile", executable);
    if (status == 0) status = platform.security.set_dword_value(**key, u"TypesSupported", supported_event_types);
    key->reset();
  }
  if (status != 0) {
    warn_not_applied(platform,
                     "register the event source (Event Viewer then shows the service's events without their text)",
                     static_cast<platform::ErrorCode>(status));
  }
}

// A key that is not there is removed already.
void remove_event_source(platform::Platform& platform) {
  const std::int32_t status = platform.security.delete_local_machine_key(event_source_key());
  if (status != 0 && status != static_cast<std::int32_t>(platform::error_file_not_found)) {
    warn_not_applied(platform, "remove the event source", static_cast<platform::ErrorCode>(status));
  }
}

}  // namespace

std::string service_description() {
  return "Starts the enclave under the isolation account " + std::string(names::account_name<>) +
         " for the signed companion application, which asks for it through the named pipe " +
         std::string(names::pipe_name<>) + ".";
}

std::u16string event_source_key() {
  return std::u16string(application_log_key) + std::u16string(names::service_name<char16_t>);
}

CommandResult install_service(platform::Platform& platform) {
  auto manager = platform.services.open_manager(platform::sc_manager_connect | platform::sc_manager_create_service);
  if (!manager) return std::unexpected(FatalError{std::string(open_manager_context), manager.error()});

  // Any failure to open it counts as "not there"; a service that exists but
  // cannot be opened then makes the create fail (1073).
  if (auto existing =
          platform.services.open_service(**manager, names::service_name<char16_t>, platform::service_query_status)) {
    existing->reset();
    platform.console.write_stdout(already_registered_line);
    manager->reset();
    return 0;
  }

  auto executable = platform.processes.executable_path();
  if (!executable) return std::unexpected(FatalError{"current_exe", executable.error()});
  // No argument follows the path: the service process starts in service mode.
  const std::u16string binary_path = text::to_utf16(quote_binary_path(text::to_utf8(*executable)));

  const platform::ServiceDefinition definition{.name = names::service_name<char16_t>,
                                               .display_name = names::display_name<char16_t>,
                                               .access = platform::service_all_access,
                                               .service_type = platform::service_win32_own_process,
                                               .start_type = platform::service_auto_start,
                                               .error_control = platform::service_error_normal,
                                               .binary_path = binary_path};
  auto created = platform.services.create_service(**manager, definition);
  if (!created) return std::unexpected(FatalError{"Failed to create service", created.error()});

  configure_service(**created, platform);
  created->reset();
  register_event_source(*executable, platform);
  platform.console.write_stdout(installed_line);
  manager->reset();
  return 0;
}

CommandResult uninstall_service(platform::Platform& platform) {
  auto manager = platform.services.open_manager(platform::sc_manager_connect);
  if (!manager) return std::unexpected(FatalError{std::string(open_manager_context), manager.error()});

  if (auto service =
          platform.services.open_service(**manager, names::service_name<char16_t>, platform::delete_access)) {
    // A running service is not stopped: the deletion completes when it stops.
    if (auto deleted = platform.services.delete_service(**service); !deleted) {
      return std::unexpected(FatalError{"Failed to delete service", deleted.error()});
    }
    remove_event_source(platform);
    platform.console.write_stdout(uninstalled_line);
    service->reset();
  } else {
    platform.console.write_stdout(not_registered_line);
  }
  manager->reset();
  return 0;
}

}  // namespace bv::admin
