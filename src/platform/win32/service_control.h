#pragma once
#include "platform/service_control.h"

namespace bv::platform::win32 {

class Win32ServiceControl final : public ServiceControl {
 public:
  // One dispatcher per process: the service-main callback carries no
  // context, so the function it runs is reached through the one static that
  // the API forces, set for the duration of this call.
  Result<void> run_dispatcher(std::u16string_view service_name, ServiceMain service_main) override;
  Result<StatusHandle> register_control_handler(std::u16string_view service_name, ControlHandler handler,
                                                void* context) override;
  Result<void> set_status(StatusHandle handle, const ServiceStatus& status) override;

  Result<Service> open_manager(std::uint32_t access) override;
  Result<Service> open_service(ServiceHandle& manager, std::u16string_view name, std::uint32_t access) override;
  Result<Service> create_service(ServiceHandle& manager, const ServiceDefinition& definition) override;
  Result<void> delete_service(ServiceHandle& service) override;
  Result<void> set_description(ServiceHandle& service, std::u16string_view description) override;
  Result<void> set_failure_actions(ServiceHandle& service, const FailureActions& actions) override;
  Result<void> set_failure_actions_flag(ServiceHandle& service, bool on_non_crash_failures) override;

 private:
  // Kept beyond the dispatcher call: the dispatcher may return as soon as
  // the service has reported its stop, while the service thread is still
  // on its way out of this function.
  ServiceMain service_main_;
};

}  // namespace bv::platform::win32
