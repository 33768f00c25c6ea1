#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_reporter.h"
#include "fake/fake_platform.h"

namespace bv {
namespace {

using namespace std::chrono_literals;
using fake::ReportedEvent;

constexpr std::uint32_t rejected_id = 0x800000C9;    // warning 201
constexpr std::uint32_t read_error_id = 0x800000C8;  // warning 200
constexpr std::uint32_t left_out_id = 0x80000384;    // warning 900

class EventReporterTest : public ::testing::Test {
 protected:
  void report(Event event, std::string_view insert = "x") {
    const std::string_view inserts[] = {insert};
    reporter.report(event_kind(event), inserts);
  }
  std::size_t reported(std::uint32_t id) const {
    std::size_t count = 0;
    for (const auto& event : fp.events.reported) count += event.id == id ? 1 : 0;
    return count;
  }

  fake::FakePlatform fp;
  EventReporter reporter{fp.events, fp.clock};
};

TEST_F(EventReporterTest, NothingIsReportedOutsideTheSourcesLife) {
  report(Event::started);
  reporter.open();
  report(Event::started, "BrisvanderUser");
  reporter.close();
  report(Event::started);

  EXPECT_EQ(fp.log.calls(), (std::vector<std::string>{"RegisterEventSourceW(BrisvanderEnclaveSvc)",
                                                      "ReportEventW(0x40000064)", "DeregisterEventSource"}));
  EXPECT_EQ(fp.events.reported, (std::vector<ReportedEvent>{{4, 0x40000064, {"BrisvanderUser"}}}));

  // A source that cannot be registered reports nothing, and nothing fails.
  fake::FakePlatform refused;
  refused.events.register_failure = 5;
  EventReporter without(refused.events, refused.clock);
  without.open();
  const std::string_view inserts[] = {"x"};
  without.report(event_kind(Event::spawn_error), inserts);
  without.report_left_out();
  without.close();
  EXPECT_TRUE(refused.events.reported.empty());
}

TEST_F(EventReporterTest, TheTypeFollowsTheKind) {
  reporter.open();
  report(Event::listening);
  report(Event::rejected_caller);
  report(Event::spawn_error);

  ASSERT_EQ(fp.events.reported.size(), 3u);
  EXPECT_EQ(fp.events.reported[0].type, 4u);  // EVENTLOG_INFORMATION_TYPE
  EXPECT_EQ(fp.events.reported[1].type, 2u);  // EVENTLOG_WARNING_TYPE
  EXPECT_EQ(fp.events.reported[2].type, 1u);  // EVENTLOG_ERROR_TYPE
}

TEST_F(EventReporterTest, TenAMinuteOfOneClientDrivenKindThenTheCountWhenTheNextComesAfterTheMinute) {
  reporter.open();
  for (int i = 0; i < 14; ++i) {
    report(Event::rejected_caller, std::to_string(i));
    fp.clock.advance(4s);  // the 14th comes 52 s after the first
  }
  EXPECT_EQ(reported(rejected_id), 10u);
  EXPECT_EQ(reported(left_out_id), 0u);

  // Still inside the minute that the first one opened.
  fp.clock.advance(3999ms);
  report(Event::rejected_caller, "in");
  EXPECT_EQ(reported(rejected_id), 10u);

  // A minute after the first: the count of that minute, then a new minute.
  fp.clock.advance(1ms);
  report(Event::rejected_caller, "next");
  ASSERT_EQ(fp.events.reported.size(), 12u);
  EXPECT_EQ(fp.events.reported[10], (ReportedEvent{2, left_out_id, {"5", "201"}}));
  EXPECT_EQ(fp.events.reported[11], (ReportedEvent{2, rejected_id, {"next"}}));
  EXPECT_EQ(fp.events.reported[9].inserts, std::vector<std::string>{"9"});
}

TEST_F(EventReporterTest, EachKindHasItsOwnWindowAndOtherKindsAreNeverLeftOut) {
  reporter.open();
  for (int i = 0; i < 12; ++i) {
    report(Event::rejected_caller);
    report(Event::read_error);
    report(Event::respawn);
  }
  EXPECT_EQ(reported(rejected_id), 10u);
  EXPECT_EQ(reported(read_error_id), 10u);
  EXPECT_EQ(reported(event_id(event_kind(Event::respawn))), 12u);

  // A quiet minute later no count is owed, however much earlier ones held.
  fp.clock.advance(2min);
  reporter.report_left_out();
  EXPECT_EQ(reported(left_out_id), 2u);
  fp.clock.advance(2min);
  report(Event::rejected_caller);
  reporter.report_left_out();
  EXPECT_EQ(reported(left_out_id), 2u);
}

TEST_F(EventReporterTest, TheStopReportsWhatItsOpenMinutesLeftOut) {
  reporter.open();
  for (int i = 0; i < 11; ++i) report(Event::spawn_error);
  for (int i = 0; i < 13; ++i) report(Event::read_error);
  for (int i = 0; i < 10; ++i) report(Event::pipe_creation_failed);

  reporter.report_left_out();

  const std::vector<ReportedEvent> left_out(fp.events.reported.end() - 2, fp.events.reported.end());
  EXPECT_EQ(left_out, (std::vector<ReportedEvent>{{2, left_out_id, {"3", "200"}}, {2, left_out_id, {"1", "202"}}}));
  EXPECT_EQ(fp.events.reported.size(), 32u);
}

}  // namespace
}  // namespace bv
