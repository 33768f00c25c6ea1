#pragma once
#include <array>
#include <span>
#include <string_view>

#include "common/event_reporter.h"
#include "common/events.h"
#include "platform/console.h"

namespace bv {

// The service's log. Each line goes to standard error, tagged
// "[BrisvanderSvc] " and ended by a line feed, and, when the log has an
// event reporter, to the event log as the event of its kind.
class Log {
 public:
  explicit Log(platform::Console& console) : console_(console) {}
  Log(platform::Console& console, EventReporter& events) : console_(console), events_(&events) {}

  // The lines of `event`'s kind with the inserts in place of %1, %2, ...
  // (a kind without lines reports only its event).
  template <class... Inserts>
  void report(Event event, const Inserts&... inserts) {
    const std::array<std::string_view, sizeof...(Inserts)> list{std::string_view(inserts)...};
    write(event_kind(event), list);
  }

 private:
  void write(const EventKind& kind, std::span<const std::string_view> inserts);

  platform::Console& console_;
  EventReporter* events_ = nullptr;
};

}  // namespace bv
