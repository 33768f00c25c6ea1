// powershell-standin.exe: takes the place of Windows PowerShell in the
// end-to-end tests of `--setup-m5` (Wine has no PowerShell, only a stub).
// The tests copy it to the system directory's
// WindowsPowerShell\v1.0\powershell.exe, the one interpreter that the
// executable starts, and as a decoy beside a copy of the executable.
//
// It records how it was started and which script it was handed, writes one
// line to standard output (so a test can see that the interpreter's output
// comes before the executable's own final line) and exits with the status
// that the test asked for.
//
// Environment:
//   BV_STANDIN_RECORD  the file that the record goes to (none when unset)
//   BV_STANDIN_EXIT    the exit status, decimal 0 to 4294967295 (default 0)
//
// The record is UTF-8 text of "key=value" lines, each ended by a line feed:
//   image=          this program's own path, as the system reports it
//   command_line=   GetCommandLineW, as the process got it
//   argc=           the number of arguments after the program name
//   arg1= ... argN= each argument as the C runtime split it
//   script_hex=     the argument after "-EncodedCommand", decoded as
//                   PowerShell does (Base64, then UTF-16LE), as lowercase
//                   hex of its UTF-8 form, or
//   script_error=   the error code of the Base64 decoding

#include <windows.h>
// After <windows.h>, which declares the types it uses.
#include <wincrypt.h>

#include <cwchar>
#include <string>
#include <string_view>

#include "support/process.h"

namespace {

using bv::test::environment_variable;
using bv::test::to_hex;
using bv::test::to_utf8;

// Base64 through the system's own decoder, then the bytes as UTF-16LE; the
// error code of a failed decoding otherwise.
DWORD decode_encoded_command(const wchar_t* encoded, std::wstring& script) {
  DWORD size = 0;
  if (!CryptStringToBinaryW(encoded, 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) return GetLastError();
  std::string bytes(size, '\0');
  if (!CryptStringToBinaryW(encoded, 0, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr,
                            nullptr)) {
    return GetLastError();
  }
  bytes.resize(size);
  if (bytes.size() % 2 != 0) return ERROR_INVALID_DATA;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    script +=
        static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return ERROR_SUCCESS;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  UINT status = 0;
  if (const auto requested = environment_variable(L"BV_STANDIN_EXIT")) {
    status = static_cast<UINT>(std::wcstoul(requested->c_str(), nullptr, 10));
  }

  if (const auto record_path = environment_variable(L"BV_STANDIN_RECORD")) {
    wchar_t image[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    std::string record = "image=" + to_utf8(image) + "\n";
    record += "command_line=" + to_utf8(GetCommandLineW()) + "\n";
    record += "argc=" + std::to_string(argc - 1) + "\n";
    const wchar_t* encoded = nullptr;
    for (int i = 1; i < argc; ++i) {
      record += "arg" + std::to_string(i) + "=" + to_utf8(argv[i]) + "\n";
      if (std::wstring_view(argv[i]) == L"-EncodedCommand" && i + 1 < argc) encoded = argv[i + 1];
    }
    if (encoded != nullptr) {
      std::wstring script;
      const DWORD error = decode_encoded_command(encoded, script);
      if (error == ERROR_SUCCESS)
        record += "script_hex=" + to_hex(to_utf8(script)) + "\n";
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
