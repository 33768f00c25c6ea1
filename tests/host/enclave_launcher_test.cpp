#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "enclave/launcher.h"
#include "fake/fake_platform.h"

namespace bv::enclave {
namespace {

using fake::FakePlatform;
using Calls = std::vector<std::string>;

constexpr std::string_view kToken = "0123456789abcdefABCDEF0123456789";
constexpr std::string_view kPath = "C:\\Program Files\\Brisvander\\vault-enclave.exe";
const std::string kEvent = "brisvander-shutdown-" + std::string(kToken);
const std::string kFile = "C:\\Temp\\bv-ipc-" + std::string(kToken) + ".tmp";
const std::u16string kLogonSid = u"S-1-5-21-1-2-3-1001";
const std::string kEventSddl = "D:P(A;;GA;;;SY)(A;;0x00100000;;;S-1-5-21-1-2-3-1001)";
const std::string kFileSddl = "D:P(A;;FA;;;SY)(A;;FA;;;S-1-5-21-1-2-3-1001)";

const std::string kDeleteFile = "DeleteFileW(" + kFile + ")";

// The steps and releases whose order the launch fixes.
Calls steps(const FakePlatform& fake) {
  return fake.log.only({"LogonUserW", "LoadUserProfileW", "CreatePipe", "CreateEventW", "DeleteFileW", "CreateFileW",
                        "CreateEnvironmentBlock", "CreateProcessAsUserW", "DestroyEnvironmentBlock", "CreateJobObjectW",
                        "AssignProcessToJobObject", "ResumeThread", "TerminateProcess", "WriteFile", "CloseHandle",
                        "UnloadUserProfile"});
}

SecretString secret_text(std::string_view text) {
  return SecretString(std::string(text));
}

class LaunchEnclaveTest : public ::testing::Test {
 protected:
  LaunchEnclaveTest() { fake.processes.sids["logon-token"] = kLogonSid; }

  LaunchResult launch(std::optional<std::string_view> allowed_sid = "S-1-5-21-9-9-9-1002") {
    return launch_enclave({.enclave_path = kPath,
                           .pipe_token = kToken,
                           .ipc_secret = secret,
                           .account_password = password,
                           .allowed_sid = allowed_sid},
                          fake.platform, log);
  }
  std::string command_line() const {
    EXPECT_EQ(fake.processes.command_lines.size(), 1u);
    return fake.processes.command_lines.empty() ? "" : fake::narrow(fake.processes.command_lines.front());
  }

  FakePlatform fake;
  Log log{fake.console};
  std::vector<std::uint8_t> secret = std::vector<std::uint8_t>(32, 0xA5);
  // What reading the stored password gives (none: it cannot be read), and
  // how often it was read.
  std::optional<std::string> stored = "pw";
  int reads = 0;
  AccountPassword password{secret_text("pw"), [this]() -> std::optional<SecretString> {
                             ++reads;
                             if (!stored) return std::nullopt;
                             return secret_text(*stored);
                           }};
};

TEST_F(LaunchEnclaveTest, SuccessfulLaunchRunsEveryStepAndHandsOverWhatTheEnclaveUses) {
  auto result = launch();

  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->process_id, 4242u);
  ASSERT_TRUE(result->process && result->shutdown_event && result->job && result->profile && result->logon_token);
  EXPECT_EQ(fake::name_of(*result->process), "enclave-process:4242");
  EXPECT_EQ(fake::name_of(*result->job), "job");
  EXPECT_EQ(fake::name_of(*result->shutdown_event), "event:" + kEvent);
  EXPECT_EQ(fake::name_of(*result->logon_token), "logon-token");
  EXPECT_EQ(result->secret_file, kFile);
  EXPECT_EQ(fake.log.calls(), (Calls{
                                  "LogonUserW(BrisvanderUser, ., pw)",
                                  "LoadUserProfileW(logon-token, BrisvanderUser)",
                                  "CreatePipe",
                                  "SetHandleInformation(stdin-write)",
                                  "GetTokenInformation(logon-token)",
                                  "ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kEventSddl + ")",
                                  "CreateEventW(secured, " + kEvent + ")",
                                  "LocalFree(" + kEventSddl + ")",
                                  "GetTokenInformation(logon-token)",
                                  "GetTempPath",
                                  "ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kFileSddl + ")",
                                  kDeleteFile,
                                  "CreateFileW(" + kFile + ", secured, CREATE_NEW)",
                                  "LocalFree(" + kFileSddl + ")",
                                  "WriteFile(file:" + kFile + ", 65 bytes)",
                                  "CloseHandle(file:" + kFile + ")",
                                  "CreateEnvironmentBlock(logon-token)",
                                  "CreateProcessAsUserW(logon-token, stdin-read, 0x08000404, block)",
                                  "DestroyEnvironmentBlock",
                                  "CloseHandle(stdin-read)",
                                  // Suspended until it is in its job.
                                  "CreateJobObjectW",
                                  "AssignProcessToJobObject(job, enclave-process:4242)",
                                  "ResumeThread(enclave-thread:4242)",
                                  "WriteFile(stdin-write, 65 bytes)",
                                  "CloseHandle(stdin-write)",
                                  "CloseHandle(enclave-thread:4242)",
                              }));
  EXPECT_EQ(fake.console.err, "");
  // The profile is unloaded only when the caller lets go of it, and before
  // the token its unload needs.
  result->profile.reset();
  result->logon_token.reset();
  const Calls released(fake.log.calls().end() - 2, fake.log.calls().end());
  EXPECT_EQ(released, (Calls{"UnloadUserProfile(logon-token)", "CloseHandle(logon-token)"}));
}

