#pragma once
// The one clock of the Windows-side tests, the soak and the bench.

#include <cstdint>

namespace bv::test {

// Milliseconds on QueryPerformanceCounter: monotonic, with sub-millisecond
// resolution, and one time base for every process of the machine.
double now_ms();
// The same clock in microseconds.
double now_us();

// GetSystemTimePreciseAsFileTime in 100 ns units: the time base of
// GetProcessTimes and of file times, for placing another process's start
// and end or a file's last write against this process's steps.
std::uint64_t system_time();

}  // namespace bv::test
