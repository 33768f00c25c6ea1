#pragma once
// Building blocks of bv-bench.exe: a monotonic clock, sample statistics,
// a named-pipe client, child processes, the service's registration and
// state, and one WinVerifyTrust call made as the service makes it. Every
// failure of a Win32 call throws BenchError; a benchmark that cannot
// measure what it was asked to says so and prints nothing.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "support/process.h"

namespace bv::bench {

using File = platform::win32::UniqueFile;
using Handle = platform::win32::UniqueHandle;
using ServiceHandle = platform::win32::UniqueServiceHandle;
using test::read_file;
using test::to_utf8;
using test::to_wide;
using test::wait_for_exit;

class BenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// "{what} failed: error {code}"
[[noreturn]] void fail(std::string_view what, DWORD code = GetLastError());

// Microseconds on QueryPerformanceCounter: one time base for every process
// of the machine.
double now_us();
// GetSystemTimePreciseAsFileTime in 100 ns units: the time base of
// GetProcessTimes, for placing another process's start and end.
std::uint64_t system_time();

struct ProcessTimes {
  std::uint64_t created = 0;  // 100 ns units, as system_time()
  std::uint64_t exited = 0;   // 0 while the process runs
};
ProcessTimes process_times(HANDLE process);
// A file's last write time in the same units; 0 when it cannot be read.
std::uint64_t last_write_time(const std::wstring& path);

// Order statistics of one series of measurements, in microseconds.
struct Summary {
  std::size_t count = 0;
  double median = 0;
  double p10 = 0;
  double p90 = 0;
  double min = 0;
  double max = 0;
};
Summary summarize(std::vector<double> samples);
// "12.34 ms [11.90-13.02]": median and p10-p90, from microseconds.
std::string format_ms(const Summary& summary);
std::string format_ms(double microseconds);

// Random hexadecimal digits (upper- and lower-case letters mixed).
std::string random_hex(std::size_t digits);

struct RoundTrip {
  double elapsed_us = 0;
  std::uint64_t started_at = 0;  // system_time() when the clock started
  std::string reply;             // the reply line without its line feed; empty when none came
};
// Waits (untimed) until an instance of `pipe` listens, then times the
// round trip: open the pipe, write `line` (which carries its line feed),
// read up to the reply's line feed. The connection is closed after the
// clock has stopped.
RoundTrip round_trip(const std::wstring& pipe, std::string_view line);
// Waits until an instance of `pipe` listens; false after `timeout_ms`.
bool wait_listening(const std::wstring& pipe, DWORD timeout_ms);

// The service's own WinVerifyTrust call on `path`; returns its result.
LONG verify_trust(const std::wstring& path);

std::wstring own_path();
std::wstring directory_of(const std::wstring& path);
std::wstring quote(std::wstring_view argument);

// A child process started with CreateProcessW. Its standard output goes to
// `output_path` when one is given (a file: Wine's helper processes hold
// inherited pipes open), otherwise to NUL, as its standard error does.
struct Child {
  Handle process;
  DWORD process_id = 0;
};
Child start_child(const std::wstring& command_line, const std::wstring& output_path = {});

// The service registration used by the benchmarks.
inline constexpr wchar_t service_name[] = L"BrisvanderEnclaveSvc";
inline constexpr wchar_t service_pipe[] = L"\\\\.\\pipe\\brisvander-svc";

ServiceHandle open_service(DWORD access);
SERVICE_STATUS_PROCESS query_status(SC_HANDLE service);

// GetProcessMemoryInfo's PrivateUsage and WorkingSetSize, and the process's
// virtual size, in bytes.
struct MemoryFigures {
  std::uint64_t private_bytes = 0;
  std::uint64_t working_set = 0;
  std::uint64_t virtual_size = 0;
};
MemoryFigures memory_figures(HANDLE process);

}  // namespace bv::bench
