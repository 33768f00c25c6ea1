#pragma once
// Text helpers of the two sides' libraries: UTF-16 to UTF-8, lowercase
// hexadecimal digits, and the copy of a message into a caller's buffer.
// Header-only and portable.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bv::sides {

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD, or, with
// `strict`, makes the conversion fail.
inline std::optional<std::string> utf16_to_utf8(std::u16string_view text, bool strict) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code_point = text[i];
    const bool high = code_point >= 0xD800 && code_point <= 0xDBFF;
    const bool low = code_point >= 0xDC00 && code_point <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (high || low) {
      if (strict) return std::nullopt;
      code_point = 0xFFFD;
    }
    if (code_point < 0x80) {
      out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      out += static_cast<char>(0xC0 | (code_point >> 6));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
      out += static_cast<char>(0xE0 | (code_point >> 12));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code_point >> 18));
      out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
  }
  return out;
}

inline std::string utf16_to_utf8(std::u16string_view text) {
  return *utf16_to_utf8(text, false);
}

// Writes two lowercase hexadecimal digits per byte into `out`, which holds
// exactly twice as many characters.
inline void write_hex(std::span<const std::uint8_t> bytes, char* out) noexcept {
  static constexpr char digits[] = "0123456789abcdef";
  for (const std::uint8_t byte : bytes) {
    *out++ = digits[byte >> 4];
    *out++ = digits[byte & 0x0F];
  }
}

// Copies `text` into a caller's buffer of `size` bytes with a terminating
// zero, cut where it does not fit. The cut never splits a UTF-8 sequence,
// so what the caller gets is always valid UTF-8. Nothing is written when
// `size` is 0.
inline void copy_message(std::string_view text, char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size == 0) return;
  std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
  if (length < text.size()) {
    // Back up over continuation bytes to the start of the sequence that
    // does not fit whole.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  if (length > 0) std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

}  // namespace bv::sides
