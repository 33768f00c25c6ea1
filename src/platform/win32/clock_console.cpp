#include "platform/win32/clock_console.h"

#include <windows.h>

#include <algorithm>

#include "platform/win32/wait_time.h"

namespace bv::platform::win32 {
namespace {

// A process started by the Service Control Manager has no standard handles:
// the bytes are then dropped and the write counts as done. A failed write is
// dropped the same way.
void write_all(DWORD standard_handle, std::string_view bytes) {
  const HANDLE handle = ::GetStdHandle(standard_handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto length = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    if (!::WriteFile(handle, bytes.data(), length, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

}  // namespace

std::chrono::milliseconds Win32Clock::now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

void Win32Clock::sleep_for(std::chrono::milliseconds duration) {
  ::Sleep(wait_milliseconds(duration));
}

void Win32Console::write_stdout(std::string_view bytes) {
  write_all(STD_OUTPUT_HANDLE, bytes);
}

void Win32Console::write_stderr(std::string_view bytes) {
  write_all(STD_ERROR_HANDLE, bytes);
}

}  // namespace bv::platform::win32
