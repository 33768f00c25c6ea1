#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "enclave/running_enclave.h"
#include "fake/fake_platform.h"

namespace bv::enclave {
namespace {

using Calls = std::vector<std::string>;

constexpr const char* kProcess = "enclave-process:4242";
constexpr const char* kEvent = "event:brisvander-shutdown-0123";

struct StopCase {
  const char* name;
  std::uint32_t process_id = 4242;
  bool has_process = true;
  bool has_event = true;
  std::optional<platform::Result<std::uint32_t>> exit_code;  // none: still active
  std::optional<std::uint32_t> wait_result;                  // none: WAIT_OBJECT_0
  Calls calls;                                               // every platform call, in order
  std::vector<std::string> log_lines;
};

void PrintTo(const StopCase& c, std::ostream* os) {
  *os << c.name;
}

class StopPreviousEnclaveTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopPreviousEnclaveTest, FollowsTheRowOfItsSituation) {
  const auto& c = GetParam();
  fake::FakePlatform fake;
  Log log(fake.console);
  if (c.exit_code) fake.processes.exit_codes[kProcess] = *c.exit_code;
  if (c.wait_result) fake.processes.wait_results[kProcess] = *c.wait_result;

  RunningEnclave record;
  remember_enclave(record, {.process_id = c.process_id,
                            .process = c.has_process ? fake::make_object(fake.log, kProcess) : nullptr,
                            .shutdown_event = c.has_event ? fake::make_object(fake.log, kEvent) : nullptr});
  stop_previous_enclave(record, fake.processes, log);

  EXPECT_EQ(fake.log.calls(), c.calls);
  EXPECT_EQ(fake.console.err_lines(), c.log_lines);
  EXPECT_FALSE(record.present);
  EXPECT_FALSE(record.process || record.shutdown_event);
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
const std::string kTerminating = "[BrisvanderSvc] Terminating previous enclave PID 4242 for respawn";

INSTANTIATE_TEST_SUITE_P(
    Situations, StopPreviousEnclaveTest,
    ::testing::Values(
        StopCase{.name = "ProcessIdZero", .process_id = 0, .calls = {kClosedEvent, kClosedProcess}},
        StopCase{.name = "NoProcessHandle", .has_process = false, .calls = {kClosedEvent}},
        StopCase{.name = "ExitCodeUnavailable",
                 .exit_code = std::unexpected(6u),
                 .calls = {kQuery, kClosedEvent, kClosedProcess}},
        StopCase{.name = "EndedOnItsOwn", .exit_code = 0u, .calls = {kQuery, kClosedEvent, kClosedProcess}},
        StopCase{.name = "EndedWithExitCodeOne", .exit_code = 1u, .calls = {kQuery, kClosedEvent, kClosedProcess}},
        // STILL_ACTIVE (259) means running; an enclave that exited with 259
        // cannot be told apart, is treated the same and its wait returns at
        // once.
        StopCase{.name = "RunningAndExitsWhenSignalled",
                 .exit_code = 259u,
                 .calls = {kQuery, kSet, kWait, kClosedEvent, kClosedProcess},
                 .log_lines = {kTerminating, "[BrisvanderSvc] Enclave PID 4242 exited gracefully"}},
        StopCase{.name = "IgnoresItsEvent",
                 .wait_result = platform::wait_timeout,
                 .calls = {kQuery, kSet, kWait, kTerminate, kClosedEvent, kClosedProcess},
                 .log_lines = {kTerminating, "[BrisvanderSvc] Force-terminated enclave PID 4242"}},
        StopCase{.name = "WaitFails",
                 .wait_result = platform::wait_failed,
                 .calls = {kQuery, kSet, kWait, kTerminate, kClosedEvent, kClosedProcess},
                 .log_lines = {kTerminating, "[BrisvanderSvc] Force-terminated enclave PID 4242"}},
        StopCase{.name = "NoShutdownEvent",
                 .has_event = false,
                 .wait_result = platform::wait_timeout,
                 .calls = {kQuery, kWait, kTerminate, kClosedProcess},
                 .log_lines = {kTerminating, "[BrisvanderSvc] Force-terminated enclave PID 4242"}}),
    CaseName{});

TEST(StopPreviousEnclave, EmptyRecordDoesNothing) {
  fake::FakePlatform fake;
  Log log(fake.console);
  RunningEnclave record;
  stop_previous_enclave(record, fake.processes, log);
  EXPECT_TRUE(fake.log.calls().empty());
  EXPECT_TRUE(fake.console.err.empty());
}

TEST(ReleaseEnclaveRecord, ClosesTheHandlesAndLeavesTheEnclaveRunning) {
  fake::FakePlatform fake;
  RunningEnclave record;
  remember_enclave(record, {4242, fake::make_object(fake.log, kProcess), fake::make_object(fake.log, kEvent)});

  release_enclave_record(record);

  EXPECT_EQ(fake.log.calls(), (Calls{kClosedEvent, kClosedProcess}));
  EXPECT_FALSE(record.present);
  EXPECT_FALSE(record.process || record.shutdown_event);

  release_enclave_record(record);
  EXPECT_EQ(fake.log.calls().size(), 2u);
}

}  // namespace
}  // namespace bv::enclave
