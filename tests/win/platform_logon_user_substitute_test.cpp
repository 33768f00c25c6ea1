// The logon stand-in of test builds: its token must carry a launch through
// CreateProcessAsUserW under Wine, which the stub LogonUserW cannot.

#include <gtest/gtest.h>
#include <windows.h>
// These need <windows.h> first.
#include <sddl.h>

#include <string>
#include <vector>

#include "platform/win32/logon_user.h"
#include "support/process.h"

namespace {

using bv::test::UniqueHandle;

std::wstring user_sid(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return L"(no user)";
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return L"(no text)";
  std::wstring sid(text);
  LocalFree(text);
  return sid;
}

TEST(LogonSubstitute, YieldsAPrimaryTokenOfTheOwnUserThatStartsAProcess) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(bv::platform::win32::logon_user(L"BrisvanderUser", L".", L"not checked", &raw)) << GetLastError();
  UniqueHandle token(raw);

  TOKEN_TYPE type{};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token.get(), TokenType, &type, sizeof type, &size));
  EXPECT_EQ(type, TokenPrimary);
  HANDLE own_raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own_raw));
  UniqueHandle own(own_raw);
  EXPECT_EQ(user_sid(token.get()), user_sid(own.get()));
  EXPECT_EQ(user_sid(token.get()).rfind(L"S-1-5-", 0), 0u);

  std::wstring line = bv::test::command_line(bv::test::build_file(L"companion-app.exe"), {L"--help"});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  ASSERT_TRUE(CreateProcessAsUserW(token.get(), nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &created))
      << GetLastError();
  UniqueHandle process(created.hProcess);
  UniqueHandle thread(created.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
}

}  // namespace
