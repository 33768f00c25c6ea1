#include "platform/win32/processes_tokens.h"

#include <windows.h>
// These need the types that windows.h declares.
#include <sddl.h>
#include <userenv.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/logon_user.h"
#include "platform/win32/owners.h"
#include "platform/win32/wait_time.h"
#include "platform/win32/wide.h"
#include "secret/secret.h"

namespace bv::platform::win32 {
namespace {

constexpr DWORD image_name_capacity = 1024;
// Suspended, so that the process is in its job before it runs any code.
constexpr DWORD create_suspended_no_window = CREATE_SUSPENDED | CREATE_NO_WINDOW;
constexpr DWORD create_suspended_no_window_unicode_environment =
    CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
static_assert(create_suspended_no_window == 0x08000004 && create_suspended_no_window_unicode_environment == 0x08000404);

// The portable header's numbers are the SDK's.
static_assert(process_query_limited_information == PROCESS_QUERY_LIMITED_INFORMATION);
static_assert(process_synchronize_terminate == (SYNCHRONIZE | PROCESS_TERMINATE));
static_assert(token_query == TOKEN_QUERY);
static_assert(still_active == STILL_ACTIVE);
static_assert(wait_object_0 == WAIT_OBJECT_0 && wait_timeout == WAIT_TIMEOUT && wait_failed == WAIT_FAILED);

// Module paths can reach the long-path limit of 32767 units.
constexpr DWORD module_path_limit = 65536;

// For GetSystemDirectoryW and GetWindowsDirectoryW, which return the length
// without the terminating zero, or the size needed with it when the buffer
// is too small.
template <class Query>
Result<std::u16string> query_directory(Query query) {
  std::u16string buffer(MAX_PATH + 1, u'\0');
  for (;;) {
    const UINT capacity = static_cast<UINT>(buffer.size());
    const UINT length = query(wide(buffer), capacity);
    if (length == 0) return std::unexpected(::GetLastError());
    if (length < capacity) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length);
  }
}

}  // namespace

Result<Object> Win32ProcessesTokens::open_process(std::uint32_t access, std::uint32_t process_id) {
  UniqueHandle process(::OpenProcess(access, FALSE, process_id));
  if (!process) return std::unexpected(::GetLastError());
  return make_object(std::move(process));
}

Result<ImageName> Win32ProcessesTokens::query_image_name(KernelObject& process) {
  wchar_t buffer[image_name_capacity] = {};
  DWORD size = image_name_capacity;
  if (!::QueryFullProcessImageNameW(raw(process), 0, buffer, &size)) return std::unexpected(::GetLastError());
  return ImageName{from_wide(buffer, std::min(size, image_name_capacity)), size};
}

Result<Object> Win32ProcessesTokens::open_process_token(KernelObject& process, std::uint32_t access) {
  UniqueHandle token;
  if (!::OpenProcessToken(raw(process), access, token.put())) return std::unexpected(::GetLastError());
  return make_object(std::move(token));
}

std::optional<std::u16string> Win32ProcessesTokens::token_user_sid(KernelObject& token) {
  DWORD size = 0;
  ::GetTokenInformation(raw(token), TokenUser, nullptr, 0, &size);  // only the size is wanted
  if (size == 0) return std::nullopt;
  // Heap memory from operator new is aligned for TOKEN_USER.
  std::vector<std::byte> buffer(size);
  if (!::GetTokenInformation(raw(token), TokenUser, buffer.data(), size, &size)) return std::nullopt;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  if (user->User.Sid == nullptr) return std::nullopt;
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSidToStringSidW(user->User.Sid, text.put()) || !text) return std::nullopt;
  std::u16string sid = from_wide(text.get());
  text.reset();
  return sid;
}

Result<Object> Win32ProcessesTokens::logon_user(std::u16string_view user, std::u16string_view domain,
                                                std::u16string_view password) {
  const std::u16string user_name(user);
  const std::u16string domain_name(domain);
  // Filled in place, so that no other copy of the password is left behind.
  SecretU16String password_text;
  password_text.get().assign(password);
  UniqueHandle token;
  if (!win32::logon_user(wide(user_name), wide(domain_name), wide(password_text.get()), token.put())) {
    return std::unexpected(::GetLastError());
  }
  return make_object(std::move(token));
}

