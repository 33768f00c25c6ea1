#pragma once
// Text of the Windows-side test programs, the soak and the bench: UTF-8 and
// the wide strings of the Win32 calls, and bytes as hexadecimal digits.

#include <string>
#include <string_view>

namespace bv::test {

// Conversions between UTF-8 and UTF-16; invalid units become U+FFFD.
std::string to_utf8(std::wstring_view text);
std::wstring to_wide(std::string_view text);

// Lowercase hex of `bytes`, two digits a byte.
std::string to_hex(std::string_view bytes);
// The bytes of pairs of hex digits of either case. No checks: a character
// that is no digit counts as 0, and an odd last digit is dropped.
std::string from_hex(std::string_view hex);

}  // namespace bv::test
