#pragma once
#include <chrono>

namespace bv::platform {

// Monotonic time and sleeping, so that time-outs and retry pauses can be
// driven by a fake clock in tests.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::milliseconds now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

}  // namespace bv::platform
