#pragma once

// Conversions between UTF-8 and UTF-16 and strict UTF-8 validation.
//
// Malformed input is handled by the "maximal subpart" rule of the Unicode
// standard (the one Rust's Utf8Error::error_len and most decoders follow): an
// ill-formed sequence is the longest prefix of a well-formed sequence that
// starts at the offending byte, or one byte if none starts there. The lossy
// conversions emit one U+FFFD per such subpart.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bv::text {

inline constexpr char32_t replacement_character = U'\uFFFD';
inline constexpr char32_t max_code_point = 0x10FFFF;

// True for U+0000..U+10FFFF outside the surrogate block U+D800..U+DFFF.
constexpr bool is_scalar_value(char32_t cp) noexcept {
  return cp <= max_code_point && (cp < 0xD800 || cp > 0xDFFF);
}

enum class Utf8Status : std::uint8_t {
  ok,          // a well-formed sequence
  invalid,     // ill-formed; `length` is the maximal subpart (>= 1)
  incomplete,  // a valid prefix cut off by the end of the input
};

struct Utf8Char {
  char32_t code_point;  // meaningful only for Utf8Status::ok
  std::size_t length;   // bytes consumed; for `incomplete` all that remained
  Utf8Status status;
};

// Decodes the sequence starting at `pos`; requires pos < utf8.size().
Utf8Char decode_utf8_char(std::string_view utf8, std::size_t pos) noexcept;

// Appends the encoding of `cp`; anything but a scalar value becomes U+FFFD.
void append_utf8(std::string& out, char32_t cp);
void append_utf16(std::u16string& out, char32_t cp);

// Lossy conversion: every maximal subpart of malformed input becomes U+FFFD.
std::u16string to_utf16(std::string_view utf8);
// The same, appended to `out`. Reserves no more than utf8.size() units, so
// a caller that reserved room for the result (a unit a byte) gets no
// reallocation.
void append_utf16(std::u16string& out, std::string_view utf8);

// Lossy conversion: every unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::u16string_view utf16);
// The same, appended to `out`. Reserves no more than utf16.size() bytes, so
// a caller that reserved room for the result (three bytes a unit) gets no
// reallocation.
void append_utf8(std::string& out, std::u16string_view utf16);

// As to_utf8, but nullopt if `utf16` holds any unpaired surrogate.
std::optional<std::string> to_utf8_strict(std::u16string_view utf16);

// Returns the bytes unchanged when they are well-formed UTF-8. Otherwise the
// error reads "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}", where {i} is the length of
// the valid prefix and {n} the length of the maximal subpart found there.
std::expected<std::string, std::string> decode_utf8(std::span<const std::uint8_t> bytes);
std::expected<std::string, std::string> decode_utf8(std::string_view bytes);
// The same check without the copy: decode_utf8's error text, or none when
// the bytes are well-formed UTF-8.
std::optional<std::string> utf8_error(std::string_view bytes);

}  // namespace bv::text
