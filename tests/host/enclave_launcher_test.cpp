#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
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

// The steps and releases whose order the launch fixes.
Calls steps(const FakePlatform& fake) {
  return fake.log.only({"LogonUserW", "LoadUserProfileW", "CreatePipe", "CreateEventW", "CreateFileW",
                        "CreateEnvironmentBlock", "CreateProcessAsUserW", "DestroyEnvironmentBlock", "WriteFile",
                        "CloseHandle", "UnloadUserProfile"});
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
  std::string password = "pw";
};

TEST_F(LaunchEnclaveTest, SuccessfulLaunchRunsEveryStepAndHandsOverWhatTheEnclaveUses) {
  auto result = launch();

  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->process_id, 4242u);
  ASSERT_TRUE(result->process && result->shutdown_event && result->profile && result->logon_token);
  EXPECT_EQ(fake::name_of(*result->process), "enclave-process:4242");
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
                                  "DeleteFileW(" + kFile + ")",
                                  "CreateFileW(" + kFile + ", secured, CREATE_NEW)",
                                  "LocalFree(" + kFileSddl + ")",
                                  "WriteFile(file:" + kFile + ", 65 bytes)",
                                  "CloseHandle(file:" + kFile + ")",
                                  "CreateEnvironmentBlock(logon-token)",
                                  "CreateProcessAsUserW(logon-token, stdin-read, 0x08000400, block)",
                                  "DestroyEnvironmentBlock",
                                  "CloseHandle(stdin-read)",
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

const std::string kStartBlock = "CreateProcessAsUserW(logon-token, stdin-read, 0x08000400, block)";
const std::string kStartInherited = "CreateProcessAsUserW(logon-token, stdin-read, 0x08000000, inherited)";

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
        FailureCase{"CreateProcessAsUser",
                    [](FakePlatform& f) { f.processes.create_process_failure = 2; },
                    "CreateProcessAsUser failed: error 2",
                    {"LogonUserW(BrisvanderUser, ., pw)", "LoadUserProfileW(logon-token, BrisvanderUser)", "CreatePipe",
                     "CreateEventW(secured, " + kEvent + ")", "CreateFileW(" + kFile + ", secured, CREATE_NEW)",
                     "WriteFile(file:" + kFile + ", 65 bytes)", "CloseHandle(file:" + kFile + ")",
                     "CreateEnvironmentBlock(logon-token)", kStartBlock, "DestroyEnvironmentBlock",
                     "CloseHandle(stdin-read)", "CloseHandle(stdin-write)", "CloseHandle(event:" + kEvent + ")",
                     "UnloadUserProfile(logon-token)", "CloseHandle(logon-token)"}},
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

TEST_F(LaunchEnclaveTest, FailedStartLeavesWrittenHandOverFileOnDisk) {
  fake.processes.create_process_failure = 5;
  ASSERT_FALSE(launch().has_value());
  EXPECT_EQ(fake.log.count("DeleteFileW"), 1u);  // only the one before the file was made
  ASSERT_TRUE(fake.files.files.contains(kFile));
  EXPECT_EQ(fake.files.files.at(kFile).size(), 65u);
}

TEST_F(LaunchEnclaveTest, AccountIsFixedWhateverTheRequestHolds) {
  password = "p\xC3\xA4ss w\xE2\x80\x94rd";
  fake.processes.logon_failure = 1326;
  auto result = launch_enclave({.enclave_path = "C:\\Users\\alice\\vault-enclave.exe",
                                .pipe_token = "ALICEALICEALICEALICEALICEALICE00",
                                .ipc_secret = secret,
                                .account_password = password,
                                .allowed_sid = "S-1-5-21-1-1-1-500"},
                               fake.platform, log);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "LogonUser failed for 'BrisvanderUser': error 1326");
  EXPECT_EQ(fake.log.calls(), Calls{"LogonUserW(BrisvanderUser, ., p\xC3\xA4ss w\xE2\x80\x94rd)"});
}

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
