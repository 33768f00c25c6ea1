#pragma once
#include <windows.h>

#include <utility>

#include "platform/processes_tokens.h"
#include "platform/win32/unique_handle.h"

namespace bv::platform::win32 {

class Win32WakeEvent final : public WakeEvent {
 public:
  explicit Win32WakeEvent(UniqueHandle event) : event_(std::move(event)) {}
  Result<void> set() override;
  bool wait(std::chrono::milliseconds timeout) override;
  HANDLE get() const { return event_.get(); }

 private:
  UniqueHandle event_;
};

class Win32ProcessesTokens final : public ProcessesTokens {
 public:
  Result<Object> open_process(std::uint32_t access, std::uint32_t process_id) override;
  Result<ImageName> query_image_name(KernelObject& process) override;
  Result<Object> open_process_token(KernelObject& process, std::uint32_t access) override;
  std::optional<std::u16string> token_user_sid(KernelObject& token) override;

  Result<Object> logon_user(std::u16string_view user, std::u16string_view domain,
                            std::u16string_view password) override;
  Result<Profile> load_user_profile(KernelObject& token, std::u16string_view user) override;
  Result<Environment> create_environment_block(KernelObject& token) override;
  Result<CreatedProcess> create_process_as_user(KernelObject& token, std::u16string_view command_line,
                                                EnvironmentBlock* environment, KernelObject& stdin_read) override;
  Result<Object> create_job() override;
  Result<void> assign_to_job(KernelObject& job, KernelObject& process) override;
  Result<void> resume_thread(KernelObject& thread) override;
  Result<void> terminate_job(KernelObject& job, std::uint32_t exit_code) override;

  Result<std::uint32_t> exit_code(KernelObject& process) override;
  std::uint32_t wait(KernelObject& object, std::uint32_t milliseconds) override;
  Result<void> terminate(KernelObject& process, std::uint32_t exit_code) override;
  Result<void> set_event(KernelObject& event) override;
  Result<CreatedEvent> create_event(SecurityDescriptor* descriptor, std::u16string_view name) override;
  Result<std::unique_ptr<WakeEvent>> create_wake_event() override;

  std::optional<std::u16string> environment_variable(std::u16string_view name) override;
  Result<std::u16string> executable_path() override;
  Result<std::u16string> system_directory() override;
  // An empty `application` is passed as null: CreateProcessW then takes the
  // program from the command line and searches for it.
  Result<std::uint32_t> run_and_wait(std::u16string_view application, std::u16string_view command_line) override;
  std::u16string system_message(ErrorCode code) override;
};

}  // namespace bv::platform::win32
