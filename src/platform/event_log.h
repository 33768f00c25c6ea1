#pragma once
// The Application event log: an event source, and the events reported under
// it with their insert strings.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/owned.h"

namespace bv::platform {

// The event types that the logic reports (the Win32 layer checks each
// against the SDK's macro).
inline constexpr std::uint16_t eventlog_error_type = 0x0001;
inline constexpr std::uint16_t eventlog_warning_type = 0x0002;
inline constexpr std::uint16_t eventlog_information_type = 0x0004;

class EventLog {
 public:
  virtual ~EventLog() = default;
  // RegisterEventSourceW(local machine, name).
  virtual Result<EventSource> register_source(std::u16string_view name) = 0;
  // ReportEventW(source, type, category 0, id, no user SID, the inserts, no
  // binary data). `id` is the message's full 32-bit identifier, severity
  // bits included, as the message table holds it.
  virtual Result<void> report(EventSourceHandle& source, std::uint16_t type, std::uint32_t id,
                              std::span<const std::u16string> inserts) = 0;
};

}  // namespace bv::platform
