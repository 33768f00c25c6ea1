#include "support/clock.h"

#include <windows.h>

namespace bv::test {
namespace {

// The counter's frequency is fixed at boot, so it is read once.
double counts_per_ms() {
  static const double frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return static_cast<double>(value.QuadPart) / 1000.0;
  }();
  return frequency;
}

}  // namespace

double now_ms() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / counts_per_ms();
}

double now_us() {
  return now_ms() * 1000.0;
}

std::uint64_t system_time() {
  FILETIME time;
  GetSystemTimePreciseAsFileTime(&time);
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace bv::test
