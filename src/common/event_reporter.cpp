#include "common/event_reporter.h"

#include <string>
#include <vector>

#include "common/names.h"
#include "text/utf.h"

namespace bv {
namespace {

std::uint16_t platform_type(EventType type) {
  switch (type) {
    case EventType::information:
      return platform::eventlog_information_type;
    case EventType::warning:
      return platform::eventlog_warning_type;
    case EventType::error:
      break;
  }
  return platform::eventlog_error_type;
}

}  // namespace

void EventReporter::open() {
  if (auto source = events_.register_source(names::service_name<char16_t>)) source_ = std::move(*source);
}

void EventReporter::report(const EventKind& kind, std::span<const std::string_view> inserts) {
  if (!source_) return;
  if (kind.flood_limited && !admit(kind)) return;
  write(kind, inserts);
}

void EventReporter::report_left_out() {
  for (std::size_t i = 0; i < windows_.size(); ++i) {
    if (windows_[i]) report_left_out(event_kinds[i], *windows_[i]);
  }
}

void EventReporter::close() {
  source_.reset();
}

bool EventReporter::admit(const EventKind& kind) {
  auto& window = windows_[static_cast<std::size_t>(kind.event)];
  const auto now = clock_.now();
  if (!window || now - window->opened >= flood_window) {
    if (window) report_left_out(kind, *window);
    window = Window{.opened = now};
  }
  if (window->reported < flood_limit) {
    ++window->reported;
    return true;
  }
  ++window->left_out;
  return false;
}

void EventReporter::report_left_out(const EventKind& kind, Window& window) {
  if (window.left_out == 0) return;
  const std::string count = std::to_string(window.left_out);
  const std::string code = std::to_string(kind.code);
  const std::string_view inserts[] = {count, code};
  write(event_kind(Event::events_left_out), inserts);
  window.left_out = 0;
}

void EventReporter::write(const EventKind& kind, std::span<const std::string_view> inserts) {
  if (!source_) return;
  std::vector<std::u16string> strings;
  strings.reserve(inserts.size());
  for (const std::string_view insert : inserts) strings.push_back(text::to_utf16(insert));
  // A failed report has nowhere else to go: the line is on standard error
  // already, where there is one.
  static_cast<void>(events_.report(*source_, platform_type(kind.type), event_id(kind), strings));
}

}  // namespace bv
