#include "support/e2e_service_support.h"

#include <stdexcept>

#include "platform/win32/logon_user_substitute.h"

namespace bv::test::e2e {
namespace {

using platform::win32::UniqueKey;

constexpr wchar_t password_key[] = L"SOFTWARE\\Brisvander";
constexpr wchar_t password_value[] = L"SvcUserPwd";
constexpr wchar_t service_current_key[] = L"SYSTEM\\CurrentControlSet\\Control\\ServiceCurrent";
// A control pipe number that no service of the prefix is ever given: Wine
// counts its services up from a handful.
constexpr DWORD unserved_control_pipe = 0xB5B5B5B5;
constexpr wchar_t hidden_suffix[] = L".bv-e2e-hidden";

bool directory_exists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring join(const std::wstring& directory, std::wstring_view name) {
  std::wstring path = directory;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return path + std::wstring(name);
}

template <class Query>
std::wstring directory_query(Query query, std::string_view call) {
  wchar_t buffer[MAX_PATH + 1];
  const UINT length = query(buffer, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) fail(call, GetLastError());
  return std::wstring(buffer, length);
}

bool ends_with_ignoring_case(std::wstring_view text, std::wstring_view suffix) {
  if (text.size() < suffix.size()) return false;
  return CompareStringOrdinal(text.data() + (text.size() - suffix.size()), static_cast<int>(suffix.size()),
                              suffix.data(), static_cast<int>(suffix.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

PasswordValue::PasswordValue() {
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, password_key, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
  key_existed_ = true;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), password_value, nullptr, &original_type_, nullptr, &size) != ERROR_SUCCESS) return;
  std::vector<BYTE> data(size);
  if (RegQueryValueExW(key.get(), password_value, nullptr, &original_type_, data.data(), &size) == ERROR_SUCCESS) {
    data.resize(size);
    original_ = std::move(data);
  }
}

PasswordValue::~PasswordValue() {
  try {
    if (original_) {
      UniqueKey key;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, password_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                          nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key.get(), password_value, 0, original_type_, original_->data(),
                       static_cast<DWORD>(original_->size()));
      }
      return;
    }
    remove();
    if (!key_existed_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, password_key);
  } catch (...) {
  }
}

void PasswordValue::set(std::wstring_view password) {
  UniqueKey key;
  const LSTATUS created =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, password_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (created != ERROR_SUCCESS) fail("RegCreateKeyExW", static_cast<DWORD>(created));
  const std::wstring data(password);
  const LSTATUS stored =
      RegSetValueExW(key.get(), password_value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (stored != ERROR_SUCCESS) fail("RegSetValueExW", static_cast<DWORD>(stored));
}

void PasswordValue::remove() {
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, password_key, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
  const LSTATUS deleted = RegDeleteValueW(key.get(), password_value);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) fail("RegDeleteValueW", static_cast<DWORD>(deleted));
}

RefusedLogonPassword::RefusedLogonPassword(std::wstring_view password) {
  const std::wstring data(password);
  const LSTATUS stored = RegSetKeyValueW(HKEY_LOCAL_MACHINE, platform::win32::refused_password_key,
                                         platform::win32::refused_password_value, REG_SZ, data.c_str(),
                                         static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (stored != ERROR_SUCCESS) fail("RegSetKeyValueW", static_cast<DWORD>(stored));
}

RefusedLogonPassword::~RefusedLogonPassword() {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, platform::win32::refused_password_key);
}

ControlPipeRedirect::ControlPipeRedirect() {
  if (!running_under_wine()) return;
  UniqueKey key;
  const LSTATUS opened =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_current_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  // Without the key Wine's dispatcher finds no pipe name and fails at once.
  if (opened != ERROR_SUCCESS) return;
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
      type == REG_DWORD) {
    original_ = value;
  }
  const LSTATUS stored = RegSetValueExW(key.get(), nullptr, 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&unserved_control_pipe), sizeof(DWORD));
  if (stored != ERROR_SUCCESS) fail("RegSetValueExW(ServiceCurrent)", static_cast<DWORD>(stored));
  active_ = true;
}

ControlPipeRedirect::~ControlPipeRedirect() {
  if (!active_) return;
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_current_key, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
  if (original_) {
    RegSetValueExW(key.get(), nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*original_), sizeof(DWORD));
  } else {
    RegDeleteValueW(key.get(), nullptr);
  }
}

OwnedFolder::OwnedFolder(std::wstring path) : path_(std::move(path)) {
  if (GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES) {
    throw std::runtime_error("folder already exists: " + to_utf8(path_));
  }
  // Every missing folder on the way is made; the topmost of them is the one
  // removed later.
  for (std::size_t separator = path_.find(L'\\', 3);; separator = path_.find(L'\\', separator + 1)) {
    const std::wstring part = path_.substr(0, separator);
    if (!directory_exists(part)) {
      if (!CreateDirectoryW(part.c_str(), nullptr)) fail("CreateDirectoryW", GetLastError());
      if (top_.empty()) top_ = part;
    }
    if (separator == std::wstring::npos) break;
  }
}

OwnedFolder::~OwnedFolder() {
  if (!top_.empty()) remove_tree(top_);
}

std::wstring system_directory() {
  return directory_query([](LPWSTR buffer, UINT size) { return GetSystemDirectoryW(buffer, size); },
                         "GetSystemDirectoryW");
}

void copy_file(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) fail("CopyFileW(" + to_utf8(to) + ")", GetLastError());
}

bool file_exists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

SystemPowerShell::SystemPowerShell(const std::optional<std::wstring>& replacement)
    : path_(join(system_directory(), L"WindowsPowerShell\\v1.0\\powershell.exe")) {
  if (file_exists(path_)) {
    if (!MoveFileExW(path_.c_str(), (path_ + hidden_suffix).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      fail("MoveFileExW(" + to_utf8(path_) + ")", GetLastError());
    }
    moved_aside_ = true;
  }
  if (!replacement) return;
  // The folders exist wherever Wine put its stub; elsewhere they are made.
  const std::wstring folder = folder_of(path_);
  CreateDirectoryW(folder_of(folder).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  copy_file(*replacement, path_);
  replaced_ = true;
}

SystemPowerShell::~SystemPowerShell() {
  if (replaced_) DeleteFileW(path_.c_str());
  if (moved_aside_) MoveFileExW((path_ + hidden_suffix).c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
}

ProcessReaper::~ProcessReaper() {
  for (const DWORD id : ids_) {
    const UniqueHandle process(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id));
    // An id may have been reused once its enclave ended: only an enclave is
    // ended.
    if (!process || !ends_with_ignoring_case(image_name(process.get()), L"\\vault-enclave.exe")) continue;
    if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 5000);
    }
  }
}

}  // namespace bv::test::e2e
