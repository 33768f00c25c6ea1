#include "text/white_space.h"

#include <cstddef>

#include "text/utf.h"

namespace bv::text {
namespace {

constexpr bool is_continuation_byte(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Length of the White_Space character that non-empty `text` ends with, or 0
// when the last character is something else or is not a whole, well-formed
// sequence (a stray continuation byte must not be mistaken for one).
std::size_t trailing_white_space_length(std::string_view text) noexcept {
  std::size_t start = text.size() - 1;
  while (start > 0 && text.size() - start < 4 && is_continuation_byte(text[start])) --start;
  const Utf8Char c = decode_utf8_char(text, start);
  if (c.status != Utf8Status::ok || start + c.length != text.size()) return 0;
  return is_white_space(c.code_point) ? c.length : 0;
}

}  // namespace

bool is_white_space(char32_t cp) noexcept {
  switch (cp) {
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return (cp >= 0x0009 && cp <= 0x000D) || (cp >= 0x2000 && cp <= 0x200A);
  }
}

std::string_view trim_trailing_white_space(std::string_view utf8) noexcept {
  while (!utf8.empty()) {
    const std::size_t length = trailing_white_space_length(utf8);
    if (length == 0) break;
    utf8.remove_suffix(length);
  }
  return utf8;
}

}  // namespace bv::text
