#include "platform/win32/service_control.h"

#include <windows.h>
// This needs the types that windows.h declares.
#include <winsvc.h>

#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/owners.h"
#include "platform/win32/wide.h"

namespace bv::platform::win32 {
namespace {

// The portable header's numbers are the SDK's.
static_assert(service_win32_own_process == SERVICE_WIN32_OWN_PROCESS);
static_assert(service_stopped == SERVICE_STOPPED && service_running == SERVICE_RUNNING);
static_assert(service_accept_stop == SERVICE_ACCEPT_STOP);
static_assert(service_control_stop == SERVICE_CONTROL_STOP &&
              service_control_interrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(service_auto_start == SERVICE_AUTO_START && service_error_normal == SERVICE_ERROR_NORMAL);
static_assert(sc_manager_connect == SC_MANAGER_CONNECT && sc_manager_create_service == SC_MANAGER_CREATE_SERVICE);
static_assert(service_query_status == SERVICE_QUERY_STATUS && service_all_access == SERVICE_ALL_ACCESS);
static_assert(delete_access == DELETE);
static_assert(sc_action_none == SC_ACTION_NONE && sc_action_restart == SC_ACTION_RESTART);

// The function that the dispatcher's service thread runs. Written by the
// main thread before StartServiceCtrlDispatcherW, read by the service thread
// that the dispatcher creates during the call.
std::atomic<const ServiceMain*> current_service_main{nullptr};

// The service thread's entry, called by the dispatcher. Exceptions stop
// here: they must not unwind into the dispatcher's frames.
void WINAPI service_main(DWORD argument_count, LPWSTR* arguments) {
  try {
    std::vector<std::u16string> converted;
    converted.reserve(argument_count);
    for (DWORD i = 0; i < argument_count; ++i) {
      converted.push_back(arguments[i] ? from_wide(arguments[i]) : std::u16string());
    }
    if (const ServiceMain* run = current_service_main.load(std::memory_order_acquire)) (*run)(converted);
  } catch (...) {
  }
}

// What RegisterServiceCtrlHandlerExW gets as its context: the portable
// handler and the context it was registered with.
struct HandlerBinding {
  ControlHandler handler;
  void* context;
};

// Runs on the dispatcher's (main) thread for every control request.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context) {
  try {
    const auto* binding = static_cast<const HandlerBinding*>(context);
    return binding->handler(control, event_type, event_data, binding->context);
  } catch (...) {
    return ERROR_CALL_NOT_IMPLEMENTED;  // the request was not handled
  }
}

}  // namespace

Result<void> Win32ServiceControl::run_dispatcher(std::u16string_view service_name, ServiceMain run) {
  std::u16string name(service_name);
  const SERVICE_TABLE_ENTRYW table[] = {{wide(name), service_main}, {nullptr, nullptr}};
  service_main_ = std::move(run);
  current_service_main.store(&service_main_, std::memory_order_release);
  if (!::StartServiceCtrlDispatcherW(table)) {
    const ErrorCode error = ::GetLastError();
    current_service_main.store(nullptr, std::memory_order_release);
    return std::unexpected(error);
  }
  current_service_main.store(nullptr, std::memory_order_release);
  return {};
}

Result<StatusHandle> Win32ServiceControl::register_control_handler(std::u16string_view service_name,
                                                                   ControlHandler handler, void* context) {
  const std::u16string name(service_name);
  auto binding = std::make_unique<HandlerBinding>(HandlerBinding{handler, context});
  const SERVICE_STATUS_HANDLE status = ::RegisterServiceCtrlHandlerExW(wide(name), control_handler, binding.get());
  if (status == nullptr) return std::unexpected(::GetLastError());
  // The Service Control Manager may call the handler until the process ends,
  // so the binding is never freed.
  static_cast<void>(binding.release());
  return StatusHandle{reinterpret_cast<std::uintptr_t>(status)};
}

Result<void> Win32ServiceControl::set_status(StatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS value{};
  value.dwServiceType = status.service_type;
  value.dwCurrentState = status.current_state;
  value.dwControlsAccepted = status.controls_accepted;
  value.dwWin32ExitCode = status.win32_exit_code;
  value.dwServiceSpecificExitCode = status.service_specific_exit_code;
  value.dwCheckPoint = status.check_point;
  value.dwWaitHint = status.wait_hint;
  if (!::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle.value), &value)) {
    return std::unexpected(::GetLastError());
  }
  return {};
}

Result<Service> Win32ServiceControl::open_manager(std::uint32_t access) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) return std::unexpected(::GetLastError());
  return own<kind::ServiceHandle>(std::move(manager));
}

Result<Service> Win32ServiceControl::open_service(ServiceHandle& manager, std::u16string_view name,
                                                  std::uint32_t access) {
  const std::u16string service_name(name);
  UniqueServiceHandle service(::OpenServiceW(raw(manager), wide(service_name), access));
  if (!service) return std::unexpected(::GetLastError());
  return own<kind::ServiceHandle>(std::move(service));
}

Result<Service> Win32ServiceControl::create_service(ServiceHandle& manager, const ServiceDefinition& definition) {
  const std::u16string name(definition.name);
  const std::u16string display_name(definition.display_name);
  const std::u16string binary_path(definition.binary_path);
  UniqueServiceHandle service(::CreateServiceW(raw(manager), wide(name), wide(display_name), definition.access,
                                               definition.service_type, definition.start_type, definition.error_control,
                                               wide(binary_path), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return std::unexpected(::GetLastError());
  return own<kind::ServiceHandle>(std::move(service));
}

Result<void> Win32ServiceControl::delete_service(ServiceHandle& service) {
  if (!::DeleteService(raw(service))) return std::unexpected(::GetLastError());
  return {};
}

Result<void> Win32ServiceControl::set_description(ServiceHandle& service, std::u16string_view description) {
  std::u16string text(description);
  SERVICE_DESCRIPTIONW info{};
  info.lpDescription = wide(text);
  if (!::ChangeServiceConfig2W(raw(service), SERVICE_CONFIG_DESCRIPTION, &info)) {
    return std::unexpected(::GetLastError());
  }
  return {};
}

Result<void> Win32ServiceControl::set_failure_actions(ServiceHandle& service, const FailureActions& actions) {
  if (actions.actions.size() > std::numeric_limits<DWORD>::max()) return std::unexpected(ERROR_INVALID_PARAMETER);
  std::vector<SC_ACTION> list;
  list.reserve(actions.actions.size());
  for (const ServiceAction& action : actions.actions) {
    list.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(action.type), action.delay_ms});
  }
  SERVICE_FAILURE_ACTIONSW info{};
  info.dwResetPeriod = actions.reset_period_s;
  info.lpRebootMsg = nullptr;  // none: no reboot action is configured
  info.lpCommand = nullptr;    // none: no run-command action is configured
  info.cActions = static_cast<DWORD>(list.size());
  info.lpsaActions = list.empty() ? nullptr : list.data();
  if (!::ChangeServiceConfig2W(raw(service), SERVICE_CONFIG_FAILURE_ACTIONS, &info)) {
    return std::unexpected(::GetLastError());
  }
  return {};
}

Result<void> Win32ServiceControl::set_failure_actions_flag(ServiceHandle& service, bool on_non_crash_failures) {
  SERVICE_FAILURE_ACTIONS_FLAG info{};
  info.fFailureActionsOnNonCrashFailures = on_non_crash_failures ? TRUE : FALSE;
  if (!::ChangeServiceConfig2W(raw(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info)) {
    return std::unexpected(::GetLastError());
  }
  return {};
}

}  // namespace bv::platform::win32
