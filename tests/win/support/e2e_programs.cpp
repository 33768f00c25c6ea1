#include "support/e2e_programs.h"

// These need <windows.h> first.
#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <utility>

#include "support/enclave_report.h"

namespace bv::test {
namespace {

std::string sid_string(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) fail("ConvertSidToStringSidW", GetLastError());
  std::string converted = to_utf8(text);
  LocalFree(text);
  return converted;
}

// Ends every process whose image is `program` (the enclaves that a test left
// running), so that the folder holding the program can be removed.
void terminate_processes_running(const std::wstring& program) {
  DWORD ids[4096];
  DWORD bytes = 0;
  if (!EnumProcesses(ids, sizeof ids, &bytes)) return;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ids[i]));
    if (!process) continue;
    const std::wstring image = image_name(process.get());
    if (image.empty() || CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), program.c_str(),
                                              static_cast<int>(program.size()), TRUE) != CSTR_EQUAL) {
      continue;
    }
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
  }
}

}  // namespace

ProgramCopy::ProgramCopy(std::wstring_view source, std::wstring_view name, std::vector<std::wstring> leading_arguments)
    : path_(directory_.file(name)), leading_arguments_(std::move(leading_arguments)) {
  if (!CopyFileW(build_file(source).c_str(), path_.c_str(), TRUE)) fail("CopyFileW", GetLastError());
}

std::wstring ProgramCopy::command_line(const std::vector<std::wstring>& arguments) const {
  std::vector<std::wstring> all = leading_arguments_;
  all.insert(all.end(), arguments.begin(), arguments.end());
  return bv::test::command_line(path_, all);
}

RunResult ProgramCopy::run(const std::vector<std::wstring>& arguments, DWORD timeout_ms) const {
  return bv::test::run(ChildOptions{.command_line = command_line(arguments)}, timeout_ms);
}

std::unique_ptr<ChildProcess> ProgramCopy::start(const std::vector<std::wstring>& arguments) const {
  return std::make_unique<ChildProcess>(ChildOptions{.command_line = command_line(arguments)});
}

std::vector<std::wstring> in_process_server_client() {
  return {L"--skip-server-check"};
}

ProgramCopy signed_companion() {
  return ProgramCopy(L"signed\\companion-app.exe", L"companion-app.exe", in_process_server_client());
}

ProgramCopy unsigned_companion() {
  return ProgramCopy(L"companion-app.exe", L"companion-app.exe", in_process_server_client());
}

std::string own_user_sid() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) fail("OpenProcessToken", GetLastError());
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<std::byte> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    fail("GetTokenInformation", GetLastError());
  }
  return sid_string(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

std::string new_pipe_token() {
  static std::atomic<unsigned> counter{0};
  char digits[33];
  std::snprintf(digits, sizeof digits, "%08lX%08x%016llx", static_cast<unsigned long>(GetCurrentProcessId()), ++counter,
                static_cast<unsigned long long>(GetTickCount64()));
  // Mixed case, which the service must keep in every name it makes.
  std::string token(digits, 32);
  return token.substr(0, 16) + "Ab" + token.substr(18);
}

InstalledEnclave::InstalledEnclave(std::wstring_view program) {
  directory_ = program_files() + L"\\" + unique_name(L"Brisvander Test ");
  if (!CreateDirectoryW(directory_.c_str(), nullptr)) fail("CreateDirectoryW", GetLastError());
  path_ = directory_ + L"\\vault-enclave.exe";
  if (!CopyFileW(build_file(program).c_str(), path_.c_str(), TRUE)) fail("CopyFileW", GetLastError());
}

InstalledEnclave::~InstalledEnclave() {
  terminate_processes_running(path_);
  remove_tree(directory_);
}

std::wstring InstalledEnclave::report_path(std::string_view pipe_token) const {
  return enclave_report_path(directory_, pipe_token);
}

std::optional<std::map<std::string, std::string>> InstalledEnclave::wait_for_report(std::string_view pipe_token,
                                                                                    std::string_view key,
                                                                                    DWORD timeout_ms) const {
  return wait_for_enclave_report(directory_, pipe_token, key, timeout_ms);
}

UserEnvironmentValue::UserEnvironmentValue(std::wstring name, const std::wstring& value) : name_(std::move(name)) {
  const std::optional<std::wstring> earlier = [this]() -> std::optional<std::wstring> {
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Environment", name_.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::wstring(buffer);
  }();
  previous_ = earlier;
  const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", name_.c_str(), REG_SZ, value.c_str(),
                                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) fail("RegSetKeyValueW(HKCU\\Environment)", static_cast<DWORD>(status));
}

UserEnvironmentValue::~UserEnvironmentValue() {
  if (previous_) {
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", name_.c_str(), REG_SZ, previous_->c_str(),
                    static_cast<DWORD>((previous_->size() + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Environment", name_.c_str());
  }
}

FileAccessList read_file_access_list(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                             &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) fail("GetNamedSecurityInfoW", status);
  const std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, &LocalFree);

  FileAccessList list;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision))
    fail("GetSecurityDescriptorControl", GetLastError());
  list.is_protected = (control & SE_DACL_PROTECTED) != 0;
  list.has_dacl = dacl != nullptr;

  wchar_t* sddl = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           &sddl, nullptr)) {
    list.sddl = to_utf8(sddl);
    LocalFree(sddl);
  }

  if (dacl != nullptr) {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      if (!GetAce(dacl, i, &ace)) fail("GetAce", GetLastError());
      const auto* header = static_cast<const ACE_HEADER*>(ace);
      AccessEntry entry{.type = header->AceType, .flags = header->AceFlags};
      // The allowed and denied entries share this layout; others keep no SID here.
      if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        entry.mask = allowed->Mask;
        entry.sid = sid_string(const_cast<DWORD*>(&allowed->SidStart));
      }
      list.entries.push_back(std::move(entry));
    }
  }
  return list;
}

bool file_dacl_protection_is_kept() {
  TempDirectory folder;
  const std::wstring path = folder.file(L"protected.tmp");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    fail("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (!file) fail("CreateFileW", error);
  file.reset();
  return read_file_access_list(path).is_protected;
}

}  // namespace bv::test
