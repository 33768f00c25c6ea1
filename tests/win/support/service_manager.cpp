#include "support/service_manager.h"

#include <stdexcept>

#include "common/names.h"
#include "support/clock.h"
#include "support/process.h"

namespace bv::test {
namespace {

constexpr DWORD stop_timeout_ms = 15000;
constexpr DWORD deletion_timeout_ms = 10000;
// Generous for one program start under Wine on a loaded machine.
constexpr DWORD install_timeout_ms = 30000;
constexpr DWORD start_timeout_ms = 20000;

}  // namespace

UniqueServiceHandle open_manager(DWORD access) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) fail("OpenSCManagerW", GetLastError());
  return manager;
}

UniqueServiceHandle open_service(DWORD access) {
  const UniqueServiceHandle manager = open_manager(SC_MANAGER_CONNECT);
  // The handle owners keep the last error across the manager's close.
  return UniqueServiceHandle(OpenServiceW(manager.get(), names::service_name<wchar_t>.data(), access));
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

}  // namespace bv::test
