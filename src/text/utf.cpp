#include "text/utf.h"

#include <string>

namespace bv::text {
namespace {

struct LeadInfo {
  std::size_t length;      // 0 for a byte that cannot start a sequence
  std::uint8_t second_lo;  // allowed range of the second byte
  std::uint8_t second_hi;
};

// Table 3-7 of the Unicode standard: the second byte's range depends on the
// lead byte, which is what rules out overlongs (E0, F0), surrogates (ED) and
// code points above U+10FFFF (F4). Later bytes are always 80..BF.
constexpr LeadInfo lead_info(std::uint8_t b) noexcept {
  if (b < 0x80) return {1, 0, 0};
  if (b < 0xC2) return {0, 0, 0};  // continuation byte or overlong lead
  if (b < 0xE0) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b < 0xF0) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b < 0xF4) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

constexpr bool is_high_surrogate(char16_t u) noexcept {
  return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool is_low_surrogate(char16_t u) noexcept {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Converts `utf16`, calling `on_unpaired` for each lone surrogate; stops and
// returns false as soon as it returns false.
template <typename OnUnpaired>
bool convert_utf16(std::u16string_view utf16, std::string& out, OnUnpaired on_unpaired) {
  out.reserve(out.size() + utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (is_high_surrogate(unit) && i + 1 < utf16.size() && is_low_surrogate(utf16[i + 1])) {
      const char32_t cp =
          0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (static_cast<char32_t>(utf16[i + 1]) - 0xDC00);
      append_utf8(out, cp);
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      if (!on_unpaired()) return false;
      append_utf8(out, replacement_character);
    } else {
      append_utf8(out, unit);
    }
  }
  return true;
}

}  // namespace

Utf8Char decode_utf8_char(std::string_view utf8, std::size_t pos) noexcept {
  const auto lead = static_cast<std::uint8_t>(utf8[pos]);
  const LeadInfo info = lead_info(lead);
  if (info.length == 1) return {lead, 1, Utf8Status::ok};
  if (info.length == 0) return {0, 1, Utf8Status::invalid};

  char32_t cp = lead & (0xFFu >> (info.length + 1));
  for (std::size_t i = 1; i < info.length; ++i) {
    if (pos + i >= utf8.size()) return {0, i, Utf8Status::incomplete};
    const auto b = static_cast<std::uint8_t>(utf8[pos + i]);
    const std::uint8_t lo = i == 1 ? info.second_lo : std::uint8_t{0x80};
    const std::uint8_t hi = i == 1 ? info.second_hi : std::uint8_t{0xBF};
    if (b < lo || b > hi) return {0, i, Utf8Status::invalid};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {cp, info.length, Utf8Status::ok};
}

void append_utf8(std::string& out, char32_t cp) {
  if (!is_scalar_value(cp)) cp = replacement_character;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (!is_scalar_value(cp)) cp = replacement_character;
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

std::u16string to_utf16(std::string_view utf8) {
  std::u16string out;
  append_utf16(out, utf8);
  return out;
}

void append_utf16(std::u16string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const Utf8Char c = decode_utf8_char(utf8, pos);
    append_utf16(out, c.status == Utf8Status::ok ? c.code_point : replacement_character);
    pos += c.length;
  }
}

std::string to_utf8(std::u16string_view utf16) {
  std::string out;
  append_utf8(out, utf16);
  return out;
}

void append_utf8(std::string& out, std::u16string_view utf16) {
  convert_utf16(utf16, out, [] { return true; });
}

std::optional<std::string> to_utf8_strict(std::u16string_view utf16) {
  std::string out;
  if (!convert_utf16(utf16, out, [] { return false; })) return std::nullopt;
  return out;
}

std::optional<std::string> utf8_error(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Utf8Char c = decode_utf8_char(bytes, pos);
    switch (c.status) {
      case Utf8Status::ok:
        pos += c.length;
        break;
      case Utf8Status::invalid:
        return "invalid utf-8 sequence of " + std::to_string(c.length) + " bytes from index " + std::to_string(pos);
      case Utf8Status::incomplete:
        return "incomplete utf-8 byte sequence from index " + std::to_string(pos);
    }
  }
  return std::nullopt;
}

std::expected<std::string, std::string> decode_utf8(std::string_view bytes) {
  if (auto error = utf8_error(bytes)) return std::unexpected(std::move(*error));
  return std::string(bytes);
}

std::expected<std::string, std::string> decode_utf8(std::span<const std::uint8_t> bytes) {
  // char and unsigned char may alias each other, so viewing the bytes as
  // chars is well-defined.
  return decode_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace bv::text