Result<Profile> Win32ProcessesTokens::load_user_profile(KernelObject& token, std::u16string_view user) {
  std::u16string user_name(user);
  PROFILEINFOW profile{};
  profile.dwSize = sizeof(PROFILEINFOW);
  profile.dwFlags = PI_NOUI;
  profile.lpUserName = wide(user_name);
  if (!::LoadUserProfileW(raw(token), &profile)) return std::unexpected(::GetLastError());
  return own<kind::LoadedProfile>(UniqueProfile({raw(token), profile.hProfile}));
}

Result<Environment> Win32ProcessesTokens::create_environment_block(KernelObject& token) {
  UniqueEnvironment block;
  if (!::CreateEnvironmentBlock(block.put(), raw(token), FALSE) || !block) return std::unexpected(::GetLastError());
  return own<kind::EnvironmentBlock>(std::move(block));
}

Result<CreatedProcess> Win32ProcessesTokens::create_process_as_user(KernelObject& token,
                                                                    std::u16string_view command_line,
                                                                    EnvironmentBlock* environment,
                                                                    KernelObject& stdin_read) {
  std::u16string command(command_line);  // CreateProcessAsUserW may write into it
  STARTUPINFOW startup{};
  startup.cb = sizeof(STARTUPINFOW);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = raw(stdin_read);
  startup.hStdOutput = INVALID_HANDLE_VALUE;
  startup.hStdError = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION created{};
  const DWORD flags = environment ? create_suspended_no_window_unicode_environment : create_suspended_no_window;
  if (!::CreateProcessAsUserW(raw(token), nullptr, wide(command), nullptr, nullptr, TRUE, flags,
                              environment ? raw(*environment) : nullptr, nullptr, &startup, &created)) {
    return std::unexpected(::GetLastError());
  }
  return CreatedProcess{make_object(UniqueHandle(std::exchange(created.hProcess, nullptr))),
                        make_object(UniqueHandle(std::exchange(created.hThread, nullptr))), created.dwProcessId};
}

Result<Object> Win32ProcessesTokens::create_job() {
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return std::unexpected(::GetLastError());
  return make_object(std::move(job));
}

Result<void> Win32ProcessesTokens::assign_to_job(KernelObject& job, KernelObject& process) {
  if (!::AssignProcessToJobObject(raw(job), raw(process))) return std::unexpected(::GetLastError());
  return {};
}

Result<void> Win32ProcessesTokens::resume_thread(KernelObject& thread) {
  if (::ResumeThread(raw(thread)) == static_cast<DWORD>(-1)) return std::unexpected(::GetLastError());
  return {};
}

Result<void> Win32ProcessesTokens::terminate_job(KernelObject& job, std::uint32_t exit_code) {
  if (!::TerminateJobObject(raw(job), exit_code)) return std::unexpected(::GetLastError());
  return {};
}

Result<std::uint32_t> Win32ProcessesTokens::exit_code(KernelObject& process) {
  DWORD code = 0;
  if (!::GetExitCodeProcess(raw(process), &code)) return std::unexpected(::GetLastError());
  return code;
}

std::uint32_t Win32ProcessesTokens::wait(KernelObject& object, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(raw(object), milliseconds);
}

Result<void> Win32ProcessesTokens::terminate(KernelObject& process, std::uint32_t exit_code) {
  if (!::TerminateProcess(raw(process), exit_code)) return std::unexpected(::GetLastError());
  return {};
}

Result<void> Win32ProcessesTokens::set_event(KernelObject& event) {
  if (!::SetEvent(raw(event))) return std::unexpected(::GetLastError());
  return {};
}