struct FailureCase {
  const char* name;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
  std::function<void(FakePlatform&)> script;
  std::string message;
  Calls steps;  // the whole filtered sequence, the caller's drop of the result included
};

class LaunchEnclaveFailureTest : public LaunchEnclaveTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LaunchEnclaveFailureTest, ReleasesWhatWasMadeInOrderAndReturnsMessage) {
  const auto& c = GetParam();
  c.script(fake);
  {
    auto result = launch();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.message);
  }
  EXPECT_EQ(steps(fake), c.steps);
}

const std::string kStartBlock = "CreateProcessAsUserW(logon-token, stdin-read, 0x08000404, block)";
const std::string kStartInherited = "CreateProcessAsUserW(logon-token, stdin-read, 0x08000004, inherited)";
// Every step up to a start with all artefacts and the block.
const Calls kUpToTheStart = {"LogonUserW(BrisvanderUser, ., pw)",
                             "LoadUserProfileW(logon-token, BrisvanderUser)",
                             "CreatePipe",
                             "CreateEventW(secured, " + kEvent + ")",
                             kDeleteFile,
                             "CreateFileW(" + kFile + ", secured, CREATE_NEW)",
                             "WriteFile(file:" + kFile + ", 65 bytes)",
                             "CloseHandle(file:" + kFile + ")",
                             "CreateEnvironmentBlock(logon-token)",
                             kStartBlock,
                             "DestroyEnvironmentBlock",
                             "CloseHandle(stdin-read)"};
