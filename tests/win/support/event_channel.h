#pragma once
// The events that Wine's ReportEventW stub writes on its debug channels: one
// "fixme:advapi:ReportEventW (source,type,category,id,sid,count,...)" line,
// then one "{err|warn|trace}:eventlog:ReportEventW L"..."" line per insert,
// each line prefixed with the writing thread's id. Read from a file that
// collects a prefix's debug output (scripts/wine-run.sh fills one for the
// tests that set BV_WINE_CHANNELS).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bv::test {

struct ChannelEvent {
  std::uint16_t type = 0;  // EVENTLOG_ERROR_TYPE, _WARNING_TYPE or _INFORMATION_TYPE
  std::uint32_t id = 0;
  std::vector<std::string> inserts;  // UTF-8, as Wine printed them (cut at about 300 characters)
  std::string channel;               // of the insert lines: "err", "warn" or "trace"
  bool operator==(const ChannelEvent&) const = default;
};

// Wine's quoted form of a wide string (L"..." with \n, \", \\ and \XXXX
// escapes) back to UTF-8.
std::string decode_wine_string(std::string_view quoted);

// The events in the debug output `text`.
std::vector<ChannelEvent> parse_channel_events(std::string_view text);

// The file named by the environment variable BV_WINE_CHANNEL_FILE (a
// Windows path), or nothing when the variable is not set.
std::optional<std::wstring> channel_file();

}  // namespace bv::test
