#include "platform/win32/logon_user.h"

namespace bv::platform::win32 {

BOOL logon_user(const wchar_t* user, const wchar_t* domain, const wchar_t* password, HANDLE* token) {
  return ::LogonUserW(user, domain, password, LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, token);
}

}  // namespace bv::platform::win32
