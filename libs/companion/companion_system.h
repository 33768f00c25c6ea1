#pragma once
// The calls of the companion side, as an interface. The Win32
// implementation (win32/) makes each call with the arguments fixed here and
// reports what Windows said; exchange.h decides, words the messages and
// orders the steps, and host tests drive it with a fake.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bv::companion_side {

// Win32 error codes the logic tells apart (winerror.h; the Win32
// implementation checks them against the SDK).
namespace win32_error {
inline constexpr std::uint32_t file_not_found = 2;
inline constexpr std::uint32_t insufficient_buffer = 122;
inline constexpr std::uint32_t pipe_busy = 231;
inline constexpr std::uint32_t service_does_not_exist = 1060;
inline constexpr std::uint32_t timeout = 1460;
}  // namespace win32_error

// SERVICE_STATUS_PROCESS's dwCurrentState values (winsvc.h).
namespace service_state {
inline constexpr std::uint32_t stopped = 1;
inline constexpr std::uint32_t start_pending = 2;
inline constexpr std::uint32_t stop_pending = 3;
inline constexpr std::uint32_t running = 4;
inline constexpr std::uint32_t continue_pending = 5;
inline constexpr std::uint32_t pause_pending = 6;
inline constexpr std::uint32_t paused = 7;
}  // namespace service_state

// What the Service Control Manager reports of a service: its state and the
// process it runs in (0 while it runs in none).
struct ServiceProcess {
  std::uint32_t state = 0;
  std::uint32_t process_id = 0;
};

// A call that failed, by name, and its GetLastError value.
struct CallFailure {
  std::string call;
  std::uint32_t error = 0;
};

// The client end of the pipe, opened for overlapped transfers.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  // GetNamedPipeServerProcessId.
  virtual std::expected<std::uint32_t, CallFailure> server_process_id() = 0;
  // One WriteFile or ReadFile, waited for until `deadline_ms` (a now_ms()
  // value). One still pending then is cancelled and fails with
  // win32_error::timeout. A read that ends in ERROR_MORE_DATA counts the
  // bytes it delivered. Returns the bytes transferred, or the error.
  virtual std::expected<std::size_t, std::uint32_t> write(std::span<const char> bytes, std::uint64_t deadline_ms) = 0;
  virtual std::expected<std::size_t, std::uint32_t> read(std::span<char> buffer, std::uint64_t deadline_ms) = 0;

 protected:
  PipeConnection() = default;
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;
};

class CompanionSystem {
 public:
  virtual ~CompanionSystem() = default;
  // BCryptGenRandom with the system-preferred generator; the NTSTATUS when
  // it fails.
  virtual std::expected<void, std::uint32_t> random(std::span<std::uint8_t> bytes) = 0;
  // GetTickCount64, and Sleep.
  virtual std::uint64_t now_ms() = 0;
  virtual void sleep_ms(std::uint32_t milliseconds) = 0;
  // CreateFileW(name, GENERIC_READ | GENERIC_WRITE, no sharing, no security
  // attributes, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT
  // | SECURITY_IDENTIFICATION), then the event for its transfers
  // (CreateEventW). The failure names the call that failed.
  virtual std::expected<std::unique_ptr<PipeConnection>, CallFailure> open_pipe(std::u16string_view name) = 0;
  // WaitNamedPipeW with `timeout_ms`, or with NMPWAIT_USE_DEFAULT_WAIT (the
  // server's default) when none is given.
  virtual bool wait_for_pipe(std::u16string_view name, std::optional<std::uint32_t> timeout_ms) = 0;
  // OpenSCManagerW(SC_MANAGER_CONNECT), OpenServiceW(SERVICE_QUERY_STATUS)
  // and QueryServiceStatusEx(SC_STATUS_PROCESS_INFO): rights that every
  // user holds.
  virtual std::expected<ServiceProcess, CallFailure> query_service(std::u16string_view service_name) = 0;

 protected:
  CompanionSystem() = default;
  CompanionSystem(const CompanionSystem&) = delete;
  CompanionSystem& operator=(const CompanionSystem&) = delete;
};

}  // namespace bv::companion_side
