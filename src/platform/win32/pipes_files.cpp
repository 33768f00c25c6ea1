#include "platform/win32/pipes_files.h"

#include <algorithm>
#include <string>

#include "platform/win32/owners.h"
#include "platform/win32/processes_tokens.h"
#include "platform/win32/wait_time.h"
#include "platform/win32/wide.h"

namespace bv::platform::win32 {
namespace {

// FILE_FLAG_FIRST_PIPE_INSTANCE: the creation fails (ERROR_ACCESS_DENIED)
// when any instance of the name exists, so a process that took the name
// first is never joined by a second instance of the service's own.
constexpr DWORD pipe_open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD pipe_max_instances = 1;
constexpr DWORD pipe_buffer_size = 4096;
constexpr DWORD pipe_default_timeout_ms = 5000;

#ifdef _WIN64
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
#endif
static_assert(drive_removable == DRIVE_REMOVABLE && drive_fixed == DRIVE_FIXED && drive_cdrom == DRIVE_CDROM &&
              drive_ramdisk == DRIVE_RAMDISK);

// WriteFile and ReadFile take a DWORD length; longer input is cut to it.
DWORD dword_length(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
}

// An OVERLAPPED for one operation on `event`. ReadFile and WriteFile make the
// event non-signalled as they begin, so a completion of an earlier operation
// cannot be mistaken for theirs; the connect resets it itself.
OVERLAPPED overlapped_on(HANDLE event) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  return overlapped;
}

}  // namespace

ConnectOutcome Win32PipeInstance::connect(WakeEvent* wake) {
  ::ResetEvent(io_event_.get());
  OVERLAPPED overlapped = overlapped_on(io_event_.get());
  if (::ConnectNamedPipe(pipe_.get(), &overlapped)) return {.succeeded = true};
  const DWORD connect_error = ::GetLastError();
  if (connect_error != ERROR_IO_PENDING) return {.error = connect_error};

  const HANDLE waits[2] = {io_event_.get(), wake ? static_cast<Win32WakeEvent*>(wake)->get() : nullptr};
  const DWORD wait_result = ::WaitForMultipleObjects(wake ? 2 : 1, waits, FALSE, INFINITE);
  DWORD transferred = 0;
  if (wait_result == WAIT_OBJECT_0) {
    if (::GetOverlappedResult(pipe_.get(), &overlapped, &transferred, FALSE)) return {.succeeded = true};
    return {.error = ::GetLastError()};
  }
  // Woken (or the wait itself failed): the connect must be finished before
  // `overlapped` goes out of scope. A client that got in before the cancel
  // is connected all the same.
  ::CancelIoEx(pipe_.get(), &overlapped);
  if (::GetOverlappedResult(pipe_.get(), &overlapped, &transferred, TRUE)) return {.succeeded = true};
  return {.error = ::GetLastError(), .woken = wait_result == WAIT_OBJECT_0 + 1};
}

ReadOutcome Win32PipeInstance::read_byte(std::chrono::milliseconds timeout) {
  std::uint8_t byte = 0;
  ReadOutcome outcome = read(&byte, 1, timeout);
  if (outcome.succeeded) outcome.byte = byte;
  return outcome;
}

ReadOutcome Win32PipeInstance::wait_for_data(std::chrono::milliseconds timeout) {
  // A read of zero bytes on a pipe completes when data arrives, without
  // taking it, or fails when the other end is closed.
  std::uint8_t unused = 0;
  return read(&unused, 0, timeout);
}

ReadOutcome Win32PipeInstance::read(std::uint8_t* buffer, DWORD size, std::chrono::milliseconds timeout) {
  OVERLAPPED overlapped = overlapped_on(io_event_.get());
  bool timed_out = false;
  if (!::ReadFile(pipe_.get(), buffer, size, nullptr, &overlapped)) {
    const DWORD read_error = ::GetLastError();
    if (read_error != ERROR_IO_PENDING) return {.error = read_error};
    const DWORD wait_result = ::WaitForSingleObject(io_event_.get(), wait_milliseconds(timeout));
    if (wait_result != WAIT_OBJECT_0) {
      ::CancelIoEx(pipe_.get(), &overlapped);
      timed_out = wait_result == WAIT_TIMEOUT;
    }
  }
  // A byte that arrived before the cancel took effect is still a byte read.
  DWORD count = 0;
  if (!::GetOverlappedResult(pipe_.get(), &overlapped, &count, TRUE)) {
    return {.error = ::GetLastError(), .timed_out = timed_out};
  }
  return {.succeeded = true, .count = count};
}

