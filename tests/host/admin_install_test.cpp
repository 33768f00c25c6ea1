#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "admin/install.h"
#include "admin/quoting.h"
#include "fake/fake_platform.h"

namespace bv::admin {
namespace {

constexpr const char* installed_line = "Service 'BrisvanderEnclaveSvc' installed and set to AutoStart (LocalSystem).\n";
constexpr const char* already_line =
    "Service 'BrisvanderEnclaveSvc' already registered \xE2\x80\x94 skipping install.\n";
constexpr const char* uninstalled_line = "Service 'BrisvanderEnclaveSvc' uninstalled.\n";
constexpr const char* not_registered_line =
    "Service 'BrisvanderEnclaveSvc' not registered \xE2\x80\x94 nothing to uninstall.\n";

std::vector<std::string> service_calls(const fake::CallLog& log) {
  return log.only({"OpenSCManagerW", "OpenServiceW", "CreateServiceW", "ChangeServiceConfig2W", "DeleteService",
                   "CloseServiceHandle"});
}

const std::string event_source_key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\BrisvanderEnclaveSvc";

struct QuoteCase {
  const char* name;
  std::string path;
  std::string expected;
};

void PrintTo(const QuoteCase& c, std::ostream* os) {
  *os << c.name;
}

class BinaryPathQuoting : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(BinaryPathQuoting, FollowsArgumentRule) {
  EXPECT_EQ(quote_binary_path(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BinaryPathQuoting,
    ::testing::Values(QuoteCase{"plain", R"(C:\bv\svc.exe)", R"(C:\bv\svc.exe)"},
                      QuoteCase{"space", R"(C:\Program Files\svc.exe)", R"("C:\Program Files\svc.exe")"},
                      QuoteCase{"tab", "C:\\a\tb.exe", "\"C:\\a\tb.exe\""},
                      QuoteCase{"line_feed", "C:\\a\nb.exe", "\"C:\\a\nb.exe\""},
                      QuoteCase{"vertical_tab", "C:\\a\vb.exe", "\"C:\\a\vb.exe\""},
                      QuoteCase{"form_feed_is_not_a_trigger", "C:\\a\fb.exe", "C:\\a\fb.exe"},
                      QuoteCase{"quote", R"(C:\a"b.exe)", R"("C:\a\"b.exe")"},
                      QuoteCase{"backslashes_before_quote", R"(a\\"b)", R"("a\\\\\"b")"},
                      QuoteCase{"trailing_backslashes_quoted", R"(C:\my dir\\)", R"("C:\my dir\\\\")"},
                      QuoteCase{"trailing_backslash_unquoted", R"(C:\dir\)", R"(C:\dir\)"},
                      QuoteCase{"inner_backslashes_kept", R"(\\server\share x\\a)", R"("\\server\share x\\a")"},
                      QuoteCase{"non_ascii",
                                "C:\\Donn\xC3\xA9"
                                "es x\\s.exe",
                                "\"C:\\Donn\xC3\xA9"
                                "es x\\s.exe\""},
                      QuoteCase{"empty", "", R"("")"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(ArgumentQuoting, TrailingBackslashIsDoubledBeforeTheClosingQuote) {
  EXPECT_EQ(quote_argument(R"(C:\x\)"), R"("C:\x\\")");
}

TEST(InstallService, RegistersAutoStartLocalSystemService) {
  fake::FakePlatform fp;

  EXPECT_EQ(install_service(fp.platform), CommandResult(0));

  ASSERT_TRUE(fp.services.created);
  const auto& d = *fp.services.created;
  EXPECT_EQ(d.name, u"BrisvanderEnclaveSvc");
  EXPECT_EQ(d.display_name, u"Brisvander Enclave Service");
  EXPECT_EQ(d.access, 0xF01FFu);
  EXPECT_EQ(d.service_type, 0x10u);
  EXPECT_EQ(d.start_type, 2u);
  EXPECT_EQ(d.error_control, 1u);
  EXPECT_EQ(d.binary_path, u"\"C:\\Program Files\\Brisvander\\brisvander-svc.exe\"");
  EXPECT_EQ(
      service_calls(fp.log),
      (std::vector<std::string>{"OpenSCManagerW(0x3)", "OpenServiceW(BrisvanderEnclaveSvc, 0x4)",
                                "CreateServiceW(BrisvanderEnclaveSvc)", "ChangeServiceConfig2W(DESCRIPTION)",
                                "ChangeServiceConfig2W(FAILURE_ACTIONS)", "ChangeServiceConfig2W(FAILURE_ACTIONS_FLAG)",
                                "CloseServiceHandle(new-service)", "CloseServiceHandle(manager)"}));
  EXPECT_EQ(fp.console.out, installed_line);
  EXPECT_EQ(fp.console.err, "");
}

TEST(InstallService, DescribesTheServiceAndRestartsItTwiceAfterFailures) {
  fake::FakePlatform fp;

  ASSERT_EQ(install_service(fp.platform), CommandResult(0));

  ASSERT_TRUE(fp.services.description);
  EXPECT_EQ(fake::narrow(*fp.services.description), service_description());
  // Restart after 10 s on the first and second failure, nothing after the
  // third (the last action repeats); the count starts again after a day.
  const platform::FailureActions recovery{.reset_period_s = 86'400, .actions = {{1, 10'000}, {1, 10'000}, {0, 0}}};
  EXPECT_EQ(fp.services.failure_actions, recovery);
  // A stop with an error code (no password, serving failed) counts too.
  EXPECT_EQ(fp.services.failure_actions_flag, true);
}

TEST(InstallService, RegistersTheExecutableAsTheEventSourcesMessageFile) {
  fake::FakePlatform fp;

  ASSERT_EQ(install_service(fp.platform), CommandResult(0));

  // The file's path itself, not the quoted command line of the registration.
  const fake::FakeSecurityRegistry::WrittenKey expected{
      {"EventMessageFile", {2, "C:\\Program Files\\Brisvander\\brisvander-svc.exe"}}, {"TypesSupported", {4, "7"}}};
  EXPECT_EQ(fp.security.keys,
            (std::map<std::string, fake::FakeSecurityRegistry::WrittenKey>{{event_source_key, expected}}));
  EXPECT_TRUE(fp.log.contains("RegCreateKeyExW(HKLM, " + event_source_key + ", 2)"));
  EXPECT_TRUE(fp.log.contains("RegCloseKey(" + event_source_key + ")"));
}

TEST(InstallService, SettingsTheSystemRefusesAreNamedOnStandardErrorAndTheInstallGoesOn) {
  struct Case {
    const char* name;
    void (*arrange)(fake::FakePlatform&);
    std::string warning;
  };
  const Case cases[] = {
      {"description", [](fake::FakePlatform& fp) { fp.services.config_failures["DESCRIPTION"] = 5; },
       "Warning: could not set the service description: system error 5: System message 5.\n"},
      {"failure_actions", [](fake::FakePlatform& fp) { fp.services.config_failures["FAILURE_ACTIONS"] = 5; },
       "Warning: could not set the recovery actions (restart after 10 s on the first and second failure): system "
       "error 5: System message 5.\n"},
      // What Wine answers.
      {"failure_actions_flag",
       [](fake::FakePlatform& fp) { fp.services.config_failures["FAILURE_ACTIONS_FLAG"] = 124; },
       "Warning: could not make a stop with an error code count as a failure for recovery: system error 124: "
       "System message 124.\n"},
      {"event_source_key", [](fake::FakePlatform& fp) { fp.security.create_key_status = 5; },
       "Warning: could not register the event source (Event Viewer then shows the service's events without their "
       "text): system error 5: System message 5.\n"},
      {"event_source_value", [](fake::FakePlatform& fp) { fp.security.set_value_status = 1021; },
       "Warning: could not register the event source (Event Viewer then shows the service's events without their "
       "text): system error 1021: System message 1021.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakePlatform fp;
    c.arrange(fp);

    EXPECT_EQ(install_service(fp.platform), CommandResult(0));
    EXPECT_EQ(fp.console.out, installed_line);
    EXPECT_EQ(fp.console.err, c.warning);
    // Each setting is tried whatever became of the others.
    EXPECT_EQ(fp.log.count("ChangeServiceConfig2W"), 3u);
    EXPECT_TRUE(fp.log.contains("RegCreateKeyExW(HKLM, " + event_source_key + ", 2)"));
    EXPECT_EQ(fp.log.calls().back(), "CloseServiceHandle(manager)");
  }
}

TEST(InstallService, PathWithoutBlanksIsRegisteredUnquoted) {
  fake::FakePlatform fp;
  fp.processes.executable = std::u16string(u"C:\\bv\\brisvander-svc.exe");

  ASSERT_EQ(install_service(fp.platform), CommandResult(0));
  ASSERT_TRUE(fp.services.created);
  EXPECT_EQ(fp.services.created->binary_path, u"C:\\bv\\brisvander-svc.exe");
}

TEST(InstallService, AlreadyRegisteredIsLeftUnchanged) {
  fake::FakePlatform fp;
  fp.services.service_exists = true;

  EXPECT_EQ(install_service(fp.platform), CommandResult(0));

  EXPECT_EQ(service_calls(fp.log),
            (std::vector<std::string>{"OpenSCManagerW(0x3)", "OpenServiceW(BrisvanderEnclaveSvc, 0x4)",
                                      "CloseServiceHandle(service)", "CloseServiceHandle(manager)"}));
  EXPECT_EQ(fp.console.out, already_line);
  EXPECT_EQ(fp.log.count("RegCreateKeyExW"), 0u);
}

TEST(InstallService, FatalErrorsCarryContextAndCode) {
  struct Case {
    const char* name;
    void (*arrange)(fake::FakePlatform&);
    FatalError expected;
  };
  const Case cases[] = {
      {"manager",
       [](fake::FakePlatform& fp) { fp.services.open_manager_failure = 5; },
       {"Failed to open SCM (run as Administrator)", 5}},
      {"executable",
       [](fake::FakePlatform& fp) { fp.processes.executable = std::unexpected(122u); },
       {"current_exe", 122}},
      // Present but not openable for status queries: the create says it exists.
      {"exists_unopenable",
       [](fake::FakePlatform& fp) {
         fp.services.service_exists = true;
         fp.services.open_service_failure = 5;
       },
       {"Failed to create service", 1073}},
      {"create", [](fake::FakePlatform& fp) { fp.services.create_failure = 1078; }, {"Failed to create service", 1078}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakePlatform fp;
    c.arrange(fp);
    EXPECT_EQ(install_service(fp.platform), CommandResult(std::unexpected(c.expected)));
    EXPECT_EQ(fp.console.out, "");
  }
}

TEST(UninstallService, DeletesRegisteredService) {
  fake::FakePlatform fp;
  fp.services.service_exists = true;

  EXPECT_EQ(uninstall_service(fp.platform), CommandResult(0));

  EXPECT_EQ(service_calls(fp.log),
            (std::vector<std::string>{"OpenSCManagerW(0x1)", "OpenServiceW(BrisvanderEnclaveSvc, 0x10000)",
                                      "DeleteService", "CloseServiceHandle(service)", "CloseServiceHandle(manager)"}));
  EXPECT_FALSE(fp.services.service_exists);
  EXPECT_EQ(fp.console.out, uninstalled_line);
}

TEST(UninstallService, RemovesTheEventSourceAndToleratesItsAbsence) {
  struct Case {
    const char* name;
    bool key_exists;
    std::optional<std::int32_t> delete_status;
    std::string warning;
  };
  const Case cases[] = {
      {"present", true, std::nullopt, ""},
      {"absent", false, std::nullopt, ""},
      {"refused", true, 5, "Warning: could not remove the event source: system error 5: System message 5.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakePlatform fp;
    fp.services.service_exists = true;
    if (c.key_exists) fp.security.keys[event_source_key]["TypesSupported"] = {4, "7"};
    fp.security.delete_key_status = c.delete_status;

    EXPECT_EQ(uninstall_service(fp.platform), CommandResult(0));
    EXPECT_EQ(fp.console.out, uninstalled_line);
    EXPECT_EQ(fp.console.err, c.warning);
    EXPECT_EQ(fp.log.index_of("RegDeleteKeyW(HKLM, " + event_source_key + ")"), fp.log.index_of("DeleteService") + 1);
    EXPECT_EQ(fp.security.keys.count(event_source_key), c.delete_status ? 1u : 0u);
  }
}

TEST(UninstallService, UnopenableServiceCountsAsNotRegistered) {
  for (bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "refused" : "absent");
    fake::FakePlatform fp;
    fp.services.service_exists = exists;
    if (exists) fp.services.open_service_failure = 5;

    EXPECT_EQ(uninstall_service(fp.platform), CommandResult(0));
    EXPECT_EQ(fp.log.count("DeleteService"), 0u);
    EXPECT_EQ(fp.log.count("RegDeleteKeyW"), 0u);
    EXPECT_EQ(fp.console.out, not_registered_line);
    EXPECT_EQ(fp.log.calls().back(), "CloseServiceHandle(manager)");
  }
}

TEST(UninstallService, FatalErrors) {
  {
    fake::FakePlatform fp;
    fp.services.open_manager_failure = 5;
    EXPECT_EQ(uninstall_service(fp.platform),
              CommandResult(std::unexpected(FatalError{"Failed to open SCM (run as Administrator)", 5})));
  }
  {
    fake::FakePlatform fp;
    fp.services.service_exists = true;
    fp.services.delete_failure = 1072;
    EXPECT_EQ(uninstall_service(fp.platform),
              CommandResult(std::unexpected(FatalError{"Failed to delete service", 1072})));
    EXPECT_EQ(fp.console.out, "");
  }
}

}  // namespace
}  // namespace bv::admin
