#pragma once
// Test builds only (see logon_user_substitute.cpp): where a test tells the
// logon stand-in which password to refuse. The shipping service never reads
// this value.

namespace bv::platform::win32 {

// A REG_SZ value under HKEY_LOCAL_MACHINE. While it exists, a "logon" with
// exactly its text as the password fails with ERROR_LOGON_FAILURE (1326), as
// LogonUserW does for a wrong password; every other password is accepted.
inline constexpr wchar_t refused_password_key[] = L"SOFTWARE\\Brisvander Test Logon";
inline constexpr wchar_t refused_password_value[] = L"RefusedPassword";

}  // namespace bv::platform::win32
