#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/win32/owners.h"
#include "platform/win32/win32_platform.h"
#include "platform_support.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

// This test program doubles as the child that the process tests start: run
// with the option below it reads its standard input to the end and exits
// with a code that tells what it found, before GoogleTest ever starts.
constexpr wchar_t child_option[] = L"--bv-platform-child-stdin";
constexpr char child_expected_input[] = "00112233445566778899aabbccddeeff\n";
constexpr wchar_t parent_marker[] = L"BV_PLATFORM_TEST_PARENT_MARKER";

// Exit code of the child: 40, plus 1 when the input was not the expected
// line, plus 2 when it has a usable standard output, plus 4 when it
// inherited the parent's marker variable, plus 8 when its environment lacks
// the account's profile folder (a block passed without its Unicode flag
// would be read as ANSI and lose it).
constexpr DWORD child_base_code = 40;

bool run_child_if_asked() {
  if (std::wcsstr(GetCommandLineW(), child_option) == nullptr) return false;
  std::string input;
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    input.append(buffer, read);
  }
  DWORD code = child_base_code;
  if (input != child_expected_input) code += 1;
  // Windows hands INVALID_HANDLE_VALUE on as it is; Wine turns it into null.
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output != INVALID_HANDLE_VALUE && output != nullptr) code += 2;
  if (GetEnvironmentVariableW(parent_marker, nullptr, 0) != 0) code += 4;
  if (GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0) == 0) code += 8;
  ExitProcess(code);
}
[[maybe_unused]] const bool is_child = run_child_if_asked();

class PlatformProcesses : public ::testing::Test {
 protected:
  Object own_process() {
    auto process = processes_.open_process(process_query_limited_information, GetCurrentProcessId());
    EXPECT_TRUE(process.has_value()) << process.error();
    return process ? std::move(*process) : nullptr;
  }

  Win32Platform win32_;
  Platform& platform_ = win32_.platform();
  ProcessesTokens& processes_ = platform_.processes;
};

TEST_F(PlatformProcesses, OwnTokenUserIsALocalAccountSid) {
  Object process = own_process();
  ASSERT_TRUE(process);
  auto token = processes_.open_process_token(*process, token_query);
  ASSERT_TRUE(token.has_value()) << token.error();
  const auto sid = processes_.token_user_sid(**token);
  ASSERT_TRUE(sid.has_value());
  EXPECT_EQ(sid->rfind(u"S-1-5-21-", 0), 0u) << test::to_utf8(test::wstr(*sid));
  EXPECT_EQ(processes_.token_user_sid(*make_object(test::own_primary_token())), sid)
      << "a duplicate names the same user";
}

TEST_F(PlatformProcesses, TokenUserOfAHandleThatIsNoTokenIsNone) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  EXPECT_EQ(processes_.token_user_sid(*make_object(std::move(event))), std::nullopt);
}

