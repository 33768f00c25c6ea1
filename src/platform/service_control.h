#pragma once
// The Service Control Manager: dispatcher, control handler, status reports,
// registration.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/owned.h"

namespace bv::platform {

// The Service Control Manager's numbers that the logic uses (the Win32
// layer checks each against the SDK's macro).
inline constexpr std::uint32_t service_win32_own_process = 0x10;
inline constexpr std::uint32_t service_stopped = 1;
inline constexpr std::uint32_t service_running = 4;
inline constexpr std::uint32_t service_accept_stop = 1;
inline constexpr std::uint32_t service_control_stop = 1;
inline constexpr std::uint32_t service_control_interrogate = 4;
inline constexpr std::uint32_t service_auto_start = 2;
inline constexpr std::uint32_t service_error_normal = 1;
// Access rights.
inline constexpr std::uint32_t sc_manager_connect = 0x0001;
inline constexpr std::uint32_t sc_manager_create_service = 0x0002;
inline constexpr std::uint32_t service_query_status = 0x0004;
inline constexpr std::uint32_t service_all_access = 0xF01FF;
inline constexpr std::uint32_t delete_access = 0x00010000;
// Recovery actions (SC_ACTION_TYPE).
inline constexpr std::uint32_t sc_action_none = 0;
inline constexpr std::uint32_t sc_action_restart = 1;

struct ServiceStatus {
  std::uint32_t service_type = 0;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
  bool operator==(const ServiceStatus&) const = default;
};

// The handle RegisterServiceCtrlHandlerExW returned; never closed.
struct StatusHandle {
  std::uintptr_t value = 0;
};

// The extended handler signature: control, event type, event data, context.
using ControlHandler = std::uint32_t (*)(std::uint32_t control, std::uint32_t event_type, void* event_data,
                                         void* context);

// Runs on the service thread with the arguments the dispatcher passes.
using ServiceMain = std::function<void(const std::vector<std::u16string>& arguments)>;

struct ServiceDefinition {
  std::u16string_view name;
  std::u16string_view display_name;
  std::uint32_t access = 0;
  std::uint32_t service_type = 0;
  std::uint32_t start_type = 0;
  std::uint32_t error_control = 0;
  std::u16string_view binary_path;
};

// One recovery action: what the Service Control Manager does after a
// failure, and how long it waits first.
struct ServiceAction {
  std::uint32_t type = sc_action_none;
  std::uint32_t delay_ms = 0;
  bool operator==(const ServiceAction&) const = default;
};

// The recovery settings of SERVICE_FAILURE_ACTIONSW, without a reboot
// message or a command: the n-th failure (counted since the last reset) runs
// the n-th action, and failures past the last one run the last one again.
struct FailureActions {
  std::uint32_t reset_period_s = 0;  // the failure count goes back to 0 after this long without a failure
  std::vector<ServiceAction> actions;
  bool operator==(const FailureActions&) const = default;
};

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  // StartServiceCtrlDispatcherW with the one service; returns when it stopped.
  virtual Result<void> run_dispatcher(std::u16string_view service_name, ServiceMain service_main) = 0;
  // RegisterServiceCtrlHandlerExW(name, handler, context).
  virtual Result<StatusHandle> register_control_handler(std::u16string_view service_name, ControlHandler handler,
                                                        void* context) = 0;
  virtual Result<void> set_status(StatusHandle handle, const ServiceStatus& status) = 0;

  // OpenSCManagerW(local machine, default database, access).
  virtual Result<Service> open_manager(std::uint32_t access) = 0;
  virtual Result<Service> open_service(ServiceHandle& manager, std::u16string_view name, std::uint32_t access) = 0;
  // CreateServiceW with no group, tag, dependencies, account or password.
  virtual Result<Service> create_service(ServiceHandle& manager, const ServiceDefinition& definition) = 0;
  virtual Result<void> delete_service(ServiceHandle& service) = 0;

  // ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, the text).
  virtual Result<void> set_description(ServiceHandle& service, std::u16string_view description) = 0;
  // ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, the
  // actions, no reboot message, no command).
  virtual Result<void> set_failure_actions(ServiceHandle& service, const FailureActions& actions) = 0;
  // ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, the
  // flag): whether a stop with a non-zero exit code counts as a failure too.
  virtual Result<void> set_failure_actions_flag(ServiceHandle& service, bool on_non_crash_failures) = 0;
};

}  // namespace bv::platform
