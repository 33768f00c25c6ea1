#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "fake/fake_platform.h"

namespace bv {
namespace {

class LogTest : public ::testing::Test {
 protected:
  LogTest() { events.open(); }

  fake::FakePlatform fp;
  EventReporter events{fp.events, fp.clock};
  Log log{fp.console, events};
};

TEST_F(LogTest, AKindOfTwoLinesWritesTwoTaggedLinesAndOneEvent) {
  log.report(Event::password_unreadable, "RegQueryValueExW failed: 2");

  EXPECT_EQ(fp.console.err,
            "[BrisvanderSvc] Cannot read SvcUserPwd: RegQueryValueExW failed: 2\n"
            "[BrisvanderSvc] Run provision-user.ps1 as Administrator first.\n");
  EXPECT_EQ(fp.events.reported, (std::vector<fake::ReportedEvent>{{1, 0xC0000066, {"RegQueryValueExW failed: 2"}}}));
}

TEST_F(LogTest, InsertsAreWrittenAsTheyAre) {
  // A caller's image path is the client's to choose.
  const std::string reason = R"(Caller 'C:\%1%2\x.exe' is not companion-app.exe)";
  log.report(Event::rejected_caller, reason);

  EXPECT_EQ(fp.console.err_lines(), std::vector<std::string>{"[BrisvanderSvc] Rejected SPAWN caller: " + reason});
  ASSERT_EQ(fp.events.reported.size(), 1u);
  EXPECT_EQ(fp.events.reported[0].inserts, std::vector<std::string>{reason});
}

TEST_F(LogTest, AnEventWithoutALineLeavesStandardErrorAlone) {
  log.report(Event::enclave_launched, "4242", "C:\\a\\companion-app.exe", "S-1-5-21-1", "C:\\b\\vault-enclave.exe");

  EXPECT_EQ(fp.console.err, "");
  ASSERT_EQ(fp.events.reported.size(), 1u);
  EXPECT_EQ(fp.events.reported[0].inserts.size(), 4u);
}

}  // namespace
}  // namespace bv
