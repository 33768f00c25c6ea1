// The service executable's entry: builds the Win32 platform and hands the
// command line, without the program name, to the portable entry.

#include <string>
#include <string_view>
#include <vector>

#include "main/entry.h"
#include "platform/win32/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view argument(argv[i]);
    arguments.emplace_back(argument.begin(), argument.end());  // wchar_t is UTF-16 on Windows
  }
  bv::platform::win32::Win32Platform win32;
  return bv::entry::run_process(arguments, win32.platform());
}
