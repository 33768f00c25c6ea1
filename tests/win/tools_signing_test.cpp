// The build's test signature on the companion application: the caller
// checks of the service rest on WinVerifyTrust accepting it.

#include <gtest/gtest.h>
#include <windows.h>
// These need <windows.h> first.
#include <softpub.h>
#include <wintrust.h>

#include <string>

#include "support/process.h"

namespace {

LONG verify(const std::wstring& path) {
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

TEST(TestSigning, SignedCompanionPassesAndUnsignedOrAlteredCopiesFail) {
  const std::wstring signed_copy = bv::test::build_file(L"signed\\companion-app.exe");
  EXPECT_EQ(verify(signed_copy), 0) << "signed copy";
  EXPECT_EQ(static_cast<unsigned long>(verify(bv::test::build_file(L"companion-app.exe"))), 0x800B0100ul)
      << "unsigned build (TRUST_E_NOSIGNATURE)";

  bv::test::TempDirectory folder;
  const std::wstring altered = folder.file(L"companion-app.exe");
  ASSERT_TRUE(CopyFileW(signed_copy.c_str(), altered.c_str(), FALSE));
  {
    bv::test::UniqueFile file(
        CreateFileW(altered.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    // A byte well inside the code, far from the headers and the signature.
    ASSERT_NE(SetFilePointer(file.get(), 0x2000, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    char byte = 0;
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(file.get(), &byte, 1, &done, nullptr));
    byte = static_cast<char>(byte ^ 0x5A);
    SetFilePointer(file.get(), 0x2000, nullptr, FILE_BEGIN);
    ASSERT_TRUE(WriteFile(file.get(), &byte, 1, &done, nullptr));
  }
  EXPECT_EQ(static_cast<unsigned long>(verify(altered)), 0x80096010ul) << "altered after signing (TRUST_E_BAD_DIGEST)";
}

}  // namespace
