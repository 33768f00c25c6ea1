#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/events.h"
#include "platform/clock.h"
#include "platform/event_log.h"

namespace bv {

// At most this many events of one flood-limited kind are reported in one
// window; the rest are counted, and the count is reported as one warning
// when the next event of that kind comes after the window, or at the stop.
inline constexpr std::uint32_t flood_limit = 10;
inline constexpr std::chrono::milliseconds flood_window = std::chrono::minutes(1);

// The service's events in the Application event log, under its event source
// (the service's name). Only the service reports events: it opens the
// reporter when it starts and closes it at the end; the administrative
// commands never open one. Used on the service thread alone.
class EventReporter {
 public:
  EventReporter(platform::EventLog& events, platform::Clock& clock) : events_(events), clock_(clock) {}
  EventReporter(const EventReporter&) = delete;
  EventReporter& operator=(const EventReporter&) = delete;

  // Registers the event source. Until then, and for good when that fails,
  // nothing is reported (the log lines still go to standard error).
  void open();
  // The event of one log line (or of an event without one), unless it is
  // left out by the flood window of its kind.
  void report(const EventKind& kind, std::span<const std::string_view> inserts);
  // One warning for every kind whose current window left events out. For the
  // service's stop, before it reports itself stopped.
  void report_left_out();
  // Deregisters the event source; nothing is reported afterwards.
  void close();

 private:
  // One flood window: opened by the first event of a kind, it lasts
  // flood_window from then.
  struct Window {
    std::chrono::milliseconds opened{};
    std::uint32_t reported = 0;
    std::uint32_t left_out = 0;
  };

  bool admit(const EventKind& kind);
  void report_left_out(const EventKind& kind, Window& window);
  void write(const EventKind& kind, std::span<const std::string_view> inserts);

  platform::EventLog& events_;
  platform::Clock& clock_;
  platform::EventSource source_;
  std::array<std::optional<Window>, event_kinds.size()> windows_{};
};

}  // namespace bv
