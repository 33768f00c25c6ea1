#pragma once
// Building blocks of bv-bench.exe beyond what the test-support library has
// (its clock, pipe client, child starter and Service Control Manager
// helpers): sample statistics, a timed round trip, other processes' times
// and memory, and one WinVerifyTrust call made as the service makes it.
// Every failure of a Win32 call throws BenchError; a benchmark that cannot
// measure what it was asked to says so and prints nothing.

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/names.h"
#include "platform/win32/unique_handle.h"
#include "support/clock.h"
#include "support/enclave_report.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace bv::bench {

using File = platform::win32::UniqueFile;
using Handle = platform::win32::UniqueHandle;
using test::ChildOptions;
using test::ChildProcess;
using test::ChildStreams;
using test::now_us;
using test::read_file;
using test::system_time;
using test::to_utf8;
using test::to_wide;

// The service's pipe.
inline constexpr std::wstring_view service_pipe = names::pipe_name<wchar_t>;

class BenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// "{what} failed: error {code}"
[[noreturn]] void fail(std::string_view what, DWORD code = GetLastError());

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

// Stores a random password of the form that --setup-m5 stores as
// HKLM\SOFTWARE\Brisvander\SvcUserPwd, making the key when it is missing.
void store_random_password();

struct RoundTrip {
  double elapsed_us = 0;
  std::uint64_t started_at = 0;  // system_time() when the clock started
  std::string reply;             // the reply line without its line feed; empty when none came
};
// Waits (untimed) until an instance of `pipe` listens, then times the
// round trip: open the pipe, write `line` (which carries its line feed),
// read up to the reply's line feed. The connection is closed after the
// clock has stopped.
RoundTrip round_trip(std::wstring_view pipe, std::string_view line);
// Waits until an instance of `pipe` listens, asking again at once while
// there is none; false after `timeout_ms`.
bool wait_listening(std::wstring_view pipe, DWORD timeout_ms);

// The service's own WinVerifyTrust call on `path`; returns its result.
LONG verify_trust(const std::wstring& path);

// GetProcessMemoryInfo's PrivateUsage and WorkingSetSize, and the process's
// virtual size, in bytes.
struct MemoryFigures {
  std::uint64_t private_bytes = 0;
  std::uint64_t working_set = 0;
  std::uint64_t virtual_size = 0;
};
MemoryFigures memory_figures(HANDLE process);

}  // namespace bv::bench
