#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "enclave/running_enclave.h"
#include "fake/fake_platform.h"

namespace bv::enclave {
namespace {

using Calls = std::vector<std::string>;

constexpr const char* kProcess = "enclave-process:4242";
constexpr const char* kEvent = "event:brisvander-shutdown-0123";

Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr const char* kSecretFile = "C:\\Temp\\bv-ipc-0123.tmp";

struct StopCase {
  const char* name;
  std::uint32_t process_id = 4242;
  bool has_process = true;
  bool has_event = true;
  bool has_job = true;
  std::optional<platform::Result<std::uint32_t>> exit_code;  // none: still active
  std::optional<std::uint32_t> wait_result;                  // none: WAIT_OBJECT_0
  bool unkillable = false;                                   // TerminateProcess does not end it
  Calls calls;                                               // every platform call, in order
  std::vector<std::string> log_lines;
};

void PrintTo(const StopCase& c, std::ostream* os) {
  *os << c.name;
}

// A launched enclave as the launcher hands it over: in its job, with its
// profile loaded for the logon token and its hand-over file on disk.
LaunchedEnclave launched(fake::FakePlatform& fake, std::uint32_t process_id, bool has_process, bool has_event,
                         bool has_job = true) {
  LaunchedEnclave enclave{.process_id = process_id,
                          .process = has_process ? fake::make_object(fake.log, kProcess) : nullptr,
                          .shutdown_event = has_event ? fake::make_object(fake.log, kEvent) : nullptr,
                          .job = has_job ? fake::make_object(fake.log, "job") : nullptr,
                          .logon_token = fake::make_object(fake.log, "logon-token"),
                          .secret_file = kSecretFile};
  if (has_process && has_job) fake.processes.job_processes["job"] = {kProcess};
  enclave.profile = std::move(*fake.processes.load_user_profile(*enclave.logon_token, u"BrisvanderUser"));
  fake.files.files[kSecretFile] = std::string(64, 'a') + "\n";
  fake.log.clear();
  return enclave;
}

class StopPreviousEnclaveTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopPreviousEnclaveTest, FollowsTheRowOfItsSituation) {
  const auto& c = GetParam();
  fake::FakePlatform fake;
  Log log(fake.console);
  if (c.exit_code) fake.processes.exit_codes[kProcess] = *c.exit_code;
  if (c.wait_result) fake.processes.wait_results[kProcess] = *c.wait_result;
  if (c.unkillable) fake.processes.unkillable.insert(kProcess);

  RunningEnclave record;
  remember_enclave(record, launched(fake, c.process_id, c.has_process, c.has_event, c.has_job));
  stop_previous_enclave(record, fake.platform, log);

  EXPECT_EQ(fake.log.calls(), c.calls);
  EXPECT_EQ(fake.console.err_lines(), c.log_lines);
  EXPECT_FALSE(record.present);
  EXPECT_FALSE(record.enclave.process || record.enclave.shutdown_event || record.enclave.job ||
               record.enclave.profile || record.enclave.logon_token);
  // The hand-over file goes exactly when the profile is unloaded: once the
  // enclave is known to have ended.
  EXPECT_EQ(fake.files.files.contains(kSecretFile), !fake.log.contains("UnloadUserProfile(logon-token)"));
  // The enclave is reached only through the handle its creation returned.
  EXPECT_EQ(fake.log.count("OpenProcess"), 0u);
}

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& p) const {
    return p.param.name;
  }
};

const std::string kClosedEvent = std::string("CloseHandle(") + kEvent + ")";
const std::string kClosedProcess = std::string("CloseHandle(") + kProcess + ")";
const std::string kQuery = std::string("GetExitCodeProcess(") + kProcess + ")";
const std::string kSet = std::string("SetEvent(") + kEvent + ")";
const std::string kWait = std::string("WaitForSingleObject(") + kProcess + ", 500)";
const std::string kTerminate = std::string("TerminateProcess(") + kProcess + ", 1)";
const std::string kTerminateJob = "TerminateJobObject(job, 1)";
const std::string kWaitForTheEnd = std::string("WaitForSingleObject(") + kProcess + ", 2000)";
const std::string kTerminating = "[BrisvanderSvc] Terminating previous enclave PID 4242 for respawn";
const std::string kForced = "[BrisvanderSvc] Force-terminated enclave PID 4242";
// Once the enclave has ended, and what it started with it: its profile is
// unloaded, its file goes, then the token that the unload needed.
const Calls kReleasedAfterTheEnd = {"UnloadUserProfile(logon-token)", std::string("DeleteFileW(") + kSecretFile + ")",
                                    "CloseHandle(logon-token)"};
// While it may still run: the profile stays loaded and the file on disk.
const Calls kMayStillRun = {"CloseHandle(logon-token)"};
const Calls kClosed = {"CloseHandle(job)", kClosedEvent, kClosedProcess};

