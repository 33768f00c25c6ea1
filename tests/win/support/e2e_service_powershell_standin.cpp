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
#include <optional>
#include <string>
#include <string_view>

namespace {

std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
  return result;
}

std::optional<std::wstring> environment_variable(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  if (length == 0 || length >= 1024) return std::nullopt;
  return std::wstring(buffer, length);
}

// Reads the whole file; the error code of a failed open or read otherwise.
DWORD read_whole_file(const wchar_t* path, std::string& bytes) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  char buffer[4096];
  DWORD done = 0;
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    if (!ReadFile(file, buffer, sizeof buffer, &done, nullptr)) {
      error = GetLastError();
      break;
    }
    if (done == 0) break;
    bytes.append(buffer, done);
  }
  CloseHandle(file);
  return error;
}

std::string to_hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text.push_back(digits[value >> 4]);
    text.push_back(digits[value & 0x0F]);
  }
  return text;
}

void write_record(const std::wstring& path, const std::string& record) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
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
    write_record(*record_path, record);
  }

  // Straight to the handle: the C runtime's text mode would add a CR.
  const std::string line = "powershell stand-in: exit " + std::to_string(status) + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ExitProcess(status);
}
