#include "platform/win32/win32_platform.h"

namespace bv::platform::win32 {

// The error codes that the logic takes decisions on are the SDK's.
static_assert(error_file_not_found == ERROR_FILE_NOT_FOUND && error_access_denied == ERROR_ACCESS_DENIED);
static_assert(error_broken_pipe == ERROR_BROKEN_PIPE && error_call_not_implemented == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(error_pipe_busy == ERROR_PIPE_BUSY && error_no_data == ERROR_NO_DATA);
static_assert(error_pipe_connected == ERROR_PIPE_CONNECTED && error_io_pending == ERROR_IO_PENDING);
static_assert(error_operation_aborted == ERROR_OPERATION_ABORTED && error_logon_failure == ERROR_LOGON_FAILURE);
static_assert(error_failed_service_controller_connect == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(error_service_specific_error == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(error_service_exists == ERROR_SERVICE_EXISTS);

Win32Platform::Win32Platform()
    : platform_{.services = services_,
                .files = files_,
                .processes = processes_,
                .security = security_,
                .trust = trust_,
                .clock = clock_,
                .console = console_,
                .events = events_} {}

}  // namespace bv::platform::win32
