#pragma once
#include "platform/clock.h"
#include "platform/console.h"

namespace bv::platform::win32 {

class Win32Clock final : public Clock {
 public:
  std::chrono::milliseconds now() override;
  void sleep_for(std::chrono::milliseconds duration) override;
};

class Win32Console final : public Console {
 public:
  void write_stdout(std::string_view bytes) override;
  void write_stderr(std::string_view bytes) override;
};

}  // namespace bv::platform::win32
