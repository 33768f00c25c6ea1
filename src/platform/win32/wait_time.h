#pragma once
#include <windows.h>

#include <chrono>

namespace bv::platform::win32 {

// A duration as the DWORD milliseconds of the wait functions: negative
// durations wait not at all, durations beyond the DWORD range wait forever.
inline DWORD wait_milliseconds(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return 0;
  if (duration.count() >= static_cast<std::chrono::milliseconds::rep>(INFINITE)) return INFINITE;
  return static_cast<DWORD>(duration.count());
}

}  // namespace bv::platform::win32
