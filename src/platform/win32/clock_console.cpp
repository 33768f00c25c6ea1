#include "platform/win32/clock_console.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/win32/wait_time.h"

namespace bv::platform::win32 {
namespace {

// A console shows what WriteFile hands it in its output code page (437 or
// 850 on most systems), which would garble every non-ASCII character of the
// UTF-8 lines; WriteConsoleW takes the text itself. Invalid UTF-8 becomes
// U+FFFD. A failed write drops the rest.
void write_console(HANDLE console, std::string_view bytes) {
  if (bytes.empty()) return;
  const int input_length = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), input_length, nullptr, 0);
  if (units <= 0) return;
  std::wstring text(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), input_length, text.data(), units);
  std::wstring_view rest = text;
  while (!rest.empty()) {
    DWORD written = 0;
    const auto length = static_cast<DWORD>(std::min<std::size_t>(rest.size(), MAXDWORD));
    if (!::WriteConsoleW(console, rest.data(), length, &written, nullptr) || written == 0) return;
    rest.remove_prefix(written);
  }
}

// A stream redirected to a file or a pipe gets the UTF-8 bytes unchanged,
// which is what scripts and tests read.
void write_bytes(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto length = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    if (!::WriteFile(handle, bytes.data(), length, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

// A process started by the Service Control Manager has no standard handles:
// the bytes are then dropped and the write counts as done. A failed write is
// dropped the same way.
void write_all(DWORD standard_handle, std::string_view bytes) {
  const HANDLE handle = ::GetStdHandle(standard_handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (::GetConsoleMode(handle, &mode)) {
    write_console(handle, bytes);
  } else {
    write_bytes(handle, bytes);
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
