#pragma once
#include <cstdint>
#include <expected>

namespace bv::platform {

// The GetLastError() value (or the returned status) of a failed Win32 call,
// read in the statement right after the call.
using ErrorCode = std::uint32_t;

template <class T>
using Result = std::expected<T, ErrorCode>;

// Win32 error codes that the logic takes decisions on.
inline constexpr ErrorCode error_file_not_found = 2;
inline constexpr ErrorCode error_access_denied = 5;
inline constexpr ErrorCode error_broken_pipe = 109;
inline constexpr ErrorCode error_call_not_implemented = 120;
inline constexpr ErrorCode error_pipe_busy = 231;
inline constexpr ErrorCode error_no_data = 232;
inline constexpr ErrorCode error_pipe_connected = 535;
inline constexpr ErrorCode error_io_pending = 997;
inline constexpr ErrorCode error_logon_failure = 1326;
inline constexpr ErrorCode error_operation_aborted = 995;
inline constexpr ErrorCode error_failed_service_controller_connect = 1063;
inline constexpr ErrorCode error_service_specific_error = 1066;
inline constexpr ErrorCode error_service_exists = 1073;

}  // namespace bv::platform