// A process that could not be put in its job, or not resumed, has run
// nothing and is ended first. The hand-over file goes between the profile
// and the token, as when an enclave's stop releases them.
const Calls kAbandonedAfterTheStart = {"TerminateProcess(enclave-process:4242, 1)",
                                       "CloseHandle(enclave-thread:4242)",
                                       "CloseHandle(enclave-process:4242)",
                                       "CloseHandle(stdin-write)",
                                       "CloseHandle(event:" + kEvent + ")",
                                       "UnloadUserProfile(logon-token)",
                                       kDeleteFile,
                                       "CloseHandle(logon-token)"};

Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    LaunchFailurePaths, LaunchEnclaveFailureTest,
    ::testing::Values(
        FailureCase{"LogonUser",
                    [](FakePlatform& f) { f.processes.logon_failure = 1326; },
                    "LogonUser failed for 'BrisvanderUser': error 1326",
                    {"LogonUserW(BrisvanderUser, ., pw)"}},
        FailureCase{"CreatePipe",
                    [](FakePlatform& f) { f.files.anonymous_pipe_failure = 8; },
                    "CreatePipe failed: 8",
                    {"LogonUserW(BrisvanderUser, ., pw)", "LoadUserProfileW(logon-token, BrisvanderUser)", "CreatePipe",
                     "UnloadUserProfile(logon-token)", "CloseHandle(logon-token)"}},
        FailureCase{"CreatePipeWithoutProfile",
                    [](FakePlatform& f) {
                      f.files.anonymous_pipe_failure = 4294967295u;
                      f.processes.profile_failure = 1314;
                    },
                    "CreatePipe failed: 4294967295",
                    {"LogonUserW(BrisvanderUser, ., pw)", "LoadUserProfileW(logon-token, BrisvanderUser)", "CreatePipe",
                     "CloseHandle(logon-token)"}},
        FailureCase{"CreateProcessAsUser", [](FakePlatform& f) { f.processes.create_process_failure = 2; },
                    "CreateProcessAsUser failed: error 2",
                    kUpToTheStart + Calls{"CloseHandle(stdin-write)", "CloseHandle(event:" + kEvent + ")",
                                          "UnloadUserProfile(logon-token)", kDeleteFile, "CloseHandle(logon-token)"}},
        FailureCase{"CreateJobObject", [](FakePlatform& f) { f.processes.create_job_failure = 8; },
                    "CreateJobObject failed: error 8",
                    kUpToTheStart + Calls{"CreateJobObjectW"} + kAbandonedAfterTheStart},
        FailureCase{
            "AssignProcessToJobObject", [](FakePlatform& f) { f.processes.assign_failure = 5; },
            "AssignProcessToJobObject failed: error 5",
            kUpToTheStart +
                Calls{"CreateJobObjectW", "AssignProcessToJobObject(job, enclave-process:4242)", "CloseHandle(job)"} +
                kAbandonedAfterTheStart},
        FailureCase{"ResumeThread", [](FakePlatform& f) { f.processes.resume_failure = 6; },
                    "ResumeThread failed: error 6",
                    kUpToTheStart +
                        Calls{"CreateJobObjectW", "AssignProcessToJobObject(job, enclave-process:4242)",
                              "ResumeThread(enclave-thread:4242)", "CloseHandle(job)"} +
                        kAbandonedAfterTheStart},
        FailureCase{"CreateProcessAsUserWithoutProfileBlockOrArtefacts",
                    [](FakePlatform& f) {
                      f.processes.create_process_failure = 1314;
                      f.processes.profile_failure = 2;
                      f.processes.environment_failure = 1008;
                      f.processes.create_event_failures = {{"secured", 5}, {"default", 5}};
                      f.files.temp = std::unexpected(3u);
                    },
                    "CreateProcessAsUser failed: error 1314",
                    {"LogonUserW(BrisvanderUser, ., pw)", "LoadUserProfileW(logon-token, BrisvanderUser)", "CreatePipe",
                     "CreateEventW(secured, " + kEvent + ")", "CreateEventW(default, " + kEvent + ")",
                     "CreateEnvironmentBlock(logon-token)", kStartInherited, "CloseHandle(stdin-read)",
                     "CloseHandle(stdin-write)", "CloseHandle(logon-token)"}}),
    [](const auto& test) { return test.param.name; });

TEST_F(LaunchEnclaveTest, FailedStartOrContainmentLeavesNoHandOverFile) {
  fake.processes.create_process_failure = 5;
  ASSERT_FALSE(launch().has_value());
  EXPECT_FALSE(fake.files.files.contains(kFile));

  fake.processes.create_process_failure.reset();
  fake.processes.assign_failure = 5;
  ASSERT_FALSE(launch().has_value());
  EXPECT_FALSE(fake.files.files.contains(kFile));
}

TEST_F(LaunchEnclaveTest, AccountIsFixedWhateverTheRequestHolds) {
  AccountPassword unusual(secret_text("p\xC3\xA4ss w\xE2\x80\x94rd"), [] { return std::optional<SecretString>(); });
  fake.processes.logon_failure = 1326;
  auto result = launch_enclave({.enclave_path = "C:\\Users\\alice\\vault-enclave.exe",
                                .pipe_token = "ALICEALICEALICEALICEALICEALICE00",
                                .ipc_secret = secret,
                                .account_password = unusual,
                                .allowed_sid = "S-1-5-21-1-1-1-500"},
                               fake.platform, log);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "LogonUser failed for 'BrisvanderUser': error 1326");
  EXPECT_EQ(fake.log.calls(), Calls{"LogonUserW(BrisvanderUser, ., p\xC3\xA4ss w\xE2\x80\x94rd)"});
}

