#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>

#include "platform/win32/win32_platform.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

using namespace std::chrono_literals;

// Puts a pipe in place of one standard handle for the test's duration.
class StandardHandleOnPipe {
 public:
  explicit StandardHandleOnPipe(DWORD which) : which_(which), saved_(GetStdHandle(which)) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (CreatePipe(&read_end, &write_end, nullptr, 0)) {
      read_end_.reset(read_end);
      write_end_.reset(write_end);
    }
  }
  ~StandardHandleOnPipe() { SetStdHandle(which_, saved_); }

  bool ok() const { return static_cast<bool>(read_end_); }
  void use_pipe() { SetStdHandle(which_, write_end_.get()); }
  void use(HANDLE handle) { SetStdHandle(which_, handle); }
  // Closes the write end and returns everything written into it.
  std::string drain() {
    SetStdHandle(which_, saved_);
    write_end_.reset();
    std::string content;
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(read_end_.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    return content;
  }

 private:
  DWORD which_;
  HANDLE saved_;
  UniqueHandle read_end_;
  UniqueHandle write_end_;
};

TEST(PlatformConsole, WritesTheBytesUnchangedToEachStream) {
  Win32Platform win32;
  Console& console = win32.platform().console;
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SCOPED_TRACE(which);
    StandardHandleOnPipe stream(which);
    ASSERT_TRUE(stream.ok());
    stream.use_pipe();
    const std::string line = "Service 'BrisvanderEnclaveSvc' already registered \xE2\x80\x94 skipping install.\n";
    if (which == STD_OUTPUT_HANDLE)
      console.write_stdout(line);
    else
      console.write_stderr(line);
    EXPECT_EQ(stream.drain(), line);
  }
}

TEST(PlatformConsole, MissingHandleDropsTheBytes) {
  Win32Platform win32;
  Console& console = win32.platform().console;
  StandardHandleOnPipe stream(STD_ERROR_HANDLE);
  ASSERT_TRUE(stream.ok());
  for (const HANDLE missing : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    stream.use(missing);
    console.write_stderr("[BrisvanderSvc] dropped\n");
  }
  stream.use_pipe();
  console.write_stderr("[BrisvanderSvc] kept\n");
  EXPECT_EQ(stream.drain(), "[BrisvanderSvc] kept\n");
}

TEST(PlatformClock, SleepAdvancesTheSteadyClock) {
  Win32Platform win32;
  Clock& clock = win32.platform().clock;
  const auto before = clock.now();
  clock.sleep_for(120ms);
  const auto slept = clock.now() - before;
  EXPECT_GE(slept, 100ms);
  EXPECT_LT(slept, 5s);
  // Negative durations do not sleep at all.
  const auto again = clock.now();
  clock.sleep_for(-5ms);
  EXPECT_LT(clock.now() - again, 100ms);
}

}  // namespace
}  // namespace bv::platform::win32
