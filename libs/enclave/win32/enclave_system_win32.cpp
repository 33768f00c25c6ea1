#include "enclave/win32/enclave_system_win32.h"

#include <windows.h>

#include "platform/win32/unique_handle.h"

namespace bv::enclave_side {

static_assert(win32_error::broken_pipe == ERROR_BROKEN_PIPE);

namespace {

using platform::win32::UniqueFile;
using platform::win32::UniqueHandle;

std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// The process's standard input handle, or null when it has none. Not owned:
// it belongs to the process.
HANDLE standard_input() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  return input == INVALID_HANDLE_VALUE ? nullptr : input;
}

class Win32HandOverFile final : public HandOverFile {
 public:
  explicit Win32HandOverFile(UniqueFile file) : file_(std::move(file)) {}

  std::expected<std::size_t, std::uint32_t> read(std::span<char> buffer) override {
    DWORD done = 0;
    if (!::ReadFile(file_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &done, nullptr)) {
      return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
    }
    return static_cast<std::size_t>(done);
  }

  std::expected<void, std::uint32_t> delete_on_close() override {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
      return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
    }
    return {};
  }

 private:
  UniqueFile file_;
};

class Win32ShutdownEvent final : public ShutdownEvent {
 public:
  explicit Win32ShutdownEvent(UniqueHandle event) : event_(std::move(event)) {}
  void* native_handle() const override { return event_.get(); }

 private:
  UniqueHandle event_;
};

}  // namespace

std::u16string Win32EnclaveSystem::command_line() {
  const std::wstring_view line(::GetCommandLineW());
  return std::u16string(line.begin(), line.end());
}

InputKind Win32EnclaveSystem::standard_input_kind() {
  const HANDLE input = standard_input();
  if (input == nullptr) return InputKind::none;
  switch (::GetFileType(input)) {
    case FILE_TYPE_CHAR:
      return InputKind::console;
    case FILE_TYPE_PIPE:
      return InputKind::pipe;
    default:
      return InputKind::file;
  }
}

std::expected<std::uint32_t, std::uint32_t> Win32EnclaveSystem::input_available() {
  DWORD available = 0;
  if (!::PeekNamedPipe(standard_input(), nullptr, 0, nullptr, &available, nullptr)) {
    return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
  }
  return static_cast<std::uint32_t>(available);
}

std::expected<std::size_t, std::uint32_t> Win32EnclaveSystem::read_input(std::span<char> buffer) {
  DWORD done = 0;
  if (!::ReadFile(standard_input(), buffer.data(), static_cast<DWORD>(buffer.size()), &done, nullptr)) {
    return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
  }
  return static_cast<std::size_t>(done);
}

std::uint64_t Win32EnclaveSystem::now_ms() {
  return ::GetTickCount64();
}

void Win32EnclaveSystem::sleep_ms(std::uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

std::expected<std::unique_ptr<HandOverFile>, std::uint32_t> Win32EnclaveSystem::open_hand_over_file(
    std::u16string_view path) {
  UniqueFile file(::CreateFileW(wide(path).c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
  return std::make_unique<Win32HandOverFile>(std::move(file));
}

std::expected<std::unique_ptr<ShutdownEvent>, std::uint32_t> Win32EnclaveSystem::open_shutdown_event(
    std::u16string_view name) {
  UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, wide(name).c_str()));
  if (!event) return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
  return std::make_unique<Win32ShutdownEvent>(std::move(event));
}

}  // namespace bv::enclave_side
