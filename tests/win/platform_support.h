#pragma once
// Shared by the tests of the Win32 platform layer: text between the wide
// Win32 strings and the layer's UTF-16 strings, and a primary token of this
// process's own user.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/win32/unique_handle.h"

namespace bv::test {

inline std::u16string u16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}
inline std::wstring wstr(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// A primary token duplicated from this process's token, as a logon would
// give one; null when a call failed.
inline platform::win32::UniqueHandle own_primary_token() {
  platform::win32::UniqueHandle own;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.put())) return {};
  platform::win32::UniqueHandle primary;
  if (!DuplicateTokenEx(own.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, primary.put())) {
    return {};
  }
  return primary;
}

}  // namespace bv::test
