#include "support/event_channel.h"

#include <charconv>
#include <map>
#include <sstream>

#include "support/process.h"

namespace bv::test {
namespace {

// "0024:fixme:advapi:ReportEventW (..." gives "0024" and the rest after the
// thread's id.
std::pair<std::string_view, std::string_view> split_thread(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  return {line.substr(0, colon), line.substr(colon + 1)};
}

std::uint32_t hex_field(std::string_view field) {
  if (field.starts_with("0x")) field.remove_prefix(2);
  std::uint32_t value = 0;
  std::from_chars(field.data(), field.data() + field.size(), value, 16);
  return value;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string decode_wine_string(std::string_view quoted) {
  if (quoted.starts_with("L\"")) quoted.remove_prefix(2);
  const auto end = quoted.rfind('"');
  if (end != std::string_view::npos) quoted = quoted.substr(0, end);
  // UTF-16 units; surrogate pairs are joined below.
  std::u16string units;
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    if (quoted[i] != '\\' || i + 1 >= quoted.size()) {
      units += static_cast<char16_t>(static_cast<unsigned char>(quoted[i]));
      continue;
    }
    const char escaped = quoted[++i];
    switch (escaped) {
      case 'n':
        units += u'\n';
        break;
      case 'r':
        units += u'\r';
        break;
      case 't':
        units += u'\t';
        break;
      case '"':
      case '\\':
        units += static_cast<char16_t>(escaped);
        break;
      default:
        units += static_cast<char16_t>(hex_field(quoted.substr(i, 4)));
        i += 3;
    }
  }
  std::string text;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
      text += static_cast<char>(0xF0 | (c >> 18));
      text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
      continue;
    }
    append_utf8(text, c);
  }
  return text;
}

std::vector<ChannelEvent> parse_channel_events(std::string_view text) {
  constexpr std::string_view report_line = "fixme:advapi:ReportEventW (";
  constexpr std::string_view insert_line = ":eventlog:ReportEventW ";
  std::vector<ChannelEvent> events;
  // Per thread: the event whose inserts are still to come, and how many.
  std::map<std::string, std::pair<std::size_t, std::size_t>> open;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto [thread, rest] = split_thread(line);
    if (rest.starts_with(report_line)) {
      // (source,type,category,id,sid,count,data size,strings,data): stub
      std::vector<std::string_view> fields;
      std::string_view arguments = rest.substr(report_line.size());
      arguments = arguments.substr(0, arguments.find(')'));
      for (std::size_t comma; (comma = arguments.find(',')) != std::string_view::npos;) {
        fields.push_back(arguments.substr(0, comma));
        arguments.remove_prefix(comma + 1);
      }
      fields.push_back(arguments);
      if (fields.size() < 6) continue;
      events.push_back({.type = static_cast<std::uint16_t>(hex_field(fields[1])), .id = hex_field(fields[3])});
      const std::size_t count = hex_field(fields[5]);
      if (count == 0) {
        open.erase(std::string(thread));
      } else {
        open[std::string(thread)] = {events.size() - 1, count};
      }
      continue;
    }
    const auto insert_at = rest.find(insert_line);
    if (insert_at == std::string_view::npos) continue;
    const auto pending = open.find(std::string(thread));
    if (pending == open.end()) continue;
    auto& [index, remaining] = pending->second;
    ChannelEvent& event = events[index];
    event.channel = std::string(rest.substr(0, insert_at));
    event.inserts.push_back(decode_wine_string(rest.substr(insert_at + insert_line.size())));
    if (--remaining == 0) open.erase(pending);
  }
  return events;
}

std::optional<std::wstring> channel_file() {
  return environment_variable(L"BV_WINE_CHANNEL_FILE");
}

}  // namespace bv::test
