#pragma once
// The service as the Service Control Manager of the prefix reports it, for
// the end-to-end tests, the soak and the bench: its registration, its
// status, waits for a state, and an install-and-start and a removal that
// the tests build their guards on. Failures of a call throw CallFailed
// (process.h) unless a function says otherwise.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"

namespace bv::test {

using platform::win32::UniqueServiceHandle;

UniqueServiceHandle open_manager(DWORD access);
// The service's handle (the manager's handle is closed by then; the
// service's stays valid). An empty handle when the service cannot be
// opened; GetLastError() tells why.
UniqueServiceHandle open_service(DWORD access);
// Whether the service is registered (ERROR_SERVICE_DOES_NOT_EXIST: no).
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

// QueryServiceStatusEx with SC_STATUS_PROCESS_INFO.
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

}  // namespace bv::test
