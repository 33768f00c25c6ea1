#include "support/enclave_report.h"

#include "support/process.h"

namespace bv::test {

std::wstring enclave_report_path(std::wstring_view enclave_folder, std::string_view pipe_token) {
  return std::wstring(enclave_folder) + L"\\bv-enclave-" + to_wide(pipe_token) + L".txt";
}

std::optional<std::map<std::string, std::string>> wait_for_enclave_report(std::wstring_view enclave_folder,
                                                                          std::string_view pipe_token,
                                                                          std::string_view key, DWORD timeout_ms,
                                                                          DWORD poll_ms) {
  const std::wstring path = enclave_report_path(enclave_folder, pipe_token);
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (const std::optional<std::string> text = read_file(path)) {
      std::map<std::string, std::string> report = parse_report(*text);
      if (report.contains(std::string(key))) return report;
    }
    if (GetTickCount64() >= deadline) return std::nullopt;
    Sleep(poll_ms);
  }
}

}  // namespace bv::test
