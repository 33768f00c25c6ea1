#pragma once
#include <string_view>

namespace bv::platform {

// The process's standard streams, written as raw bytes (UTF-8).
// A missing handle (a process started by the Service Control Manager) counts
// as a successful write; the bytes are dropped.
class Console {
 public:
  virtual ~Console() = default;
  virtual void write_stdout(std::string_view bytes) = 0;
  virtual void write_stderr(std::string_view bytes) = 0;
};

}  // namespace bv::platform
