#pragma once
// Processes, tokens, users, events and the process environment.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/owned.h"

namespace bv::platform {

inline constexpr std::uint32_t process_query_limited_information = 0x1000;
inline constexpr std::uint32_t process_synchronize_terminate = 0x00100001;
inline constexpr std::uint32_t token_query = 0x0008;
inline constexpr std::uint32_t still_active = 259;
inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t wait_timeout = 258;
inline constexpr std::uint32_t wait_failed = 0xFFFFFFFF;

// What QueryFullProcessImageNameW reported into its 1024-unit buffer.
struct ImageName {
  std::u16string units;    // at most 1024 units, as reported
  std::uint32_t size = 0;  // the size the call reported, in UTF-16 units
};

// An unnamed manual-reset event that another thread sets, without blocking,
// to cut a wait short. Once set it stays set.
class WakeEvent {
 public:
  virtual ~WakeEvent() = default;
  // SetEvent; any thread may call it.
  virtual Result<void> set() = 0;
  // WaitForSingleObject for at most `timeout`: whether the event is set.
  virtual bool wait(std::chrono::milliseconds timeout) = 0;
};

struct CreatedProcess {
  Object process;
  Object thread;
  std::uint32_t process_id = 0;
};

// What CreateEventW gave for a name.
struct CreatedEvent {
  Object handle;
  // ERROR_ALREADY_EXISTS: an event of that name existed before the call,
  // which then opened it instead of making one.
  bool already_existed = false;
};

class ProcessesTokens {
 public:
  virtual ~ProcessesTokens() = default;

  // OpenProcess(access, not inheritable, pid).
  virtual Result<Object> open_process(std::uint32_t access, std::uint32_t process_id) = 0;
  // QueryFullProcessImageNameW(process, 0, buffer of 1024 units).
  virtual Result<ImageName> query_image_name(KernelObject& process) = 0;
  // OpenProcessToken(process, access).
  virtual Result<Object> open_process_token(KernelObject& process, std::uint32_t access) = 0;
  // GetTokenInformation(TokenUser) twice (size, then data), then
  // ConvertSidToStringSidW; the string is freed with LocalFree. None on any
  // failure (a zero size, a failed call, a null SID or string).
  virtual std::optional<std::u16string> token_user_sid(KernelObject& token) = 0;

  // LogonUserW(user, domain, password, LOGON32_LOGON_INTERACTIVE,
  // LOGON32_PROVIDER_DEFAULT).
  virtual Result<Object> logon_user(std::u16string_view user, std::u16string_view domain,
                                    std::u16string_view password) = 0;
  // LoadUserProfileW with PI_NOUI and the user name.
  virtual Result<Profile> load_user_profile(KernelObject& token, std::u16string_view user) = 0;
  // CreateEnvironmentBlock(token, bInherit FALSE); a null block is a failure.
  virtual Result<Environment> create_environment_block(KernelObject& token) = 0;
  // CreateProcessAsUserW(token, no application name, command_line, inherit
  // handles, CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT
  // with the block, or CREATE_SUSPENDED | CREATE_NO_WINDOW and the service's
  // environment without one; standard input `stdin_read`, standard output and
  // error INVALID_HANDLE_VALUE). The process runs nothing until its thread is
  // resumed.
  virtual Result<CreatedProcess> create_process_as_user(KernelObject& token, std::u16string_view command_line,
                                                        EnvironmentBlock* environment, KernelObject& stdin_read) = 0;
  // CreateJobObjectW(no security attributes, so not inheritable; no name),
  // its limits left as made: without JOB_OBJECT_LIMIT_BREAKAWAY_OK or
  // JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK no process in it can start a process
  // outside it, and without JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE its processes
  // outlive the handle.
  virtual Result<Object> create_job() = 0;
  // AssignProcessToJobObject(job, process).
  virtual Result<void> assign_to_job(KernelObject& job, KernelObject& process) = 0;
  // ResumeThread(thread); a failure is (DWORD)-1.
  virtual Result<void> resume_thread(KernelObject& thread) = 0;
  // TerminateJobObject(job, exit_code): every process in the job.
  virtual Result<void> terminate_job(KernelObject& job, std::uint32_t exit_code) = 0;

  virtual Result<std::uint32_t> exit_code(KernelObject& process) = 0;
  virtual std::uint32_t wait(KernelObject& object, std::uint32_t milliseconds) = 0;
  virtual Result<void> terminate(KernelObject& process, std::uint32_t exit_code) = 0;
  virtual Result<void> set_event(KernelObject& event) = 0;
  // CreateEventW(descriptor or default security, not inheritable, manual
  // reset, non-signalled, name).
  virtual Result<CreatedEvent> create_event(SecurityDescriptor* descriptor, std::u16string_view name) = 0;
  // CreateEventW(default security, not inheritable, manual reset,
  // non-signalled, no name).
  virtual Result<std::unique_ptr<WakeEvent>> create_wake_event() = 0;

  // GetEnvironmentVariableW; none when the variable is not set.
  virtual std::optional<std::u16string> environment_variable(std::u16string_view name) = 0;
  // GetModuleFileNameW for the running executable.
  virtual Result<std::u16string> executable_path() = 0;
  virtual Result<std::u16string> system_directory() = 0;
  // CreateProcessW(application, command_line) inheriting the standard
  // handles, environment and working directory; waits for its exit status.
  virtual Result<std::uint32_t> run_and_wait(std::u16string_view application, std::u16string_view command_line) = 0;
  // FormatMessageW's text for a system error code, without trailing line breaks.
  virtual std::u16string system_message(ErrorCode code) = 0;
};

}  // namespace bv::platform
