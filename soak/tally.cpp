#include "soak/tally.h"

#include <cstdio>

namespace bv::soak {

void Tally::fail(std::string message) {
  const std::lock_guard lock(mutex_);
  ++failed_;
  std::printf("  FAILED: %s\n", message.c_str());
  std::fflush(stdout);
}

}  // namespace bv::soak
