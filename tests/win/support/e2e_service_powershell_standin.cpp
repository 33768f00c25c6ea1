// powershell-standin.exe: takes the place of Windows PowerShell in the
// end-to-end tests of `--setup-m5` (Wine has no PowerShell). The tests copy
// it as "powershell.exe" beside a copy of the service executable, which is
// the first place the executable looks for its interpreter.
//
// It records how it was started and what the script file held, writes one
// line to standard output (so a test can see that the interpreter's output
// comes before the executable's own final line) and exits with the status
// that the test asked for.
//
// Environment:
//   BV_STANDIN_RECORD  the file that the record goes to (none when unset)
//   BV_STANDIN_EXIT    the exit status, decimal 0 to 4294967295 (default 0)
//
// The record is UTF-8 text of "key=value" lines, each ended by a line feed:
//   command_line=   GetCommandLineW, as the process got it
//   argc=           the number of arguments after the program name
//   arg1= ... argN= each argument as the C runtime split it
//   script_hex=     the content of the file named after "-File", as
//                   lowercase hex, or
//   script_error=   the error code of opening or reading it

#include <windows.h>

#include <cwchar>
#include <string>
#include <string_view>

#include "support/process.h"

namespace {

using bv::test::environment_variable;
using bv::test::to_hex;
using bv::test::to_utf8;

// Reads the whole file; the error code of a failed open or read otherwise.
DWORD read_whole_file(const wchar_t* path, std::string& bytes) {
  const bv::test::UniqueFile file(CreateFileW(path, GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  char buffer[4096];
  DWORD done = 0;
  for (;;) {
    if (!ReadFile(file.get(), buffer, sizeof buffer, &done, nullptr)) return GetLastError();
    if (done == 0) return ERROR_SUCCESS;
    bytes.append(buffer, done);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  UINT status = 0;
  if (const auto requested = environment_variable(L"BV_STANDIN_EXIT")) {
    status = static_cast<UINT>(std::wcstoul(requested->c_str(), nullptr, 10));
  }

  if (const auto record_path = environment_variable(L"BV_STANDIN_RECORD")) {
    std::string record = "command_line=" + to_utf8(GetCommandLineW()) + "\n";
    record += "argc=" + std::to_string(argc - 1) + "\n";
    const wchar_t* script = nullptr;
    for (int i = 1; i < argc; ++i) {
      record += "arg" + std::to_string(i) + "=" + to_utf8(argv[i]) + "\n";
      if (std::wstring_view(argv[i]) == L"-File" && i + 1 < argc) script = argv[i + 1];
    }
    if (script != nullptr) {
      std::string content;
      const DWORD error = read_whole_file(script, content);
      if (error == ERROR_SUCCESS)
        record += "script_hex=" + to_hex(content) + "\n";
      else
        record += "script_error=" + std::to_string(error) + "\n";
    }
    // A record that cannot be written shows as a missing record.
    static_cast<void>(bv::test::write_file(*record_path, record));
  }

  // Straight to the handle: the C runtime's text mode would add a CR.
  const std::string line = "powershell stand-in: exit " + std::to_string(status) + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ExitProcess(status);
}
