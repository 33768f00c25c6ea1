#include "platform/win32/event_log.h"

#include <windows.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/win32/owners.h"
#include "platform/win32/wide.h"

namespace bv::platform::win32 {

// The portable header's numbers are the SDK's.
static_assert(eventlog_error_type == EVENTLOG_ERROR_TYPE && eventlog_warning_type == EVENTLOG_WARNING_TYPE &&
              eventlog_information_type == EVENTLOG_INFORMATION_TYPE);

Result<EventSource> Win32EventLog::register_source(std::u16string_view name) {
  const std::u16string source_name(name);
  UniqueEventSource source(::RegisterEventSourceW(nullptr, wide(source_name)));
  if (!source) return std::unexpected(::GetLastError());
  return own<kind::EventSource>(std::move(source));
}

Result<void> Win32EventLog::report(EventSourceHandle& source, std::uint16_t type, std::uint32_t id,
                                   std::span<const std::u16string> inserts) {
  if (inserts.size() > std::numeric_limits<WORD>::max()) return std::unexpected(ERROR_INVALID_PARAMETER);
  std::vector<LPCWSTR> strings;
  strings.reserve(inserts.size());
  for (const std::u16string& insert : inserts) strings.push_back(wide(insert));
  if (!::ReportEventW(raw(source), type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                      strings.empty() ? nullptr : strings.data(), nullptr)) {
    return std::unexpected(::GetLastError());
  }
  return {};
}

}  // namespace bv::platform::win32
