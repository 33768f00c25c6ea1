#pragma once
// Text helpers of the two sides' libraries: lowercase hexadecimal digits,
// and the copy of a message into a caller's buffer. Header-only and
// portable; UTF conversions are the project's (text/utf.h).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace bv::sides {

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
