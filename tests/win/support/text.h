#pragma once
// Text of the Windows-side test programs, the soak and the bench: UTF-8 and
// the wide strings of the Win32 calls, and bytes as hexadecimal digits.

#include <string>
#include <string_view>

#include "platform/win32/program_text.h"

namespace bv::test {

// Conversions between UTF-8 and UTF-16, and lowercase hex of bytes.
using platform::win32::to_hex;
using platform::win32::to_utf8;
using platform::win32::to_wide;

// The bytes of pairs of hex digits of either case. No checks: a character
// that is no digit counts as 0, and an odd last digit is dropped.
std::string from_hex(std::string_view hex);

}  // namespace bv::test
