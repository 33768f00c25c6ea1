#pragma once
// The one call that is linked per executable: the service links the real
// LogonUserW (logon_user.cpp); a test build links a substitute, since Wine's
// LogonUserW is a stub whose token cannot start a process.

#include <windows.h>

namespace bv::platform::win32 {

// LogonUserW(user, domain, password, LOGON32_LOGON_INTERACTIVE,
// LOGON32_PROVIDER_DEFAULT, token). On failure the thread's last error is
// the call's error code.
BOOL logon_user(const wchar_t* user, const wchar_t* domain, const wchar_t* password, HANDLE* token);

}  // namespace bv::platform::win32
