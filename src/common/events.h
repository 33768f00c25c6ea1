#pragma once
// The service's events: one entry for each kind of log line, and for each
// event that has no line, with the ID that Event Viewer shows and filters
// on, the event's type and its message text. The message table linked into
// the executable (event_messages.mc beside this file) holds the same texts
// under the same IDs, and a Windows test formats every entry of this table
// from the built executable and compares it with what the log writes.
//
// A new kind of line is one entry here (in the order of `Event`) and one
// message in event_messages.mc.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace bv {

enum class EventType : std::uint8_t { information, warning, error };

enum class Event : std::uint8_t {
  started,
  listening,
  password_unreadable,
  pipe_creation_failed,
  fatal,
  serving_failed,
  read_error,
  rejected_caller,
  spawn_error,
  enclave_launched,
  respawn,
  enclave_exited,
  enclave_force_terminated,
  profile_not_loaded,
  environment_not_made,
  events_left_out,  // the last: the table below has one entry for each up to here
};

struct EventKind {
  Event event;
  std::uint16_t code;  // the event ID as Event Viewer shows it
  EventType type;
  // The message: %1 to %9 stand for the inserts, in the order they are
  // given. A line feed separates the lines of a kind that writes more than
  // one line to standard error; the message table has %n there.
  std::string_view text;
  bool on_stderr = true;  // false: an event without a log line
  // A kind that any local program can make at will (it needs only to
  // connect): the event log takes a limited number of them a minute.
  bool flood_limited = false;
};

inline constexpr std::array event_kinds{
    EventKind{Event::started, 100, EventType::information, "Started. Reading %1 password from registry..."},
    EventKind{Event::listening, 101, EventType::information, "Password read OK. Listening on %1"},
    EventKind{Event::password_unreadable, 102, EventType::error,
              "Cannot read SvcUserPwd: %1\nRun provision-user.ps1 as Administrator first."},
    // Whoever holds the pipe's name makes this one every retry.
    EventKind{Event::pipe_creation_failed, 103, EventType::error, "Failed to create pipe: %1", true, true},
    EventKind{Event::fatal, 104, EventType::error, "Fatal: %1"},
    // The same line, when serving itself failed: the stop then reports a
    // service-specific error.
    EventKind{Event::serving_failed, 105, EventType::error, "Fatal: %1"},
    EventKind{Event::read_error, 200, EventType::warning, "Read error: %1", true, true},
    EventKind{Event::rejected_caller, 201, EventType::warning, "Rejected SPAWN caller: %1", true, true},
    EventKind{Event::spawn_error, 202, EventType::error, "Spawn error: %1", true, true},
    EventKind{Event::enclave_launched, 203, EventType::information,
              "Started enclave PID %1 for the caller %2 (account %3): %4", false},
    EventKind{Event::respawn, 300, EventType::information, "Terminating previous enclave PID %1 for respawn"},
    EventKind{Event::enclave_exited, 301, EventType::information, "Enclave PID %1 exited gracefully"},
    EventKind{Event::enclave_force_terminated, 302, EventType::warning, "Force-terminated enclave PID %1"},
    EventKind{Event::profile_not_loaded, 303, EventType::warning,
              "Warning: LoadUserProfile failed (%1); APPDATA may be missing"},
    EventKind{Event::environment_not_made, 304, EventType::warning,
              "Warning: CreateEnvironmentBlock failed (%1); APPDATA may be missing"},
    EventKind{Event::events_left_out, 900, EventType::warning,
              "%1 more events with ID %2 were left out of the event log in one minute", false},
};

constexpr const EventKind& event_kind(Event event) {
  return event_kinds[static_cast<std::size_t>(event)];
}

// The message's full 32-bit identifier, as the message table and
// ReportEventW take it: the severity in the top two bits (informational 1,
// warning 2, error 3), facility 0, and the code.
constexpr std::uint32_t event_id(const EventKind& kind) {
  const std::uint32_t severity = kind.type == EventType::information ? 1 : kind.type == EventType::warning ? 2 : 3;
  return (severity << 30) | kind.code;
}

// The text with each %1 to %9 replaced by its insert, in one pass: an
// insert that itself holds "%1" stays as it is. A number without an insert
// becomes empty.
std::string fill_inserts(std::string_view text, std::span<const std::string_view> inserts);

namespace detail {

// Every '%' is one of %1 to %9 not followed by another digit (the message
// table reads anything else as one of its own escapes), and no line is empty.
constexpr bool is_plain_message(std::string_view text) {
  if (text.empty() || text.front() == '\n' || text.back() == '\n' || text.find("\n\n") != std::string_view::npos) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 >= text.size() || text[i + 1] < '1' || text[i + 1] > '9') return false;
    if (i + 2 < text.size() && text[i + 2] >= '0' && text[i + 2] <= '9') return false;
  }
  return true;
}

constexpr bool is_valid_catalogue() {
  for (std::size_t i = 0; i < event_kinds.size(); ++i) {
    if (static_cast<std::size_t>(event_kinds[i].event) != i) return false;
    if (!is_plain_message(event_kinds[i].text)) return false;
    // Event Viewer filters on the code alone, whatever the severity.
    for (std::size_t j = 0; j < i; ++j) {
      if (event_kinds[j].code == event_kinds[i].code) return false;
    }
  }
  return true;
}

}  // namespace detail

static_assert(event_kinds.size() == static_cast<std::size_t>(Event::events_left_out) + 1, "one entry per Event");
static_assert(detail::is_valid_catalogue(),
              "event_kinds: in the order of Event, unique codes, and only %1 to %9 in the texts");

}  // namespace bv
