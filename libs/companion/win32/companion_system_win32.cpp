#include "companion/win32/companion_system_win32.h"

#include <windows.h>
// After <windows.h>, which defines the types these use.
#include <bcrypt.h>

#include <algorithm>

#include "platform/win32/unique_handle.h"

namespace bv::companion_side {

static_assert(win32_error::file_not_found == ERROR_FILE_NOT_FOUND);
static_assert(win32_error::insufficient_buffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(win32_error::pipe_busy == ERROR_PIPE_BUSY);
static_assert(win32_error::service_does_not_exist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(win32_error::timeout == ERROR_TIMEOUT);
static_assert(service_state::stopped == SERVICE_STOPPED && service_state::running == SERVICE_RUNNING &&
              service_state::paused == SERVICE_PAUSED);

namespace {

using platform::win32::UniqueFile;
using platform::win32::UniqueHandle;
using platform::win32::UniqueServiceHandle;

// A zero-terminated copy of a name for the wide calls.
std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

DWORD remaining_ms(std::uint64_t deadline_ms) {
  const ULONGLONG now = ::GetTickCount64();
  return now >= deadline_ms ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline_ms - now, INFINITE - 1));
}

class Win32PipeConnection final : public PipeConnection {
 public:
  Win32PipeConnection(UniqueFile pipe, UniqueHandle event) : pipe_(std::move(pipe)), event_(std::move(event)) {}

  std::expected<std::uint32_t, CallFailure> server_process_id() override {
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(pipe_.get(), &server)) {
      return std::unexpected(CallFailure{"GetNamedPipeServerProcessId", ::GetLastError()});
    }
    return server;
  }

  std::expected<std::size_t, std::uint32_t> write(std::span<const char> bytes, std::uint64_t deadline_ms) override {
    OVERLAPPED overlapped = fresh_overlapped();
    const BOOL started = ::WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
    return finish(started, overlapped, deadline_ms);
  }

  std::expected<std::size_t, std::uint32_t> read(std::span<char> buffer, std::uint64_t deadline_ms) override {
    OVERLAPPED overlapped = fresh_overlapped();
    const BOOL started =
        ::ReadFile(pipe_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
    return finish(started, overlapped, deadline_ms);
  }

 private:
  OVERLAPPED fresh_overlapped() const {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    return overlapped;
  }

  // Completes the transfer that `started` reports; a transfer still pending
  // at the deadline is cancelled, and waited for, before it is reported as
  // ERROR_TIMEOUT (the OVERLAPPED must outlive the operation).
  std::expected<std::size_t, std::uint32_t> finish(BOOL started, OVERLAPPED& overlapped, std::uint64_t deadline_ms) {
    DWORD done = 0;
    if (!started) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(event_.get(), remaining_ms(deadline_ms)) != WAIT_OBJECT_0) {
          ::CancelIoEx(pipe_.get(), &overlapped);
          ::GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
          return std::unexpected(static_cast<std::uint32_t>(ERROR_TIMEOUT));
        }
      } else if (error != ERROR_MORE_DATA) {
        return std::unexpected(static_cast<std::uint32_t>(error));
      }
    }
    if (!::GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE)) {
      const DWORD error = ::GetLastError();
      // A message-mode server may deliver a message in pieces; the bytes of
      // each piece count like those of a byte-mode read.
      if (error != ERROR_MORE_DATA) return std::unexpected(static_cast<std::uint32_t>(error));
    }
    return static_cast<std::size_t>(done);
  }

  UniqueFile pipe_;
  UniqueHandle event_;
};

}  // namespace

std::expected<void, std::uint32_t> Win32CompanionSystem::random(std::span<std::uint8_t> bytes) {
  const NTSTATUS status =
      ::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) return std::unexpected(static_cast<std::uint32_t>(status));
  return {};
}

std::uint64_t Win32CompanionSystem::now_ms() {
  return ::GetTickCount64();
}

void Win32CompanionSystem::sleep_ms(std::uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

std::expected<std::unique_ptr<PipeConnection>, CallFailure> Win32CompanionSystem::open_pipe(std::u16string_view name) {
  // The security quality of service limits the server to identifying this
  // user: whoever serves the pipe (checked only after the open) cannot act
  // as the user.
  constexpr DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  UniqueFile pipe(
      ::CreateFileW(wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!pipe) return std::unexpected(CallFailure{"CreateFileW", ::GetLastError()});
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return std::unexpected(CallFailure{"CreateEventW", ::GetLastError()});
  return std::make_unique<Win32PipeConnection>(std::move(pipe), std::move(event));
}

bool Win32CompanionSystem::wait_for_pipe(std::u16string_view name, std::optional<std::uint32_t> timeout_ms) {
  return ::WaitNamedPipeW(wide(name).c_str(), timeout_ms ? *timeout_ms : NMPWAIT_USE_DEFAULT_WAIT) != FALSE;
}

std::expected<ServiceProcess, CallFailure> Win32CompanionSystem::query_service(std::u16string_view service_name) {
  const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return std::unexpected(CallFailure{"OpenSCManagerW", ::GetLastError()});
  const UniqueServiceHandle service(::OpenServiceW(manager.get(), wide(service_name).c_str(), SERVICE_QUERY_STATUS));
  if (!service) return std::unexpected(CallFailure{"OpenServiceW", ::GetLastError()});
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
    return std::unexpected(CallFailure{"QueryServiceStatusEx", ::GetLastError()});
  }
  return ServiceProcess{.state = status.dwCurrentState, .process_id = status.dwProcessId};
}

}  // namespace bv::companion_side
