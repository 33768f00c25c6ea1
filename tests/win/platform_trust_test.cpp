#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/win32/win32_platform.h"
#include "platform_support.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

constexpr std::uint32_t trust_e_nosignature = 0x800B0100;
constexpr std::uint32_t trust_e_bad_digest = 0x80096010;

// As the service verifies its callers: certificates from the cache only.
class PlatformTrust : public ::testing::Test {
 protected:
  std::uint32_t verify(std::u16string_view path) { return trust_.verify_file(path, trust_cache_only_url_retrieval); }

  Win32Platform win32_;
  Trust& trust_ = win32_.platform().trust;
};

TEST_F(PlatformTrust, UnsignedExecutableHasNoSignature) {
  const auto executable = win32_.platform().processes.executable_path();
  ASSERT_TRUE(executable.has_value());
  EXPECT_EQ(verify(*executable), trust_e_nosignature);
}

// The build signs a copy of the companion application with a throwaway CA.
TEST_F(PlatformTrust, SignedExecutablePassesAndAChangedCopyFails) {
  const std::wstring signed_path = test::build_file(L"signed\\companion-app.exe");
  ASSERT_NE(GetFileAttributesW(signed_path.c_str()), INVALID_FILE_ATTRIBUTES) << "the build makes this file";
  EXPECT_EQ(verify(test::u16(signed_path)), 0u);

  const auto content = test::read_file(signed_path);
  ASSERT_TRUE(content.has_value());
  std::string changed = *content;
  // A byte of the DOS stub ("This program cannot be run in DOS mode"), which
  // the signature's digest covers.
  const std::size_t stub = changed.find("This program");
  ASSERT_NE(stub, std::string::npos);
  changed[stub] = 't';
  test::TempDirectory folder;
  const std::wstring changed_path = folder.file(L"companion-app.exe");
  {
    UniqueFile file(CreateFileW(changed_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), changed.data(), static_cast<DWORD>(changed.size()), &written, nullptr));
  }
  EXPECT_EQ(verify(test::u16(changed_path)), trust_e_bad_digest);
}

TEST_F(PlatformTrust, MissingFileIsNotTrusted) {
  test::TempDirectory folder;
  EXPECT_NE(verify(test::u16(folder.file(L"companion-app.exe"))), 0u);
}

}  // namespace
}  // namespace bv::platform::win32
