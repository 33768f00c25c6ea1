#include "admin/install.h"

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

}  // namespace

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

  created->reset();
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
    platform.console.write_stdout(uninstalled_line);
    service->reset();
  } else {
    platform.console.write_stdout(not_registered_line);
  }
  manager->reset();
  return 0;
}

}  // namespace bv::admin
