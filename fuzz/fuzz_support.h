#pragma once
// Helpers shared by the fuzz targets: the property check, a reader that
// splits the fuzz input into fields, and reference implementations that are
// written independently of the code under test (they share no code with
// src/text), so that a property compares two implementations rather than
// one with itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bv::fuzz {

// Prints the failed property and aborts; libFuzzer then saves the input.
[[noreturn]] inline void property_failed(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n*** property failed at %s:%d: %s\n", file, line, condition);
  if (!detail.empty()) std::fprintf(stderr, "*** %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define BV_FUZZ_CHECK(condition, detail)                                                     \
  do {                                                                                       \
    if (!(condition)) ::bv::fuzz::property_failed(__FILE__, __LINE__, #condition, (detail)); \
  } while (false)

// Text with every byte outside printable ASCII shown as \xHH, for messages.
inline std::string printable(std::string_view bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += digits[b >> 4];
      out += digits[b & 0x0F];
    }
  }
  return out;
}

inline std::string printable(std::u16string_view units) {
  std::string out;
  char buffer[8];
  for (char16_t u : units) {
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      out += static_cast<char>(u);
    } else {
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(u));
      out += buffer;
    }
  }
  return out;
}

// Takes the fuzz input apart front to back; reads past the end give zeros.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  bool empty() const { return pos_ >= size_; }
  std::string_view rest() {
    std::string_view r(reinterpret_cast<const char*>(data_) + pos_, pos_ < size_ ? size_ - pos_ : 0);
    pos_ = size_;
    return r;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// ---- reference UTF-8 ----------------------------------------------------------
//
// Well-formed UTF-8 is, by definition, the set of encodings of scalar
// values. The reference decodes a sequence by its bit pattern alone and then
// asks whether some scalar value is encoded that way with that length, which
// rules out overlongs, surrogates and values above U+10FFFF without a table
// of allowed byte ranges.

inline bool ref_is_scalar(std::uint32_t cp) {
  return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// Sequence length announced by a lead byte's bit pattern, 0 when the byte
// cannot begin one (10xxxxxx, 11111xxx).
inline std::size_t ref_pattern_length(std::uint8_t b) {
  if ((b & 0x80) == 0x00) return 1;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xF8) == 0xF0) return 4;
  return 0;
}

// The smallest and largest code point encoded with `length` bytes.
inline std::uint32_t ref_min_for_length(std::size_t length) {
  constexpr std::uint32_t mins[] = {0, 0, 0x80, 0x800, 0x10000};
  return mins[length];
}
inline std::uint32_t ref_max_for_length(std::size_t length) {
  constexpr std::uint32_t maxs[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x1FFFFF};
  return maxs[length];
}

// Is there a scalar value in [lo, hi]?
inline bool ref_range_has_scalar(std::uint32_t lo, std::uint32_t hi) {
  if (lo > hi || lo > 0x10FFFF) return false;
  if (hi > 0x10FFFF) hi = 0x10FFFF;
  // Only the surrogate block is missing from [0, 0x10FFFF].
  return !(lo >= 0xD800 && hi <= 0xDFFF);
}

// Is `prefix` (1 <= size) the beginning of (or all of) the encoding of some
// scalar value?
inline bool ref_is_valid_prefix(std::string_view prefix) {
  const auto lead = static_cast<std::uint8_t>(prefix[0]);
  const std::size_t length = ref_pattern_length(lead);
  if (length == 0 || prefix.size() > length) return false;
  std::uint32_t lo = length == 1 ? lead : (lead & (0x7Fu >> length));
  std::uint32_t hi = lo;
  for (std::size_t i = 1; i < length; ++i) {
    std::uint32_t bits_lo = 0x00;
    std::uint32_t bits_hi = 0x3F;
    if (i < prefix.size()) {
      const auto b = static_cast<std::uint8_t>(prefix[i]);
      if ((b & 0xC0) != 0x80) return false;
      bits_lo = bits_hi = b & 0x3Fu;
    }
    lo = (lo << 6) | bits_lo;
    hi = (hi << 6) | bits_hi;
  }
  const std::uint32_t min = ref_min_for_length(length);
  const std::uint32_t max = ref_max_for_length(length);
  return ref_range_has_scalar(lo < min ? min : lo, hi > max ? max : hi);
}

struct RefUtf8Item {
  enum Kind { ok, invalid, incomplete } kind;
  std::size_t length;  // bytes of the sequence, or of the maximal subpart
  std::uint32_t code_point;
};

