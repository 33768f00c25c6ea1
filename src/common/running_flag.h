#pragma once
#include <atomic>
#include <memory>

#include "platform/processes_tokens.h"

namespace bv {

// True while the service is to keep serving. Shared by the service thread
// (which only reads it) and the control handler (which only clears it).
// Clearing it also sets the wake event, which cuts short the pipe server's
// wait for a client without blocking the caller.
class RunningFlag {
 public:
  explicit RunningFlag(std::unique_ptr<platform::WakeEvent> wake) : wake_(std::move(wake)) {}
  RunningFlag(const RunningFlag&) = delete;
  RunningFlag& operator=(const RunningFlag&) = delete;

  bool is_set() const { return running_.load(std::memory_order_acquire); }
  void clear() {
    running_.store(false, std::memory_order_release);
    // Should the event not be set, the flag still stops the loop, only
    // later: when the next client comes.
    if (wake_) static_cast<void>(wake_->set());
  }
  // The event that clear() sets; null when none could be made, in which case
  // a wait for a client ends only when a client comes.
  platform::WakeEvent* wake_event() const { return wake_.get(); }

 private:
  std::atomic<bool> running_{true};
  const std::unique_ptr<platform::WakeEvent> wake_;
};

}  // namespace bv
