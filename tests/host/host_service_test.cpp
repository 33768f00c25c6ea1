#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/running_flag.h"
#include "enclave/launcher.h"
#include "fake/fake_platform.h"
#include "host/service.h"

namespace bv::host {
namespace {

using platform::ServiceStatus;

// What the Service Control Manager must see, field by field.
constexpr ServiceStatus expected_running{0x10, 4, 1, 0, 0, 0, 0};
constexpr ServiceStatus expected_stopped{0x10, 1, 0, 0, 0, 0, 0};

constexpr const char* started_line = "[BrisvanderSvc] Started. Reading BrisvanderUser password from registry...";
constexpr const char* listening_line = R"([BrisvanderSvc] Password read OK. Listening on \\.\pipe\brisvander-svc)";
constexpr const char* fatal_line = "[BrisvanderSvc] Fatal: IO error in winapi call";

struct ControlCase {
  const char* name;
  std::uint32_t control;
  std::uint32_t result;
  bool clears_flag;
};

void PrintTo(const ControlCase& c, std::ostream* os) {
  *os << c.name;
}

class ControlHandlerTable : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlHandlerTable, AnswersAndActs) {
  fake::CallLog log;
  HandlerShare share = std::make_shared<RunningFlag>(std::make_unique<fake::FakeWake>(log));
  const auto& c = GetParam();