struct LogonCase {
  const char* name;
  friend void PrintTo(const LogonCase& c, std::ostream* os) { *os << c.name; }
  std::map<std::string, platform::ErrorCode> refused;  // by password
  std::optional<std::string> stored;                   // what reading the stored value gives
  std::vector<std::string> passwords;                  // those the logons were made with, in order
  int reads;                                           // of the stored value
  std::optional<std::string> code;                     // the reply's error code; none: launched
  std::string held;                                    // the password held afterwards
};

class LogonRetryTest : public LaunchEnclaveTest, public ::testing::WithParamInterface<LogonCase> {};

TEST_P(LogonRetryTest, TriesOnceMoreOnlyForAWrongPasswordThatWasChangedSinceItWasRead) {
  const auto& c = GetParam();
  fake.processes.refused_passwords = c.refused;
  stored = c.stored;

  auto result = launch();

  Calls logons;
  for (const auto& p : c.passwords) logons.push_back("LogonUserW(BrisvanderUser, ., " + p + ")");
  EXPECT_EQ(fake.log.only({"LogonUserW"}), logons);
  EXPECT_EQ(reads, c.reads);
  if (c.code) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "LogonUser failed for 'BrisvanderUser': error " + *c.code);
  } else {
    EXPECT_TRUE(result.has_value()) << result.error();
  }
  EXPECT_EQ(password.get(), c.held);
}

INSTANTIATE_TEST_SUITE_P(
    LogonRetries, LogonRetryTest,
    ::testing::Values(
        LogonCase{"AcceptedAtOnce", {}, "new", {"pw"}, 0, std::nullopt, "pw"},
        LogonCase{"StoredPasswordChanged", {{"pw", 1326}}, "new", {"pw", "new"}, 1, std::nullopt, "new"},
        LogonCase{"StoredPasswordUnchanged", {{"pw", 1326}}, "pw", {"pw"}, 1, "1326", "pw"},
        LogonCase{"StoredPasswordUnreadable", {{"pw", 1326}}, std::nullopt, {"pw"}, 1, "1326", "pw"},
        // Only a wrong password is worth another try: a locked or
        // restricted account stays so.
        LogonCase{"OtherFailure", {{"pw", 1327}}, "new", {"pw"}, 0, "1327", "pw"},
        // Once, and the answer is the last attempt's.
        LogonCase{"NewPasswordRefusedToo", {{"pw", 1326}, {"new", 1326}}, "new", {"pw", "new"}, 1, "1326", "new"},
        LogonCase{"NewPasswordFailsOtherwise", {{"pw", 1326}, {"new", 1909}}, "new", {"pw", "new"}, 1, "1909", "new"}),
    [](const auto& test) { return test.param.name; });

struct CommandLineCase {
  const char* name;
  friend void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.name; }
  std::optional<std::string_view> allowed_sid;
  std::function<void(FakePlatform&)> script;
  std::string expected;
  bool has_event;
};

class LaunchCommandLineTest : public LaunchEnclaveTest, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(LaunchCommandLineTest, ComposesPiecesThatApply) {
  const auto& c = GetParam();
  c.script(fake);
  auto result = launch(c.allowed_sid);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(command_line(), c.expected);
  EXPECT_EQ(result->shutdown_event != nullptr, c.has_event);
  // The secret reaches standard input whatever pieces are missing.
  EXPECT_EQ(fake.files.written["stdin-write"].size(), 65u);
}

const std::string kHead = "\"C:\\Program Files\\Brisvander\\vault-enclave.exe\" --pipe-token " + std::string(kToken);
const std::string kEventPiece = " --shutdown-event " + kEvent;
const std::string kFilePiece = " --ipc-secret-file \"" + kFile + "\"";