// The item at `pos`: a whole sequence, or the longest valid prefix of one
// (at least one byte) when no whole sequence starts there.
inline RefUtf8Item ref_utf8_item(std::string_view bytes, std::size_t pos) {
  std::size_t valid = 0;
  for (std::size_t k = 1; k <= 4 && pos + k <= bytes.size(); ++k) {
    if (!ref_is_valid_prefix(bytes.substr(pos, k))) break;
    valid = k;
  }
  const auto lead = static_cast<std::uint8_t>(bytes[pos]);
  const std::size_t length = ref_pattern_length(lead);
  if (valid != 0 && valid == length) {
    std::uint32_t cp = length == 1 ? lead : (lead & (0x7Fu >> length));
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (static_cast<std::uint8_t>(bytes[pos + i]) & 0x3Fu);
    return {RefUtf8Item::ok, length, cp};
  }
  if (valid != 0 && pos + valid == bytes.size()) return {RefUtf8Item::incomplete, valid, 0};
  return {RefUtf8Item::invalid, valid == 0 ? 1 : valid, 0};
}

struct RefUtf8Verdict {
  bool valid;
  std::size_t prefix;  // length of the longest valid prefix
  RefUtf8Item first_bad;
};

inline RefUtf8Verdict ref_validate_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const RefUtf8Item item = ref_utf8_item(bytes, pos);
    if (item.kind != RefUtf8Item::ok) return {false, pos, item};
    pos += item.length;
  }
  return {true, pos, {RefUtf8Item::ok, 0, 0}};
}

// Code points of well-formed UTF-8.
inline std::vector<std::uint32_t> ref_code_points(std::string_view utf8) {
  std::vector<std::uint32_t> cps;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const RefUtf8Item item = ref_utf8_item(utf8, pos);
    cps.push_back(item.kind == RefUtf8Item::ok ? item.code_point : 0xFFFFFFFFu);
    pos += item.length;
  }
  return cps;
}

// ---- reference UTF-16 ---------------------------------------------------------

inline bool ref_is_high(char16_t u) {
  return (u & 0xFC00) == 0xD800;
}
inline bool ref_is_low(char16_t u) {
  return (u & 0xFC00) == 0xDC00;
}

// The units with each surrogate that is not half of a high-low pair replaced
// by U+FFFD; `lone` counts the replacements.
inline std::u16string ref_replace_lone_surrogates(std::u16string_view units, std::size_t& lone) {
  std::u16string out;
  lone = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (ref_is_high(units[i]) && i + 1 < units.size() && ref_is_low(units[i + 1])) {
      out += units[i];
      out += units[i + 1];
      ++i;
    } else if (ref_is_high(units[i]) || ref_is_low(units[i])) {
      out += u'\uFFFD';
      ++lone;
    } else {
      out += units[i];
    }
  }
  return out;
}

// ---- White_Space and hexadecimal -------------------------------------------------

inline bool ref_is_white_space(std::uint32_t cp) {
  constexpr std::uint32_t set[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                                   0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                   0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (std::uint32_t w : set) {
    if (w == cp) return true;
  }
  return false;
}

// `text` without trailing White_Space characters, read front to back: the
// end of the last item (a character or a maximal subpart of bad bytes) that
// is not white space.
inline std::string_view ref_trim_trailing_white_space(std::string_view text) {
  std::size_t keep = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const RefUtf8Item item = ref_utf8_item(text, pos);
    pos += item.length;
    if (item.kind != RefUtf8Item::ok || !ref_is_white_space(item.code_point)) keep = pos;
  }
  return text.substr(0, keep);
}

inline int ref_hex_value(char c) {
  constexpr std::string_view lower = "0123456789abcdef";
  constexpr std::string_view upper = "0123456789ABCDEF";
  if (auto i = lower.find(c); i != std::string_view::npos) return static_cast<int>(i);
  if (auto i = upper.find(c); i != std::string_view::npos) return static_cast<int>(i);
  return -1;
}

inline std::string ref_hex_lower(const std::vector<std::uint8_t>& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0x0F];
  }
  return out;
}

inline std::string ref_ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The UTF-8 encoding of one code point below U+0100 (a byte shown as the
// Latin-1 character of its value).
inline std::string ref_latin1_character(std::uint8_t b) {
  std::string out;
  if (b < 0x80) {
    out += static_cast<char>(b);
  } else {
    out += static_cast<char>(0xC0 | (b >> 6));
    out += static_cast<char>(0x80 | (b & 0x3F));
  }
  return out;
}

}  // namespace bv::fuzz
