// Test builds only: a stand-in for the isolation account's logon.
//
// Wine's LogonUserW is a stub: it reports success and hands back the
// placeholder handle 0xDEADBEEF, which no later call accepts, so under Wine a
// launch could never get past CreateProcessAsUserW. Test builds
// (brisvander-svc-testlogon.exe and the Windows-side test programs) link this
// file in place of logon_user.cpp: the "logon" yields a
// primary token of the process's own user, and the launch runs its success
// path against the real API. A test can make it refuse one password (see
// logon_user_substitute.h), so that a refused logon can be shown as well.
// The shipping brisvander-svc.exe never contains this file.

#include "platform/win32/logon_user_substitute.h"

#include <cwchar>

#include "platform/win32/logon_user.h"

namespace bv::platform::win32 {
namespace {

// Whether a test has named `password` as the one to refuse.
bool is_refused(const wchar_t* password) {
  wchar_t refused[256] = {};
  DWORD size = sizeof refused;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, refused_password_key, refused_password_value, RRF_RT_REG_SZ, nullptr, refused,
                   &size) != ERROR_SUCCESS) {
    return false;
  }
  return std::wcscmp(refused, password) == 0;
}

}  // namespace

// Ignores the account, and the password unless it is the refused one. Like
// LogonUserW it returns a primary token with full access, owned by the
// caller; on failure *token is null and the thread's last error is the
// failing call's code.
BOOL logon_user(const wchar_t* /*user*/, const wchar_t* /*domain*/, const wchar_t* password, HANDLE* token) {
  *token = nullptr;
  if (is_refused(password)) {
    SetLastError(ERROR_LOGON_FAILURE);
    return FALSE;
  }
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) return FALSE;
  const BOOL duplicated = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
  const DWORD error = duplicated ? ERROR_SUCCESS : GetLastError();
  CloseHandle(own);
  if (!duplicated) {
    *token = nullptr;
    SetLastError(error);
  }
  return duplicated;
}

}  // namespace bv::platform::win32
