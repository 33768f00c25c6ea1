#include "main/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.h"

namespace bv::entry {
namespace {

enum class Mode { service, install, uninstall, setup };

// The start of the first call that only the selected mode makes.
const char* first_call_of(Mode mode) {
  switch (mode) {
    case Mode::service:
      return "StartServiceCtrlDispatcherW(BrisvanderEnclaveSvc)";
    case Mode::install:
      return "OpenSCManagerW(0x3)";
    case Mode::uninstall:
      return "OpenSCManagerW(0x1)";
    case Mode::setup:
      return "CreateProcessW(";
  }
  return "";
}

struct CommandCase {
  const char* name;
  std::vector<std::u16string> arguments;
  Mode mode;
};

void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.name;
}

class CommandTable : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTable, SelectsExactlyOneMode) {
  fake::FakePlatform fp;
  fp.services.dispatcher_failure = 1063;  // a console run: service mode ends at once
  const auto& c = GetParam();

  run_process(c.arguments, fp.platform);

  for (Mode mode : {Mode::service, Mode::install, Mode::uninstall, Mode::setup}) {
    EXPECT_EQ(fp.log.count(first_call_of(mode)) > 0, mode == c.mode) << first_call_of(mode);
  }
  // Only a service run reports events; a console never does.
  EXPECT_EQ(fp.log.count("RegisterEventSourceW"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandTable,
    ::testing::Values(
        CommandCase{"none", {}, Mode::service}, CommandCase{"install", {u"--install"}, Mode::install},
        CommandCase{"uninstall", {u"--uninstall"}, Mode::uninstall}, CommandCase{"setup", {u"--setup-m5"}, Mode::setup},
        CommandCase{"install_then_more", {u"--install", u"--uninstall", u"x"}, Mode::install},
        CommandCase{"upper_case", {u"--INSTALL"}, Mode::service},
        CommandCase{"one_hyphen", {u"-install"}, Mode::service},
        CommandCase{"trailing_space", {u"--install "}, Mode::service},
        CommandCase{"leading_space", {u" --install"}, Mode::service},
        CommandCase{"shortened", {u"--setup"}, Mode::service}, CommandCase{"longer", {u"--setup-m5x"}, Mode::service},
        CommandCase{"en_dash", {u"\u2013install"}, Mode::service}, CommandCase{"empty", {u""}, Mode::service},
        CommandCase{"option_second", {u"word", u"--install"}, Mode::service},
        CommandCase{"help", {u"--help"}, Mode::service}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(ProcessEntry, DispatcherFailureIsOneFatalReport) {
  fake::FakePlatform fp;
  fp.services.dispatcher_failure = 1063;

  EXPECT_EQ(run_process({}, fp.platform), 101);
  EXPECT_EQ(fp.console.err, "Error: Failed to start service dispatcher: system error 1063: System message 1063.\n");
  EXPECT_EQ(fp.console.out, "");
}

TEST(ProcessEntry, StopRequestEndsServiceModeWithStatusZero) {
  fake::FakePlatform fp;
  fp.security.value = std::make_pair(platform::reg_sz, std::vector<std::uint8_t>{'p', 0, 'w', 0, 0, 0});
  fp.services.on_status = [&](const platform::ServiceStatus& status) {
    if (status.current_state == 4) {
      EXPECT_EQ(fp.services.handler(1, 0, nullptr, fp.services.handler_context), 0u);
    }
  };

  EXPECT_EQ(run_process({}, fp.platform), 0);
  ASSERT_EQ(fp.services.statuses.size(), 2u);
  EXPECT_EQ(fp.services.statuses.back().current_state, 1u);
  EXPECT_EQ(fp.console.err_lines().back(), R"([BrisvanderSvc] Password read OK. Listening on \\.\pipe\brisvander-svc)");
  // The service's log reports each of its lines as an event too.
  EXPECT_EQ(fp.events.reported.size(), fp.console.err_lines().size());
}

TEST(ProcessEntry, AdministrativeOutcomesBecomeExitStatuses) {
  {
    fake::FakePlatform fp;
    fp.services.service_exists = true;
    EXPECT_EQ(run_process({u"--install"}, fp.platform), 0);
    EXPECT_EQ(fp.console.err, "");
  }
  {
    fake::FakePlatform fp;
    EXPECT_EQ(run_process({u"--uninstall"}, fp.platform), 0);
    EXPECT_EQ(fp.console.out, "Service 'BrisvanderEnclaveSvc' not registered \xE2\x80\x94 nothing to uninstall.\n");
  }
  {
    fake::FakePlatform fp;
    fp.services.open_manager_failure = 5;
    EXPECT_EQ(run_process({u"--uninstall"}, fp.platform), 101);
    EXPECT_EQ(fp.console.err, "Error: Failed to open SCM (run as Administrator): system error 5: System message 5.\n");
  }
  {
    fake::FakePlatform fp;
    fp.processes.on_run = [](auto, auto) { return platform::Result<std::uint32_t>(1u); };
    EXPECT_EQ(run_process({u"--setup-m5"}, fp.platform), 1);
  }
}

}  // namespace
}  // namespace bv::entry