INSTANTIATE_TEST_SUITE_P(
    LaunchCommandLinePieces, LaunchCommandLineTest,
    ::testing::Values(
        CommandLineCase{"Every", "S-1-5-21-9-9-9-1002", [](FakePlatform&) {},
                        kHead + " --pipe-allow-sid S-1-5-21-9-9-9-1002 --service-verified" + kEventPiece + kFilePiece,
                        true},
        CommandLineCase{"NoAllowedSid", std::nullopt, [](FakePlatform&) {},
                        kHead + " --service-verified" + kEventPiece + kFilePiece, true},
        CommandLineCase{"NoEvent", std::nullopt,
                        [](FakePlatform& f) {
                          f.processes.create_event_failures = {{"secured", 5}, {"default", 183}};
                        },
                        kHead + " --service-verified" + kFilePiece, false},
        CommandLineCase{"NoFile", "S-1-5-21-9-9-9-1002",
                        [](FakePlatform& f) { f.files.create_file_failures[kFile] = 5; },
                        kHead + " --pipe-allow-sid S-1-5-21-9-9-9-1002 --service-verified" + kEventPiece, true},
        // An event of the name made by someone else is not used.
        CommandLineCase{"EventNameTaken", "S-1-5-21-9-9-9-1002",
                        [](FakePlatform& f) { f.processes.existing_events.insert(kEvent); },
                        kHead + " --pipe-allow-sid S-1-5-21-9-9-9-1002 --service-verified" + kFilePiece, false},
        // Without the account's SID the event still exists, with default
        // security, but no file is written.
        CommandLineCase{"NoLogonSid", "S-1-5-21-9-9-9-1002", [](FakePlatform& f) { f.processes.sids.clear(); },
                        kHead + " --pipe-allow-sid S-1-5-21-9-9-9-1002 --service-verified" + kEventPiece, true}),
    [](const auto& test) { return test.param.name; });

TEST_F(LaunchEnclaveTest, SecretLineIsLowercaseHexAndLineFeed) {
  // The bytes a request written in upper-case digits ("00ABCDEF0F...") decodes to.
  secret = {0x00, 0xAB, 0xCD, 0xEF, 0x0F, 0xF0, 0x09, 0x90};
  secret.resize(32, 0xDE);
  ASSERT_TRUE(launch().has_value());
  std::string line = "00abcdef0ff00990";
  for (int i = 0; i < 24; ++i) line += "de";
  line += '\n';
  EXPECT_EQ(fake.files.written["stdin-write"], line);
  EXPECT_EQ(fake.files.files[kFile], line);
  EXPECT_EQ(line.size(), 65u);
}

TEST_F(LaunchEnclaveTest, EmptySecretGivesOnlyLineFeed) {
  secret.clear();
  ASSERT_TRUE(launch().has_value());
  EXPECT_EQ(fake.files.written["stdin-write"], "\n");
  EXPECT_EQ(fake.files.files[kFile], "\n");
  EXPECT_TRUE(fake.log.contains("WriteFile(stdin-write, 1 bytes)"));
}

TEST_F(LaunchEnclaveTest, FailedProfileLoadWarnsAndIsNotUnloaded) {
  fake.processes.profile_failure = 1314;
  auto result = launch();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(fake.console.err_lines(),
            Calls{"[BrisvanderSvc] Warning: LoadUserProfile failed (1314); APPDATA may be missing"});
  EXPECT_EQ(fake.log.count("UnloadUserProfile"), 0u);
  EXPECT_TRUE(fake.log.contains(kStartBlock));
  EXPECT_EQ(fake.log.calls().back(), "CloseHandle(logon-token)");
}

TEST_F(LaunchEnclaveTest, FailedEnvironmentBlockWarnsAndStartsWithInheritedEnvironment) {
  fake.processes.environment_failure = 1008;
  auto result = launch();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(fake.console.err_lines(),
            Calls{"[BrisvanderSvc] Warning: CreateEnvironmentBlock failed (1008); APPDATA may be missing"});
  EXPECT_TRUE(fake.log.contains(kStartInherited));
  EXPECT_EQ(fake.log.count("DestroyEnvironmentBlock"), 0u);
  EXPECT_TRUE(result->profile);
}

TEST_F(LaunchEnclaveTest, BothWarningsInStepOrder) {
  fake.processes.profile_failure = 2;
  fake.processes.environment_failure = 3;
  ASSERT_TRUE(launch().has_value());
  EXPECT_EQ(fake.console.err_lines(),
            (Calls{"[BrisvanderSvc] Warning: LoadUserProfile failed (2); APPDATA may be missing",
                   "[BrisvanderSvc] Warning: CreateEnvironmentBlock failed (3); APPDATA may be missing"}));
}

}  // namespace
}  // namespace bv::enclave
