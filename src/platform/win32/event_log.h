#pragma once
#include "platform/event_log.h"

namespace bv::platform::win32 {

class Win32EventLog final : public EventLog {
 public:
  Result<EventSource> register_source(std::u16string_view name) override;
  Result<void> report(EventSourceHandle& source, std::uint16_t type, std::uint32_t id,
                      std::span<const std::u16string> inserts) override;
};

}  // namespace bv::platform::win32