TEST_F(PlatformProcesses, ImageNameOfTheOwnProcessIsTheExecutablePath) {
  Object process = own_process();
  ASSERT_TRUE(process);
  const auto image = processes_.query_image_name(*process);
  ASSERT_TRUE(image.has_value()) << image.error();
  const auto executable = processes_.executable_path();
  ASSERT_TRUE(executable.has_value()) << executable.error();
  EXPECT_EQ(image->units, *executable);
  EXPECT_EQ(image->size, image->units.size());
  EXPECT_NE(GetFileAttributesW(test::wstr(*executable).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PlatformProcesses, OpeningAProcessThatDoesNotExistFails) {
  const auto process = processes_.open_process(process_query_limited_information, 0xFFFFFFF0);
  ASSERT_FALSE(process.has_value());
  EXPECT_EQ(process.error(), static_cast<ErrorCode>(ERROR_INVALID_PARAMETER));
}

TEST_F(PlatformProcesses, EnvironmentVariablesSetEmptyLongAndUnset) {
  const std::wstring name = test::unique_name(L"BV_PLATFORM_TEST_");
  const std::wstring long_value(3000, L'v');
  struct Case {
    const wchar_t* value;  // null: unset
    std::optional<std::u16string> expected;
  };
  const Case cases[] = {
      {L"C:\\Program Files", u"C:\\Program Files"},
      {L"", u""},
      {long_value.c_str(), test::u16(long_value)},
      {nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? std::to_string(std::wcslen(c.value)) + " units" : std::string("unset"));
    ASSERT_TRUE(SetEnvironmentVariableW(name.c_str(), c.value));
    EXPECT_EQ(processes_.environment_variable(test::u16(name)), c.expected);
  }
}

TEST_F(PlatformProcesses, SystemDirectoryIsTheWindowsFoldersSystem32) {
  const auto system = processes_.system_directory();
  ASSERT_TRUE(system.has_value()) << system.error();
  wchar_t windows[MAX_PATH] = {};
  ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  EXPECT_EQ(test::to_utf8(test::wstr(*system)), test::to_utf8(windows) + "\\system32");
  EXPECT_NE(GetFileAttributesW(test::wstr(*system + u"\\cmd.exe").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PlatformProcesses, RunAndWaitReportsTheExitStatus) {
  struct Case {
    const char16_t* application;
    const char16_t* command_line;
    std::uint32_t exit_code;
  };
  const auto system = processes_.system_directory();
  ASSERT_TRUE(system.has_value());
  const std::u16string cmd = *system + u"\\cmd.exe";
  const Case cases[] = {
      {u"", u"cmd.exe /c exit 0", 0},
      {u"", u"cmd.exe /c exit 7", 7},
      {cmd.c_str(), u"cmd.exe /c exit -1", 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(test::to_utf8(test::wstr(c.command_line)));
    const auto status = processes_.run_and_wait(c.application, c.command_line);
    ASSERT_TRUE(status.has_value()) << status.error();
    EXPECT_EQ(*status, c.exit_code);
  }
}

TEST_F(PlatformProcesses, RunAndWaitOfAMissingProgramFails) {
  const auto status = processes_.run_and_wait(u"", u"bv-no-such-program.exe -NoProfile");
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), error_file_not_found);
}

TEST_F(PlatformProcesses, SystemMessageHasNoTrailingLineBreak) {
  for (const ErrorCode code : {error_file_not_found, error_access_denied, error_failed_service_controller_connect}) {
    SCOPED_TRACE(code);
    const std::u16string message = processes_.system_message(code);
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.back(), u'\n');
    EXPECT_NE(message.back(), u'\r');
    EXPECT_NE(message.back(), u' ');
  }
  EXPECT_EQ(processes_.system_message(0x2BADC0DE), u"") << "no message for a code the system does not know";
}

// The launch sequence against the real API with a primary token of the own
// user: standard-input pipe, environment block, CreateProcessAsUserW, the
// secret line, and the supervision calls on the child.
class PlatformLaunch : public PlatformProcesses {
 protected:
  void SetUp() override {
    token_ = make_object(test::own_primary_token());
    ASSERT_NE(raw(*token_), nullptr);
    auto executable = processes_.executable_path();
    ASSERT_TRUE(executable.has_value());
    command_line_ = u"\"" + *executable + u"\" " + test::u16(child_option);
    ASSERT_TRUE(SetEnvironmentVariableW(parent_marker, L"1"));
  }
  void TearDown() override { SetEnvironmentVariableW(parent_marker, nullptr); }

  struct Started {
    CreatedProcess process;
    Object stdin_write;
  };
  // Starts the child, suspended, with its standard input on a fresh pipe,
  // as the launcher does; the read end is closed once the child has it.
  std::optional<Started> start_suspended(EnvironmentBlock* environment) {
    auto pipe = platform_.files.create_anonymous_pipe();
    EXPECT_TRUE(pipe.has_value());
    if (!pipe) return std::nullopt;
    platform_.files.clear_inherit_flag(*pipe->write_end);
    auto created = processes_.create_process_as_user(*token_, command_line_, environment, *pipe->read_end);
    EXPECT_TRUE(created.has_value()) << created.error();
    pipe->read_end.reset();
    if (!created) return std::nullopt;
    return Started{std::move(*created), std::move(pipe->write_end)};
  }
  // The same, resumed at once.
  std::optional<Started> start(EnvironmentBlock* environment) {
    auto started = start_suspended(environment);
    if (started) {
      const auto resumed = processes_.resume_thread(*started->process.thread);
      EXPECT_TRUE(resumed.has_value()) << resumed.error();
    }
    return started;
  }

  Object token_;
  std::u16string command_line_;
};

TEST_F(PlatformLaunch, ChildWithTheAccountsEnvironmentReadsTheSecretLine) {
  auto environment = processes_.create_environment_block(*token_);
  ASSERT_TRUE(environment.has_value()) << environment.error();
  auto started = start(environment->get());
  environment->reset();
  ASSERT_TRUE(started);
  EXPECT_NE(started->process.process_id, 0u);
  EXPECT_EQ(GetProcessId(raw(*started->process.process)), started->process.process_id);
  EXPECT_NE(GetThreadId(raw(*started->process.thread)), 0u);

  // Until the write end closes the child waits for more input.
  EXPECT_EQ(processes_.wait(*started->process.process, 200), wait_timeout);
  EXPECT_EQ(processes_.exit_code(*started->process.process), still_active);

  platform_.files.write_file(*started->stdin_write, child_expected_input);
  started->stdin_write.reset();
  ASSERT_EQ(processes_.wait(*started->process.process, 30000), wait_object_0);
  // No parent variable: the block replaced the service's environment.
  EXPECT_EQ(processes_.exit_code(*started->process.process), child_base_code);
}

TEST_F(PlatformLaunch, ChildWithoutABlockInheritsTheServicesEnvironment) {
  auto started = start(nullptr);
  ASSERT_TRUE(started);
  platform_.files.write_file(*started->stdin_write, child_expected_input);
  started->stdin_write.reset();
  ASSERT_EQ(processes_.wait(*started->process.process, 30000), wait_object_0);
  EXPECT_EQ(processes_.exit_code(*started->process.process), child_base_code + 4);
}

TEST_F(PlatformLaunch, TerminatedChildEndsWithTheGivenCode) {
  auto started = start(nullptr);
  ASSERT_TRUE(started);
  processes_.terminate(*started->process.process, 1);
  ASSERT_EQ(processes_.wait(*started->process.process, 10000), wait_object_0);
  EXPECT_EQ(processes_.exit_code(*started->process.process), 1u);

  // Opened again by its id, the way the service stops an earlier enclave
  // (the handle held here keeps the process object in existence).
  auto by_id = processes_.open_process(process_synchronize_terminate, started->process.process_id);
  ASSERT_TRUE(by_id.has_value()) << by_id.error();
  EXPECT_EQ(processes_.wait(**by_id, 0), wait_object_0);
}

TEST_F(PlatformLaunch, SuspendedChildRunsOnlyOnceResumedAndEndsWithItsJob) {
  auto started = start_suspended(nullptr);
  ASSERT_TRUE(started);
  platform_.files.write_file(*started->stdin_write, child_expected_input);
  started->stdin_write.reset();
  // The input is there, but the child has not run to read it.
  EXPECT_EQ(processes_.wait(*started->process.process, 500), wait_timeout);

  auto job = processes_.create_job();
  ASSERT_TRUE(job.has_value()) << job.error();
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(raw(**job), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  ASSERT_TRUE(QueryInformationJobObject(raw(**job), JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr))
      << GetLastError();
  EXPECT_EQ(limits.BasicLimitInformation.LimitFlags &
                (JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE),
            0u);
  ASSERT_TRUE(processes_.assign_to_job(**job, *started->process.process).has_value());
  BOOL in_job = FALSE;
  ASSERT_TRUE(IsProcessInJob(raw(*started->process.process), raw(**job), &in_job));
  EXPECT_TRUE(in_job);

  ASSERT_TRUE(processes_.resume_thread(*started->process.thread).has_value());
  ASSERT_EQ(processes_.wait(*started->process.process, 30000), wait_object_0);
  EXPECT_EQ(processes_.exit_code(*started->process.process), child_base_code + 4);
}

TEST_F(PlatformLaunch, TerminatedJobEndsItsChildWithTheGivenCode) {
  auto started = start_suspended(nullptr);
  ASSERT_TRUE(started);
  auto job = processes_.create_job();
  ASSERT_TRUE(job.has_value()) << job.error();
  ASSERT_TRUE(processes_.assign_to_job(**job, *started->process.process).has_value());
  ASSERT_TRUE(processes_.resume_thread(*started->process.thread).has_value());
  // Without input the child waits for it.
  EXPECT_EQ(processes_.wait(*started->process.process, 200), wait_timeout);

  ASSERT_TRUE(processes_.terminate_job(**job, 1).has_value());
  ASSERT_EQ(processes_.wait(*started->process.process, 10000), wait_object_0);
  EXPECT_EQ(processes_.exit_code(*started->process.process), 1u);
}

TEST_F(PlatformLaunch, StartWithAnInvalidTokenReportsTheError) {
  auto pipe = platform_.files.create_anonymous_pipe();
  ASSERT_TRUE(pipe.has_value());
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const auto created =
      processes_.create_process_as_user(*make_object(std::move(event)), command_line_, nullptr, *pipe->read_end);
  ASSERT_FALSE(created.has_value());
  EXPECT_EQ(created.error(), static_cast<ErrorCode>(ERROR_INVALID_HANDLE));
}

TEST_F(PlatformLaunch, ProfileOfTheTokensUserLoads) {
  wchar_t user[256] = {};
  DWORD size = 256;
  ASSERT_TRUE(GetUserNameW(user, &size));
  auto profile = processes_.load_user_profile(*token_, test::u16(user));
  ASSERT_TRUE(profile.has_value()) << profile.error();
  profile->reset();  // UnloadUserProfile, while the token is still open
}

}  // namespace
}  // namespace bv::platform::win32
