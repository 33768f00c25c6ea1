#pragma once
// Helpers for the end-to-end tests of the service executable under the
// prefix's own Service Control Manager: the registration and status as the
// manager reports them, and guards that put back what a test changed in the
// prefix (the registration, the registry password, folders, the Wine
// PowerShell stub) however the test ends. Guards never throw from their
// destructors; the helpers throw std::runtime_error on a failure of their
// own, which GoogleTest reports as a failure of the calling test. The
// general helpers (reports, environment, process starts) are in process.h.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "support/process.h"

namespace bv::test::e2e {

using platform::win32::UniqueServiceHandle;

inline constexpr std::wstring_view service_name = L"BrisvanderEnclaveSvc";
inline constexpr std::wstring_view pipe_name = L"\\\\.\\pipe\\brisvander-svc";

// Milliseconds since an arbitrary start, with sub-millisecond resolution.
double now_ms();

UniqueServiceHandle open_manager(DWORD access);
// An empty handle when the service cannot be opened; GetLastError() tells why.
UniqueServiceHandle open_service(DWORD access);
bool service_registered();

struct ServiceConfig {
  DWORD service_type = 0;
  DWORD start_type = 0;
  DWORD error_control = 0;
  std::wstring binary_path;
  std::wstring display_name;
  std::wstring start_name;
  std::wstring load_order_group;
  bool has_dependencies = false;
};
// QueryServiceConfigW on the registered service.
ServiceConfig query_config();

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service);

struct StateWait {
  bool reached = false;
  SERVICE_STATUS_PROCESS last{};
  std::vector<DWORD> states_seen;  // the states polled, each run of one state once
  double elapsed_ms = 0;
};
// Polls QueryServiceStatusEx every `interval_ms` until the service reports
// `state` or `timeout_ms` have passed.
StateWait wait_for_state(SC_HANDLE service, DWORD state, DWORD timeout_ms, DWORD interval_ms = 5);

// Registers `executable` with its own --install and starts the service with
// `start_arguments` (which reach `service_entry`, not the command line);
// returns once the service reports running. Throws when a step fails.
UniqueServiceHandle install_and_start(const std::wstring& executable,
                                      const std::vector<std::wstring>& start_arguments = {});

// Stops the service if it runs, deletes its registration and waits until
// the manager no longer knows it. Never throws.
void remove_service() noexcept;

// Removes any registration before a test and again after it, so that an
// automatically started service never outlives its test (Wine would start it
// again whenever the prefix starts).
class ServiceCleanup {
 public:
  ServiceCleanup() { remove_service(); }
  ServiceCleanup(const ServiceCleanup&) = delete;
  ServiceCleanup& operator=(const ServiceCleanup&) = delete;
  ~ServiceCleanup() { remove_service(); }
};

// The account password value HKLM\SOFTWARE\Brisvander\SvcUserPwd. Whatever
// the key and value were when the guard was made is put back when it goes.
class PasswordValue {
 public:
  PasswordValue();
  PasswordValue(const PasswordValue&) = delete;
  PasswordValue& operator=(const PasswordValue&) = delete;
  ~PasswordValue();

  void set(std::wstring_view password);  // REG_SZ with its terminating zero
  void remove();                         // the value; the key stays if it existed

 private:
  bool key_existed_ = false;
  std::optional<std::vector<BYTE>> original_;
  DWORD original_type_ = 0;
};

// Points Wine's console-side dispatcher at a control pipe that nobody
// serves, for as long as the guard lives (under Wine only; elsewhere it does
// nothing). Wine's StartServiceCtrlDispatcherW connects to the control pipe
// of the service started last, named after the DWORD value
// HKLM\SYSTEM\CurrentControlSet\Control\ServiceCurrent: while that service
// runs the call waits 10 s for the busy pipe, and while a stopped service's
// pipe lingers it may even attach to it. Windows answers a console process
// at once with 1063; so does Wine when the pipe does not exist. The value is
// put back before any service is started again.
class ControlPipeRedirect {
 public:
  ControlPipeRedirect();
  ControlPipeRedirect(const ControlPipeRedirect&) = delete;
  ControlPipeRedirect& operator=(const ControlPipeRedirect&) = delete;
  ~ControlPipeRedirect();

 private:
  bool active_ = false;
  std::optional<DWORD> original_;
};

// A folder made for the test (parents included) and removed with everything
// in it when the guard goes. Only a folder that did not exist is accepted.
class OwnedFolder {
 public:
  explicit OwnedFolder(std::wstring path);
  OwnedFolder(const OwnedFolder&) = delete;
  OwnedFolder& operator=(const OwnedFolder&) = delete;
  ~OwnedFolder();

  const std::wstring& path() const { return path_; }
  std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
  std::wstring top_;  // the topmost folder that the guard made
};

std::wstring system_directory();
std::wstring windows_directory();

void copy_file(const std::wstring& from, const std::wstring& to);
bool file_exists(const std::wstring& path);

// Moves every powershell.exe aside that the service executable at
// `executable_directory` could find (its own folder, the system folder, the
// Windows folder, the folders of PATH), and moves them back when it goes.
class PowerShellHidden {
 public:
  explicit PowerShellHidden(const std::wstring& executable_directory);
  PowerShellHidden(const PowerShellHidden&) = delete;
  PowerShellHidden& operator=(const PowerShellHidden&) = delete;
  ~PowerShellHidden();

  const std::vector<std::wstring>& hidden() const { return hidden_; }
  // Every place that was searched; none holds a powershell.exe while the
  // guard lives.
  const std::vector<std::wstring>& searched() const { return searched_; }

 private:
  std::vector<std::wstring> hidden_;
  std::vector<std::wstring> searched_;
};

// Ends the processes whose ids it was given when it goes (enclaves outlive
// the service that started them).
class ProcessReaper {
 public:
  ProcessReaper() = default;
  ProcessReaper(const ProcessReaper&) = delete;
  ProcessReaper& operator=(const ProcessReaper&) = delete;
  ~ProcessReaper();

  void add(DWORD process_id) { ids_.push_back(process_id); }

 private:
  std::vector<DWORD> ids_;
};

}  // namespace bv::test::e2e
