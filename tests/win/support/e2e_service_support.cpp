#include "support/e2e_service_support.h"

#include <stdexcept>

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

constexpr DWORD stop_timeout_ms = 15000;
constexpr DWORD deletion_timeout_ms = 10000;
// Generous for one program start under Wine on a loaded machine.
constexpr DWORD install_timeout_ms = 30000;
constexpr DWORD start_timeout_ms = 20000;

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

double now_ms() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

UniqueServiceHandle open_manager(DWORD access) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) fail("OpenSCManagerW", GetLastError());
  return manager;
}

UniqueServiceHandle open_service(DWORD access) {
  const UniqueServiceHandle manager = open_manager(SC_MANAGER_CONNECT);
  const std::wstring name(service_name);
  // The service handle stays valid after the manager's handle is closed.
  return UniqueServiceHandle(OpenServiceW(manager.get(), name.c_str(), access));
}

bool service_registered() {
  if (open_service(SERVICE_QUERY_STATUS)) return true;
  const DWORD error = GetLastError();
  if (error != ERROR_SERVICE_DOES_NOT_EXIST) fail("OpenServiceW", error);
  return false;
}

ServiceConfig query_config() {
  const UniqueServiceHandle service = open_service(SERVICE_QUERY_CONFIG);
  if (!service) fail("OpenServiceW", GetLastError());
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  if (needed == 0) fail("QueryServiceConfigW", GetLastError());
  // Heap memory from operator new is aligned for the structure.
  std::vector<std::byte> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) fail("QueryServiceConfigW", GetLastError());
  const auto text = [](const wchar_t* value) { return std::wstring(value ? value : L""); };
  return ServiceConfig{.service_type = config->dwServiceType,
                       .start_type = config->dwStartType,
                       .error_control = config->dwErrorControl,
                       .binary_path = text(config->lpBinaryPathName),
                       .display_name = text(config->lpDisplayName),
                       .start_name = text(config->lpServiceStartName),
                       .load_order_group = text(config->lpLoadOrderGroup),
                       .has_dependencies = config->lpDependencies != nullptr && config->lpDependencies[0] != L'\0'};
}

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    fail("QueryServiceStatusEx", GetLastError());
  }
  return status;
}

StateWait wait_for_state(SC_HANDLE service, DWORD state, DWORD timeout_ms, DWORD interval_ms) {
  StateWait wait;
  const double start = now_ms();
  for (;;) {
    wait.last = query_status(service);
    wait.elapsed_ms = now_ms() - start;
    if (wait.states_seen.empty() || wait.states_seen.back() != wait.last.dwCurrentState) {
      wait.states_seen.push_back(wait.last.dwCurrentState);
    }
    if (wait.last.dwCurrentState == state) {
      wait.reached = true;
      return wait;
    }
    if (wait.elapsed_ms >= timeout_ms) return wait;
    Sleep(interval_ms);
  }
}

UniqueServiceHandle install_and_start(const std::wstring& executable,
                                      const std::vector<std::wstring>& start_arguments) {
  const RunResult installed =
      run(ChildOptions{.command_line = command_line(executable, {L"--install"})}, install_timeout_ms);
  if (installed.exit_code != 0u) throw std::runtime_error("--install failed: " + installed.standard_error);
  UniqueServiceHandle service = open_service(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE);
  if (!service) fail("OpenServiceW", GetLastError());
  std::vector<const wchar_t*> argument_pointers;
  for (const std::wstring& argument : start_arguments) argument_pointers.push_back(argument.c_str());
  if (!StartServiceW(service.get(), static_cast<DWORD>(argument_pointers.size()),
                     argument_pointers.empty() ? nullptr : argument_pointers.data())) {
    fail("StartServiceW", GetLastError());
  }
  if (!wait_for_state(service.get(), SERVICE_RUNNING, start_timeout_ms).reached) {
    throw std::runtime_error("the service did not report running");
  }
  return service;
}

void remove_service() noexcept {
  try {
    UniqueServiceHandle service = open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service) return;
    // A service still starting refuses the stop, so it is asked again until
    // it stops; one that never does is ended.
    const ULONGLONG deadline = GetTickCount64() + stop_timeout_ms;
    SERVICE_STATUS_PROCESS status = query_status(service.get());
    while (status.dwCurrentState != SERVICE_STOPPED && GetTickCount64() < deadline) {
      SERVICE_STATUS ignored{};
      ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
      Sleep(50);
      status = query_status(service.get());
    }
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId != 0) {
      const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
      if (process) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
      }
    }
    DeleteService(service.get());
    service.reset();
    const ULONGLONG gone_deadline = GetTickCount64() + deletion_timeout_ms;
    while (service_registered() && GetTickCount64() < gone_deadline) Sleep(50);
  } catch (...) {
  }
}

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

std::wstring windows_directory() {
  return directory_query([](LPWSTR buffer, UINT size) { return GetWindowsDirectoryW(buffer, size); },
                         "GetWindowsDirectoryW");
}

void copy_file(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) fail("CopyFileW(" + to_utf8(to) + ")", GetLastError());
}

bool file_exists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

PowerShellHidden::PowerShellHidden(const std::wstring& executable_directory) {
  searched_ = {executable_directory, system_directory(), windows_directory()};
  if (const auto path = environment_variable(L"PATH")) {
    std::wstring_view rest = *path;
    while (!rest.empty()) {
      const std::size_t end = rest.find(L';');
      if (const auto entry = rest.substr(0, end); !entry.empty()) searched_.emplace_back(entry);
      if (end == std::wstring_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  for (const std::wstring& directory : searched_) {
    const std::wstring candidate = join(directory, L"powershell.exe");
    if (!file_exists(candidate)) continue;
    if (!MoveFileExW(candidate.c_str(), (candidate + hidden_suffix).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      fail("MoveFileExW(" + to_utf8(candidate) + ")", GetLastError());
    }
    hidden_.push_back(candidate);
  }
}

PowerShellHidden::~PowerShellHidden() {
  for (const std::wstring& original : hidden_) {
    MoveFileExW((original + hidden_suffix).c_str(), original.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
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