INSTANTIATE_TEST_SUITE_P(
    Situations, StopPreviousEnclaveTest,
    ::testing::Values(
        StopCase{.name = "ProcessIdZero", .process_id = 0, .calls = kMayStillRun + kClosed},
        StopCase{.name = "NoProcessHandle",
                 .has_process = false,
                 .calls = kMayStillRun + Calls{"CloseHandle(job)", kClosedEvent}},
        StopCase{.name = "ExitCodeUnavailable",
                 .exit_code = std::unexpected(6u),
                 .calls = Calls{kQuery} + kMayStillRun + kClosed},
        // Ended by itself: what it left running in its job is ended before
        // anything it used is released.
        StopCase{.name = "EndedOnItsOwn",
                 .exit_code = 0u,
                 .calls = Calls{kQuery, kTerminateJob} + kReleasedAfterTheEnd + kClosed},
        StopCase{.name = "EndedWithExitCodeOne",
                 .exit_code = 1u,
                 .calls = Calls{kQuery, kTerminateJob} + kReleasedAfterTheEnd + kClosed},
        // STILL_ACTIVE (259) means running; an enclave that exited with 259
        // cannot be told apart, is treated the same and its wait returns at
        // once.
        StopCase{.name = "RunningAndExitsWhenSignalled",
                 .exit_code = 259u,
                 .calls = Calls{kQuery, kSet, kWait, kTerminateJob} + kReleasedAfterTheEnd + kClosed,
                 .log_lines = {kTerminating, "[BrisvanderSvc] Enclave PID 4242 exited gracefully"}},
        // The job is terminated in place of the enclave alone, and only once.
        StopCase{.name = "IgnoresItsEvent",
                 .wait_result = platform::wait_timeout,
                 .calls = Calls{kQuery, kSet, kWait, kTerminateJob, kWaitForTheEnd} + kReleasedAfterTheEnd + kClosed,
                 .log_lines = {kTerminating, kForced}},
        StopCase{.name = "WaitFails",
                 .wait_result = platform::wait_failed,
                 .calls = Calls{kQuery, kSet, kWait, kTerminateJob, kWaitForTheEnd} + kReleasedAfterTheEnd + kClosed,
                 .log_lines = {kTerminating, kForced}},
        StopCase{.name = "SurvivesTermination",
                 .wait_result = platform::wait_timeout,
                 .unkillable = true,
                 .calls = Calls{kQuery, kSet, kWait, kTerminateJob, kWaitForTheEnd} + kMayStillRun + kClosed,
                 .log_lines = {kTerminating, kForced}},
        StopCase{.name = "NoShutdownEvent",
                 .has_event = false,
                 .wait_result = platform::wait_timeout,
                 .calls = Calls{kQuery, kWait, kTerminateJob, kWaitForTheEnd} + kReleasedAfterTheEnd +
                          Calls{"CloseHandle(job)", kClosedProcess},
                 .log_lines = {kTerminating, kForced}},
        StopCase{.name = "NoJob",
                 .has_job = false,
                 .wait_result = platform::wait_timeout,
                 .calls = Calls{kQuery, kSet, kWait, kTerminate, kWaitForTheEnd} + kReleasedAfterTheEnd +
                          Calls{kClosedEvent, kClosedProcess},
                 .log_lines = {kTerminating, kForced}}),
    CaseName{});

TEST(StopPreviousEnclave, EmptyRecordDoesNothing) {
  fake::FakePlatform fake;
  Log log(fake.console);
  RunningEnclave record;
  stop_previous_enclave(record, fake.platform, log);
  EXPECT_TRUE(fake.log.calls().empty());
  EXPECT_TRUE(fake.console.err.empty());
}

TEST(StopPreviousEnclave, FailedDeletionOfTheFileIsIgnored) {
  fake::FakePlatform fake;
  Log log(fake.console);
  fake.processes.exit_codes[kProcess] = 0u;
  fake.files.delete_file_failures[kSecretFile] = 5;
  RunningEnclave record;
  remember_enclave(record, launched(fake, 4242, true, true));

  stop_previous_enclave(record, fake.platform, log);

  EXPECT_EQ(fake.log.calls(), (Calls{kQuery, kTerminateJob} + kReleasedAfterTheEnd + kClosed));
  EXPECT_TRUE(fake.console.err.empty());
}

TEST(ReleaseEnclaveRecord, ClosesTheHandlesAndLeavesTheEnclaveRunningWithItsProfileAndFile) {
  fake::FakePlatform fake;
  RunningEnclave record;
  remember_enclave(record, launched(fake, 4242, true, true));

  release_enclave_record(record);

  // The job is closed, not terminated: what runs in it outlives the service.
  EXPECT_EQ(fake.log.calls(), kMayStillRun + kClosed);
  EXPECT_FALSE(record.present);
  EXPECT_FALSE(record.enclave.process || record.enclave.shutdown_event || record.enclave.job ||
               record.enclave.logon_token);
  EXPECT_TRUE(fake.files.files.contains(kSecretFile));

  release_enclave_record(record);
  EXPECT_EQ(fake.log.calls().size(), 4u);
}

TEST(RunningEnclave, UnwindingReleasesInTheOrderOfAStop) {
  const auto releases = [](const fake::FakePlatform& fake) {
    return fake.log.only({"UnloadUserProfile", "CloseHandle"});
  };
  fake::FakePlatform stopped;
  {
    Log log(stopped.console);
    stopped.processes.exit_codes[kProcess] = 0u;
    RunningEnclave record;
    remember_enclave(record, launched(stopped, 4242, true, true));
    stop_previous_enclave(record, stopped.platform, log);
  }

  fake::FakePlatform unwound;
  try {
    RunningEnclave record;
    remember_enclave(record, launched(unwound, 4242, true, true));
    throw std::runtime_error("serving ended");
  } catch (const std::runtime_error&) {
  }

  // The profile is unloaded while the token it needs is still open.
  EXPECT_EQ(releases(unwound), releases(stopped));
  EXPECT_EQ(releases(unwound).front(), "UnloadUserProfile(logon-token)");
}

}  // namespace
}  // namespace bv::enclave
