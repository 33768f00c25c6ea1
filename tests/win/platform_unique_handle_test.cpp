#include <gtest/gtest.h>
#include <windows.h>

#include <utility>

#include "platform/win32/unique_handle.h"

namespace bv::platform::win32 {
namespace {

HANDLE new_event() {
  return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

bool is_open(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(PlatformUniqueHandle, EachKindKnowsItsEmptyValue) {
  EXPECT_EQ(UniqueHandle().get(), nullptr);
  EXPECT_FALSE(UniqueHandle());
  EXPECT_EQ(UniqueFile().get(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(UniqueFile());
  // For file handles only INVALID_HANDLE_VALUE, CreateFileW's failure value,
  // is empty; null is just another value there.
  UniqueFile null_file(nullptr);
  EXPECT_TRUE(null_file);
  static_cast<void>(null_file.release());
  EXPECT_FALSE(UniqueLocal<void*>());
  EXPECT_FALSE(UniqueKey());
  EXPECT_FALSE(UniqueServiceHandle());
  EXPECT_FALSE(UniqueEnvironment());
  EXPECT_FALSE(UniqueProfile());
}

TEST(PlatformUniqueHandle, ResetClosesAndKeepsTheLastError) {
  const HANDLE event = new_event();
  ASSERT_NE(event, nullptr);
  UniqueHandle owner(event);
  SetLastError(4242);
  owner.reset();
  EXPECT_EQ(GetLastError(), 4242u);
  EXPECT_FALSE(owner);
  EXPECT_FALSE(is_open(event));
}

TEST(PlatformUniqueHandle, DestructorKeepsTheLastError) {
  const HANDLE event = new_event();
  ASSERT_NE(event, nullptr);
  {
    UniqueHandle owner(event);
    SetLastError(ERROR_PIPE_CONNECTED);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
  EXPECT_FALSE(is_open(event));

  void* memory = LocalAlloc(LMEM_FIXED, 16);
  ASSERT_NE(memory, nullptr);
  {
    UniqueLocal<void*> owner(memory);
    SetLastError(1336);
  }
  EXPECT_EQ(GetLastError(), 1336u);
}

TEST(PlatformUniqueHandle, ReleaseHandsOverWithoutClosing) {
  UniqueHandle owner(new_event());
  ASSERT_TRUE(owner);
  const HANDLE released = owner.release();
  EXPECT_FALSE(owner);
  EXPECT_TRUE(is_open(released));
  EXPECT_TRUE(CloseHandle(released));
}

TEST(PlatformUniqueHandle, MovesTransferOwnershipAndCloseWhatIsReplaced) {
  const HANDLE first = new_event();
  const HANDLE second = new_event();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  UniqueHandle a(first);
  UniqueHandle b(std::move(a));
  EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the moved-from owner is empty
  EXPECT_EQ(b.get(), first);

  UniqueHandle c(second);
  c = std::move(b);
  EXPECT_EQ(c.get(), first);
  EXPECT_FALSE(is_open(second));
  EXPECT_TRUE(is_open(first));
}

TEST(PlatformUniqueHandle, PutClosesTheOldValueAndTakesTheNewOne) {
  // The old value is a pipe's only write end: once it is closed, the read
  // end sees the broken pipe. (Handle values are reused at once, so the old
  // value itself proves nothing.)
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  UniqueHandle reader(read_end);
  UniqueHandle owner(write_end);
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), owner.put(), 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  char byte = 0;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(reader.get(), &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  ASSERT_TRUE(owner);
  EXPECT_EQ(GetProcessId(owner.get()), GetCurrentProcessId());
}

}  // namespace
}  // namespace bv::platform::win32