Result<void> Win32PipeInstance::write(std::string_view bytes, std::chrono::milliseconds timeout) {
  OVERLAPPED overlapped = overlapped_on(io_event_.get());
  if (!::WriteFile(pipe_.get(), bytes.data(), dword_length(bytes.size()), nullptr, &overlapped)) {
    const DWORD write_error = ::GetLastError();
    if (write_error != ERROR_IO_PENDING) return std::unexpected(write_error);
    if (::WaitForSingleObject(io_event_.get(), wait_milliseconds(timeout)) != WAIT_OBJECT_0) {
      ::CancelIoEx(pipe_.get(), &overlapped);
    }
  }
  DWORD written = 0;
  if (!::GetOverlappedResult(pipe_.get(), &overlapped, &written, TRUE)) return std::unexpected(::GetLastError());
  return {};
}

ErrorCode Win32PipeInstance::peek() {
  if (::PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, nullptr, nullptr)) return 0;
  return ::GetLastError();
}

Result<void> Win32PipeInstance::disconnect() {
  if (!::DisconnectNamedPipe(pipe_.get())) return std::unexpected(::GetLastError());
  return {};
}

Result<std::uint32_t> Win32PipeInstance::client_process_id() {
  ULONG process_id = 0;
  if (!::GetNamedPipeClientProcessId(pipe_.get(), &process_id)) return std::unexpected(::GetLastError());
  return process_id;
}

Result<Pipe> Win32PipesFiles::create_named_pipe(std::u16string_view name, SecurityDescriptor& descriptor) {
  // The event comes first: once the instance exists a client may already be
  // opening it, and it should not be closed again under that client for want
  // of an event.
  UniqueHandle io_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!io_event) return std::unexpected(::GetLastError());

  const std::u16string pipe_name(name);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), raw(descriptor), FALSE};
  UniqueFile pipe(::CreateNamedPipeW(wide(pipe_name), pipe_open_mode, pipe_mode, pipe_max_instances, pipe_buffer_size,
                                     pipe_buffer_size, pipe_default_timeout_ms, &attributes));
  if (!pipe) return std::unexpected(::GetLastError());
  return std::make_unique<Win32PipeInstance>(std::move(pipe), std::move(io_event));
}

Result<AnonymousPipe> Win32PipesFiles::create_anonymous_pipe() {
  // Both ends are made inheritable; the caller clears the flag on the end
  // that the child must not get.
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle read_end;
  UniqueHandle write_end;
  if (!::CreatePipe(read_end.put(), write_end.put(), &attributes, 0)) return std::unexpected(::GetLastError());
  return AnonymousPipe{make_object(std::move(read_end)), make_object(std::move(write_end))};
}

Result<void> Win32PipesFiles::clear_inherit_flag(KernelObject& handle) {
  if (!::SetHandleInformation(raw(handle), HANDLE_FLAG_INHERIT, 0)) return std::unexpected(::GetLastError());
  return {};
}

Result<void> Win32PipesFiles::write_file(KernelObject& handle, std::string_view bytes) {
  DWORD written = 0;
  if (!::WriteFile(raw(handle), bytes.data(), dword_length(bytes.size()), &written, nullptr)) {
    return std::unexpected(::GetLastError());
  }
  return {};
}

Result<Object> Win32PipesFiles::create_file(std::u16string_view path, SecurityDescriptor* descriptor,
                                            FileCreation creation) {
  const std::u16string file_path(path);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor ? raw(*descriptor) : nullptr, FALSE};
  const DWORD disposition = creation == FileCreation::create_new ? CREATE_NEW : CREATE_ALWAYS;
  UniqueFile file(::CreateFileW(wide(file_path), GENERIC_WRITE, 0, descriptor ? &attributes : nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::unexpected(::GetLastError());
  return make_object(std::move(file));
}

Result<void> Win32PipesFiles::delete_file(std::u16string_view path) {
  const std::u16string file_path(path);
  if (!::DeleteFileW(wide(file_path))) return std::unexpected(::GetLastError());
  return {};
}

std::uint32_t Win32PipesFiles::drive_type(std::u16string_view root) {
  const std::u16string root_path(root);
  return ::GetDriveTypeW(wide(root_path));
}

Result<std::u16string> Win32PipesFiles::temp_directory() {
  // GetTempPath2W exists only on newer systems, so it is looked up by name;
  // kernel32 is always loaded, so no library is loaded for the lookup.
  using GetTempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
  GetTempPathFunction get_temp_path = ::GetTempPathW;
  if (const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll")) {
    // Through void(*)(): the one function pointer type that the compilers
    // accept as an intermediate for a cast between unrelated signatures.
    if (const auto found = reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "GetTempPath2W"))) {
      get_temp_path = reinterpret_cast<GetTempPathFunction>(found);
    }
  }
  // The longest temporary path these calls return is MAX_PATH+1 units,
  // the terminating zero included.
  constexpr DWORD capacity = MAX_PATH + 1;
  wchar_t buffer[capacity] = {};
  const DWORD length = get_temp_path(capacity, buffer);
  if (length == 0) return std::unexpected(::GetLastError());
  if (length >= capacity) return std::unexpected(static_cast<ErrorCode>(ERROR_INSUFFICIENT_BUFFER));
  return from_wide(buffer, length);
}

}  // namespace bv::platform::win32