Result<CreatedEvent> Win32ProcessesTokens::create_event(SecurityDescriptor* descriptor, std::u16string_view name) {
  const std::u16string event_name(name);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor ? raw(*descriptor) : nullptr, FALSE};
  // A handle comes back for a new event and for one that existed; only the
  // last error tells them apart, so it must not be left over from before.
  ::SetLastError(ERROR_SUCCESS);
  UniqueHandle event(::CreateEventW(descriptor ? &attributes : nullptr, TRUE, FALSE, wide(event_name)));
  const DWORD error = ::GetLastError();
  if (!event) return std::unexpected(error);
  return CreatedEvent{make_object(std::move(event)), error == ERROR_ALREADY_EXISTS};
}

Result<std::unique_ptr<WakeEvent>> Win32ProcessesTokens::create_wake_event() {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return std::unexpected(::GetLastError());
  return std::make_unique<Win32WakeEvent>(std::move(event));
}

Result<void> Win32WakeEvent::set() {
  if (!::SetEvent(event_.get())) return std::unexpected(::GetLastError());
  return {};
}

bool Win32WakeEvent::wait(std::chrono::milliseconds timeout) {
  return ::WaitForSingleObject(event_.get(), wait_milliseconds(timeout)) == WAIT_OBJECT_0;
}

std::optional<std::u16string> Win32ProcessesTokens::environment_variable(std::u16string_view name) {
  const std::u16string variable(name);
  std::u16string buffer(256, u'\0');
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(buffer.size());
    // A variable that is set to an empty value gives 0 without an error.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(wide(variable), wide(buffer), capacity);
    if (length == 0) {
      if (::GetLastError() == ERROR_SUCCESS) return std::u16string();
      return std::nullopt;  // ERROR_ENVVAR_NOT_FOUND
    }
    if (length < capacity) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length);  // the size needed, terminating zero included
  }
}

Result<std::u16string> Win32ProcessesTokens::executable_path() {
  std::u16string buffer(MAX_PATH, u'\0');
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(buffer.size());
    const DWORD length = ::GetModuleFileNameW(nullptr, wide(buffer), capacity);
    if (length == 0) return std::unexpected(::GetLastError());
    if (length < capacity) {
      buffer.resize(length);
      return buffer;
    }
    // A path that fills the whole buffer has been cut off.
    if (capacity >= module_path_limit) return std::unexpected(static_cast<ErrorCode>(ERROR_INSUFFICIENT_BUFFER));
    buffer.resize(std::size_t{capacity} * 2);
  }
}

Result<std::u16string> Win32ProcessesTokens::system_directory() {
  return query_directory([](LPWSTR buffer, UINT size) { return ::GetSystemDirectoryW(buffer, size); });
}

Result<std::uint32_t> Win32ProcessesTokens::run_and_wait(std::u16string_view application,
                                                         std::u16string_view command_line) {
  const std::u16string application_name(application);
  std::u16string command(command_line);  // CreateProcessW may write into it
  STARTUPINFOW startup{};
  startup.cb = sizeof(STARTUPINFOW);
  PROCESS_INFORMATION created{};
  if (!::CreateProcessW(application_name.empty() ? nullptr : wide(application_name), wide(command), nullptr, nullptr,
                        TRUE, 0, nullptr, nullptr, &startup, &created)) {
    return std::unexpected(::GetLastError());
  }
  UniqueHandle process(std::exchange(created.hProcess, nullptr));
  UniqueHandle thread(std::exchange(created.hThread, nullptr));
  thread.reset();
  if (::WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) return std::unexpected(::GetLastError());
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) return std::unexpected(::GetLastError());
  process.reset();
  return code;
}

std::u16string Win32ProcessesTokens::system_message(ErrorCode code) {
  std::u16string buffer(4096, u'\0');
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        wide(buffer), static_cast<DWORD>(buffer.size()), nullptr);
  buffer.resize(length);
  while (!buffer.empty() && (buffer.back() == u'\r' || buffer.back() == u'\n' || buffer.back() == u' ')) {
    buffer.pop_back();
  }
  return buffer;
}

}  // namespace bv::platform::win32
