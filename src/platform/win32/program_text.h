#pragma once
// Header-only helpers for the programs around the service (the sample
// enclave, the reference client, the test programs, the soak and the bench):
// UTF-8 and the wide strings of the Win32 calls, bytes as hexadecimal
// digits, and the process's environment. The service itself converts
// through text/.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace bv::platform::win32 {

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
inline std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
  return result;
}

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
inline std::wstring to_wide(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring result(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), size);
  return result;
}

// Lowercase hex of `bytes`, two digits a byte.
inline std::string to_hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text.push_back(digits[value >> 4]);
    text.push_back(digits[value & 0x0F]);
  }
  return text;
}

// A variable of this process's environment (empty when it is set to
// nothing), or none when it is not set.
inline std::optional<std::wstring> environment_variable(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring{};
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size needed, terminating zero included
  }
}

}  // namespace bv::platform::win32
