#pragma once
// Guards of the end-to-end tests of the service executable that put back
// what a test changed in the prefix (the registration, the registry
// password, folders, the Wine PowerShell stub) however the test ends.
// Guards never throw from their destructors; the helpers throw
// std::runtime_error on a failure of their own, which GoogleTest reports as
// a failure of the calling test. The registration and status as the Service
// Control Manager reports them are in service_manager.h, the general
// helpers (reports, environment, process starts) in process.h.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace bv::test::e2e {

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

// Makes the logon of the test builds refuse `password` with
// ERROR_LOGON_FAILURE, as if the account no longer had it (see
// platform/win32/logon_user_substitute.h), for as long as the guard lives.
class RefusedLogonPassword {
 public:
  explicit RefusedLogonPassword(std::wstring_view password);
  RefusedLogonPassword(const RefusedLogonPassword&) = delete;
  RefusedLogonPassword& operator=(const RefusedLogonPassword&) = delete;
  ~RefusedLogonPassword();
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

void copy_file(const std::wstring& from, const std::wstring& to);
bool file_exists(const std::wstring& path);

// The one interpreter that --setup-m5 starts, the system folder's
// WindowsPowerShell\v1.0\powershell.exe, for as long as the guard lives:
// whatever is there (Wine's stub) is moved aside, and a copy of
// `replacement`, when one is given, takes its place. The original is put
// back when the guard goes.
class SystemPowerShell {
 public:
  explicit SystemPowerShell(const std::optional<std::wstring>& replacement);
  SystemPowerShell(const SystemPowerShell&) = delete;
  SystemPowerShell& operator=(const SystemPowerShell&) = delete;
  ~SystemPowerShell();

  const std::wstring& path() const { return path_; }
  // Whether a file was there and has been moved aside.
  bool moved_aside() const { return moved_aside_; }

 private:
  std::wstring path_;
  bool moved_aside_ = false;
  bool replaced_ = false;
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
