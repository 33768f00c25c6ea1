#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/owners.h"
#include "platform/win32/win32_platform.h"
#include "platform_support.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

class PlatformFiles : public ::testing::Test {
 protected:
  Win32Platform win32_;
  PipesFiles& files_ = win32_.platform().files;
  test::TempDirectory folder_;
};

TEST_F(PlatformFiles, CreateNewRefusesAnExistingFileAndCreateAlwaysTruncatesIt) {
  const std::u16string path = test::u16(folder_.file(L"bv-ipc-0123.tmp"));
  auto created = files_.create_file(path, nullptr, FileCreation::create_new);
  ASSERT_TRUE(created.has_value()) << created.error();
  files_.write_file(**created, "0123456789abcdef\n");
  created->reset();
  EXPECT_EQ(test::read_file(test::wstr(path)), "0123456789abcdef\n");

  const auto again = files_.create_file(path, nullptr, FileCreation::create_new);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error(), static_cast<ErrorCode>(ERROR_FILE_EXISTS));

  auto rewritten = files_.create_file(path, nullptr, FileCreation::create_always);
  ASSERT_TRUE(rewritten.has_value()) << rewritten.error();
  files_.write_file(**rewritten, "new");
  rewritten->reset();
  EXPECT_EQ(test::read_file(test::wstr(path)), "new");
}

TEST_F(PlatformFiles, FileHandleIsExclusiveAndNotInheritable) {
  const std::u16string path = test::u16(folder_.file(L"exclusive.tmp"));
  auto descriptor = win32_.platform().security.convert_sddl(u"D:P(A;;FA;;;SY)(A;;FA;;;WD)");
  ASSERT_TRUE(descriptor.has_value()) << descriptor.error();
  auto file = files_.create_file(path, descriptor->get(), FileCreation::create_always);
  ASSERT_TRUE(file.has_value()) << file.error();
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(raw(**file), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  // Share mode 0: nobody else opens the file while it is being written.
  UniqueFile other(CreateFileW(test::wstr(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(other);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(PlatformFiles, CreateFileInAMissingFolderReportsTheError) {
  const auto file =
      files_.create_file(test::u16(folder_.file(L"missing\\file.tmp")), nullptr, FileCreation::create_always);
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error(), static_cast<ErrorCode>(ERROR_PATH_NOT_FOUND));
}

TEST_F(PlatformFiles, DeleteRemovesTheFileAndReportsOneThatIsGone) {
  const std::wstring file = folder_.file(L"bv-ipc-0123.tmp");
  const std::u16string path = test::u16(file);
  ASSERT_TRUE(files_.create_file(path, nullptr, FileCreation::create_always).has_value());
  EXPECT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);

  EXPECT_TRUE(files_.delete_file(path).has_value());
  EXPECT_EQ(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
  const auto again = files_.delete_file(path);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error(), error_file_not_found);
}

TEST_F(PlatformFiles, DriveOfThisProgramIsLocalAndAnUnusedLetterHasNoRoot) {
  // The drive of this program's image, as the service sees a caller's.
  wchar_t image[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  ASSERT_TRUE(QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size)) << GetLastError();
  ASSERT_GE(size, 3u);
  ASSERT_EQ(image[1], L':') << test::to_utf8(image);
  const std::u16string root = {static_cast<char16_t>(image[0]), u':', u'\\'};
  const std::uint32_t type = files_.drive_type(root);
  std::printf("[ figures  ] %s is drive type %u\n", test::to_utf8(test::wstr(root)).c_str(), type);
  EXPECT_TRUE(type == drive_fixed || type == drive_removable || type == drive_cdrom || type == drive_ramdisk) << type;

  const DWORD drives = GetLogicalDrives();
  for (char16_t letter = u'D'; letter <= u'Y'; ++letter) {
    if (drives & (1u << (letter - u'A'))) continue;
    EXPECT_EQ(files_.drive_type(std::u16string{letter, u':', u'\\'}), static_cast<std::uint32_t>(DRIVE_NO_ROOT_DIR));
    break;
  }
}

TEST_F(PlatformFiles, TempDirectoryIsAnExistingFolderEndingInABackslash) {
  const auto directory = files_.temp_directory();
  ASSERT_TRUE(directory.has_value()) << directory.error();
  ASSERT_FALSE(directory->empty());
  EXPECT_EQ(directory->back(), u'\\');
  const DWORD attributes = GetFileAttributesW(test::wstr(*directory).c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  // The same folder the plain call reports (Wine has no GetTempPath2W).
  wchar_t plain[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, plain);
  const bool has_temp_path2 = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W") != nullptr;
  if (!has_temp_path2) {
    EXPECT_EQ(*directory, test::u16(std::wstring(plain, length)));
  }
}

TEST_F(PlatformFiles, AnonymousPipeCarriesTheSecretLineToEndOfFile) {
  auto pipe = files_.create_anonymous_pipe();
  ASSERT_TRUE(pipe.has_value()) << pipe.error();
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(raw(*pipe->read_end), &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
  ASSERT_TRUE(GetHandleInformation(raw(*pipe->write_end), &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);

  files_.clear_inherit_flag(*pipe->write_end);
  ASSERT_TRUE(GetHandleInformation(raw(*pipe->write_end), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  ASSERT_TRUE(GetHandleInformation(raw(*pipe->read_end), &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u) << "only the write end loses the flag";

  const std::string line(64, 'e');
  files_.write_file(*pipe->write_end, line + "\n");
  pipe->write_end.reset();
  std::string received;
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(raw(*pipe->read_end), buffer, sizeof buffer, &read, nullptr) && read > 0)
    received.append(buffer, read);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_EQ(received, line + "\n");
}

}  // namespace
}  // namespace bv::platform::win32