  EXPECT_EQ(control_handler(c.control, 0, nullptr, &share), c.result);
  EXPECT_EQ(share->is_set(), !c.clears_flag);
  EXPECT_EQ(log.contains("SetEvent(wake)"), c.clears_flag);
}

INSTANTIATE_TEST_SUITE_P(Controls, ControlHandlerTable,
                         ::testing::Values(ControlCase{"stop", 1, 0, true}, ControlCase{"interrogate", 4, 0, false},
                                           ControlCase{"pause", 2, 120, false}, ControlCase{"continue", 3, 120, false},
                                           ControlCase{"shutdown", 5, 120, false},
                                           ControlCase{"param_change", 6, 120, false},
                                           ControlCase{"preshutdown", 15, 120, false},
                                           ControlCase{"user_defined_first", 128, 120, false},
                                           ControlCase{"user_defined_middle", 200, 120, false},
                                           ControlCase{"user_defined_last", 255, 120, false}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(ControlHandler, SecondStopIsAnsweredAndChangesNothing) {
  fake::CallLog log;
  HandlerShare share = std::make_shared<RunningFlag>(std::make_unique<fake::FakeWake>(log));

  EXPECT_EQ(control_handler(1, 0, nullptr, &share), 0u);
  EXPECT_EQ(control_handler(1, 0, nullptr, &share), 0u);
  EXPECT_FALSE(share->is_set());
}

class ServiceEntry : public ::testing::Test {
 protected:
  ServiceEntry() { store_password(u"Secret-Pw1"); }

  void store_password(std::u16string_view password) {
    std::vector<std::uint8_t> data;
    for (char16_t unit : password) {
      data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.insert(data.end(), {0, 0});
    fp.security.value = std::make_pair(platform::reg_sz, data);
  }

  void run(const std::vector<std::u16string>& arguments = {}) { service_entry(arguments, host); }

  // A control request as the dispatcher delivers it: through the registered
  // handler with the registered context.
  std::uint32_t send(std::uint32_t control) {
    return fp.services.handler(control, 0, nullptr, fp.services.handler_context);
  }

  // The order of the steps that matter to the Service Control Manager.
  std::vector<std::string> milestones() const {
    return fp.log.only({"RegisterServiceCtrlHandlerExW", "SetServiceStatus", "RegOpenKeyExW", "CreateNamedPipeW"});
  }

  fake::FakePlatform fp;
  EventReporter events{fp.events, fp.clock};
  Log log{fp.console, events};
  int launches = 0;
  broker::Launcher launch = [this](const enclave::LaunchInputs&) -> enclave::LaunchResult {
    ++launches;
    return std::unexpected(std::string("no launch in this test"));
  };
  HandlerShare share;
  ServiceHost host{fp.platform, log, events, launch, share};
};

TEST_F(ServiceEntry, StopWhileWaitingForClientEndsWithStoppedReport) {
  // The stop arrives while the pipe server waits for its first client.
  fp.services.on_status = [&](const ServiceStatus& status) {
    if (status.current_state == 4) fp.files.stop_when_idle = share.get();
  };

  run();

  EXPECT_EQ(fp.services.statuses, (std::vector<ServiceStatus>{expected_running, expected_stopped}));
  EXPECT_EQ(fp.console.err_lines(), (std::vector<std::string>{started_line, listening_line}));
  EXPECT_EQ(milestones(),
            (std::vector<std::string>{"RegisterServiceCtrlHandlerExW(BrisvanderEnclaveSvc)", "SetServiceStatus(4)",
                                      "RegOpenKeyExW(HKLM, SOFTWARE\\Brisvander, 1)",
                                      "CreateNamedPipeW(\\\\.\\pipe\\brisvander-svc)", "SetServiceStatus(1)"}));
  EXPECT_TRUE(fp.log.contains("SetEvent(wake)"));
  EXPECT_EQ(launches, 0);
  // The event source lives for the whole run, and each line is its event.
  // It ends before the stopped report, which may end the process (and the
  // frame that owns the reporter) at once.
  EXPECT_EQ(fp.log.calls().front(), "RegisterEventSourceW(BrisvanderEnclaveSvc)");
  EXPECT_EQ(fp.log.calls().back(), "SetServiceStatus(1)");
  EXPECT_EQ(fp.log.index_of("DeregisterEventSource") + 1, fp.log.calls().size() - 1);
  EXPECT_EQ(fp.events.reported, (std::vector<fake::ReportedEvent>{{4, 0x40000064, {"BrisvanderUser"}},
                                                                  {4, 0x40000065, {R"(\\.\pipe\brisvander-svc)"}}}));
}

TEST_F(ServiceEntry, StopThroughHandlerStaysRunningUntilPipeServerEnds) {
  std::vector<std::uint32_t> answers;
  fp.services.on_status = [&](const ServiceStatus& status) {
    if (status.current_state != 4) return;
    answers.push_back(send(1));
    // The handler answers at once and reports nothing itself.
    EXPECT_EQ(fp.services.statuses.size(), 1u);
  };

  // Start parameters have no effect.
  run({u"BrisvanderEnclaveSvc", u"--install"});

  EXPECT_EQ(answers, std::vector<std::uint32_t>{0});
  EXPECT_EQ(fp.services.statuses, (std::vector<ServiceStatus>{expected_running, expected_stopped}));
  EXPECT_EQ(fp.console.err_lines(), (std::vector<std::string>{started_line, listening_line}));
  EXPECT_FALSE(fp.log.contains("OpenSCManagerW(0x3)"));
}

TEST_F(ServiceEntry, HandlerContextOutlivesServiceThread) {
  fp.services.on_status = [&](const ServiceStatus& status) {
    if (status.current_state == 4) send(1);
  };
  run();

  // The dispatcher may still deliver a control after service_entry returned.
  ASSERT_EQ(fp.services.handler_context, static_cast<void*>(&share));
  ASSERT_TRUE(share);
  EXPECT_EQ(share.use_count(), 1);
  EXPECT_EQ(send(1), 0u);
  EXPECT_EQ(send(4), 0u);
  EXPECT_EQ(fp.services.statuses.size(), 2u);
}

TEST_F(ServiceEntry, WithoutWakeEventTheFlagStillStopsTheService) {
  fp.processes.wake_event_failure = 8;
  fp.services.on_status = [&](const ServiceStatus& status) {
    if (status.current_state == 4) send(1);
  };

  run();

  ASSERT_TRUE(share);
  EXPECT_EQ(share->wake_event(), nullptr);
  EXPECT_EQ(fp.services.statuses, (std::vector<ServiceStatus>{expected_running, expected_stopped}));
}

TEST_F(ServiceEntry, MissingRegistryKeyStopsWithServiceSpecificCode2WithoutPipe) {
  fp.security.open_key_status = 2;

  run();

  // A stop for a failure: the Service Control Manager records it (and
  // applies recovery), unlike a requested stop.
  ServiceStatus failed = expected_stopped;
  failed.win32_exit_code = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
  failed.service_specific_exit_code = 2;
  EXPECT_EQ(fp.services.statuses, (std::vector<ServiceStatus>{expected_running, failed}));
  const std::string message =
      "RegOpenKeyExW failed: 2 (key may not exist \xE2\x80\x94 run provision-user.ps1 as admin)";
  EXPECT_EQ(fp.console.err_lines(),
            (std::vector<std::string>{started_line, "[BrisvanderSvc] Cannot read SvcUserPwd: " + message,
                                      "[BrisvanderSvc] Run provision-user.ps1 as Administrator first."}));
  // Both lines are one error event.
  ASSERT_EQ(fp.events.reported.size(), 2u);
  EXPECT_EQ(fp.events.reported[1], (fake::ReportedEvent{1, 0xC0000066, {message}}));
  EXPECT_EQ(fp.log.count("CreateNamedPipeW"), 0u);
  EXPECT_EQ(fp.log.count("ConvertStringSecurityDescriptor"), 0u);
}

TEST_F(ServiceEntry, RegistrationFailureReportsNothing) {
  fp.services.register_failure = 1083;

  run();

  EXPECT_EQ(fp.log.count("SetServiceStatus"), 0u);
  EXPECT_EQ(fp.log.count("RegOpenKeyExW"), 0u);
  EXPECT_EQ(fp.console.err_lines(), std::vector<std::string>{fatal_line});
  // Nothing else shows why the service never started.
  ASSERT_EQ(fp.events.reported.size(), 1u);
  EXPECT_EQ(fp.events.reported[0], (fake::ReportedEvent{1, 0xC0000068, {"IO error in winapi call"}}));
  EXPECT_EQ(fp.log.calls().back(), "DeregisterEventSource");
}

TEST_F(ServiceEntry, RunningReportFailureEndsAtOnce) {
  fp.services.status_failures = {6};

  run();

  EXPECT_EQ(fp.log.count("SetServiceStatus"), 1u);
  EXPECT_EQ(fp.log.count("RegOpenKeyExW"), 0u);
  EXPECT_EQ(fp.console.err_lines(), std::vector<std::string>{fatal_line});
}

TEST_F(ServiceEntry, StoppedReportFailureWritesFatalLine) {
  fp.security.open_key_status = 5;
  fp.services.on_status = [&](const ServiceStatus& status) {
    if (status.current_state == 4) fp.services.status_failures.push_back(6);
  };

  run();

  EXPECT_EQ(fp.log.only({"SetServiceStatus"}),
            (std::vector<std::string>{"SetServiceStatus(4)", "SetServiceStatus(1)"}));
  EXPECT_EQ(fp.services.statuses, std::vector<ServiceStatus>{expected_running});
  ASSERT_FALSE(fp.console.err_lines().empty());
  EXPECT_EQ(fp.console.err_lines().back(), fatal_line);
}

// The account is given a new password while the service runs: the first
// logon with the password read at start is refused (1326), and the stored
// value is read again, as at start.
class ReprovisionedPassword : public ServiceEntry {
 protected:
  ReprovisionedPassword() {
    const std::u16string companion = u"C:\\Program Files\\Brisvander\\companion-app.exe";
    fp.processes.image_names[4100] = platform::ImageName{companion, static_cast<std::uint32_t>(companion.size())};
    fp.processes.sids["token:4100"] = u"S-1-5-21-7-8-9-1001";
    fp.processes.environment = {{u"ProgramFiles", u"C:\\Program Files"}};
    fp.processes.refused_passwords["Secret-Pw1"] = 1326;
    fp.files.clients.push_back({.sends = "SPAWN 0123456789abcdef0123456789abcdef " + std::string(64, 'a') +
                                         " C:\\Program Files\\Brisvander\\vault-enclave.exe\n"});
    fp.services.on_status = [&](const ServiceStatus& status) {
      if (status.current_state == 4) fp.files.stop_when_idle = share.get();
    };
  }

  // Serves the one request, with `reprovision` done to the stored value just
  // before its launch; the reply.
  std::string serve(const std::function<void()>& reprovision) {
    launch = [&](const enclave::LaunchInputs& inputs) {
      reprovision();
      return enclave::launch_enclave(inputs, fp.platform, log);
    };
    run();
    EXPECT_EQ(fp.files.served.size(), 1u);
    return fp.files.served.empty() ? "" : fp.files.served.front().received;
  }
};

TEST_F(ReprovisionedPassword, NewStoredPasswordIsUsedForTheSecondLogon) {
  EXPECT_EQ(serve([&] { store_password(u"Secret-Pw2"); }), "OK 4242\n");

  EXPECT_EQ(fp.log.only({"LogonUserW", "RegOpenKeyExW"}),
            (std::vector<std::string>{
                "RegOpenKeyExW(HKLM, SOFTWARE\\Brisvander, 1)", "LogonUserW(BrisvanderUser, ., Secret-Pw1)",
                "RegOpenKeyExW(HKLM, SOFTWARE\\Brisvander, 1)", "LogonUserW(BrisvanderUser, ., Secret-Pw2)"}));
  // A read that succeeds writes nothing.
  EXPECT_EQ(fp.console.err_lines(), (std::vector<std::string>{started_line, listening_line}));
}

TEST_F(ReprovisionedPassword, UnreadableValueIsLoggedAsAtStartAndTheRefusalIsTheReply) {
  EXPECT_EQ(serve([&] { fp.security.value.reset(); }), "ERR LogonUser failed for 'BrisvanderUser': error 1326\n");

  EXPECT_EQ(fp.log.count("LogonUserW"), 1u);
  EXPECT_EQ(fp.console.err_lines(),
            (std::vector<std::string>{
                started_line, listening_line, "[BrisvanderSvc] Cannot read SvcUserPwd: RegQueryValueExW failed: 2",
                "[BrisvanderSvc] Run provision-user.ps1 as Administrator first.",
                "[BrisvanderSvc] Spawn error: LogonUser failed for 'BrisvanderUser': error 1326"}));
  EXPECT_EQ(fp.services.statuses.back(), expected_stopped);
}

TEST_F(ServiceEntry, ExceptionWhileServingReportsAFailedStop) {
  // No client and no stop: the fake pipe throws from the wait, standing in for
  // anything the broker might throw on the service thread.
  run();

  ServiceStatus failed = expected_stopped;
  failed.win32_exit_code = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
  failed.service_specific_exit_code = 1;
  EXPECT_EQ(fp.services.statuses, (std::vector<ServiceStatus>{expected_running, failed}));
  ASSERT_FALSE(fp.console.err_lines().empty());
  EXPECT_TRUE(fp.console.err_lines().back().starts_with("[BrisvanderSvc] Fatal: "));
  ASSERT_FALSE(fp.events.reported.empty());
  EXPECT_EQ(fp.events.reported.back().id, 0xC0000069u);  // the failed serving loop's own ID
}

TEST_F(ServiceEntry, EventsLeftOutAreCountedBeforeTheStoppedReport) {
  // A program that is not the companion application connects again and
  // again; the stop comes once it is done.
  fp.processes.image_names[4100] = platform::ImageName{u"C:\\x\\cmd.exe", 12};
  for (int i = 0; i < 13; ++i) fp.files.clients.push_back({.sends = "SPAWN\n"});
  fp.services.on_status = [&](const ServiceStatus& status) {
    if (status.current_state == 4) fp.files.stop_when_idle = share.get();
  };

  run();

  EXPECT_EQ(fp.log.count("ReportEventW(0x800000c9)"), 10u);
  ASSERT_EQ(fp.log.count("ReportEventW(0x80000384)"), 1u);
  EXPECT_EQ(fp.events.reported.back(), (fake::ReportedEvent{2, 0x80000384, {"3", "201"}}));
  EXPECT_LT(fp.log.index_of("ReportEventW(0x80000384)"), fp.log.index_of("SetServiceStatus(1)"));
  EXPECT_EQ(fp.console.err_lines().size(), 2u + 13u);
}

}  // namespace
}  // namespace bv::host
