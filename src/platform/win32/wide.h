#pragma once
// UTF-16 text between the portable interfaces (char16_t) and the wide Win32
// calls (wchar_t). Both are 16-bit UTF-16 code units on Windows, so the
// conversion is a reinterpretation of the same units.

#include <cwchar>
#include <string>
#include <string_view>

namespace bv::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t holds UTF-16 code units on Windows");

// The units of `text` as a zero-terminated wide string; valid as long as
// `text` is neither changed nor destroyed.
inline const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
// A writable zero-terminated wide string (for the calls that take LPWSTR).
inline wchar_t* wide(std::u16string& text) {
  return reinterpret_cast<wchar_t*>(text.data());
}

inline std::u16string from_wide(const wchar_t* units, std::size_t count) {
  return std::u16string(reinterpret_cast<const char16_t*>(units), count);
}
// The units up to the terminating zero.
inline std::u16string from_wide(const wchar_t* units) {
  return from_wide(units, std::wcslen(units));
}

}  // namespace bv::platform::win32
