#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker/caller.h"
#include "fake/fake_platform.h"

namespace bv::broker {
namespace {

using Calls = std::vector<std::string>;

const std::u16string kCompanion = u"C:\\Program Files\\Brisvander\\companion-app.exe";
const std::string kNotLocal = "Caller image is not on a local drive";

platform::ImageName image(std::u16string units) {
  const auto size = static_cast<std::uint32_t>(units.size());
  return {std::move(units), size};
}

struct CallerCase {
  const char* name;
  std::optional<platform::Result<platform::ImageName>> image;  // none: the query fails
  std::string reason;                                          // empty: accepted
  std::uint32_t trust = 0;
  platform::Result<std::uint32_t> process_id = 4100;
  bool process_opens = true;
  std::uint32_t drive_type = platform::drive_fixed;  // what GetDriveTypeW says of the image's drive
};

void PrintTo(const CallerCase& c, std::ostream* os) {
  *os << c.name;
}

class VerifyCallerTest : public ::testing::TestWithParam<CallerCase> {
 protected:
  VerifyCallerTest() { fake.files.clients.push_back({}); }

  std::expected<CallerIdentity, std::string> verify(const CallerCase& c) {
    fake.files.clients.front().process_id = c.process_id;
    for (const char* root : {"C:\\", "c:\\", "Z:\\"}) fake.files.drive_types[root] = c.drive_type;
    if (c.image) fake.processes.image_names[4100] = *c.image;
    if (!c.process_opens) fake.processes.open_process_failures[4100] = 87;
    if (c.trust != 0) fake.trust.results[fake::narrow(kCompanion)] = c.trust;
    fake::FakePipe pipe(fake.files, &fake.files.clients.front());
    return verify_caller(pipe, fake.platform);
  }

  fake::FakePlatform fake;
};

TEST_P(VerifyCallerTest, GivesTheVerdict) {
  const auto& c = GetParam();
  const auto verdict = verify(c);
  if (c.reason.empty()) {
    ASSERT_TRUE(verdict.has_value()) << verdict.error();
    // An accepted caller's process stays open for the request's SID lookup.
    EXPECT_TRUE(verdict->process);
    EXPECT_FALSE(fake.log.contains("CloseHandle(process:4100)"));
  } else {
    ASSERT_FALSE(verdict.has_value());
    EXPECT_EQ(verdict.error(), c.reason);
    // A rejected caller's process handle does not outlive the verdict.
    const bool opened = c.process_id.has_value() && c.process_opens;
    EXPECT_EQ(fake.log.count("CloseHandle(process:4100)"), opened ? 1u : 0u);
  }
  // Nothing of a caller off the local drives is opened as a file, and the
  // caller is never logged by the verification itself.
  if (c.reason == kNotLocal) {
    EXPECT_EQ(fake.log.count("WinVerifyTrust"), 0u);
  }
  EXPECT_TRUE(fake.console.err.empty());
}

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& p) const {
    return p.param.name;
  }
};

INSTANTIATE_TEST_SUITE_P(
    Verdicts, VerifyCallerTest,
    ::testing::Values(
        CallerCase{"SignedCompanion", image(kCompanion), ""},
        CallerCase{"NoClientProcessId", image(kCompanion), "GetNamedPipeClientProcessId failed: 233", 0,
                   std::unexpected(233u)},
        CallerCase{"ProcessGone", image(kCompanion), "OpenProcess failed for caller PID 4100", 0, 4100u, false},
        CallerCase{"ImageQueryFails", std::nullopt, "QueryFullProcessImageNameW failed for caller PID 4100"},
        CallerCase{"ImageLongerThanBuffer", platform::ImageName{kCompanion, 1025},
                   "QueryFullProcessImageNameW failed for caller PID 4100"},
        CallerCase{"ImageFillingTheBuffer", image(u"C:\\" + std::u16string(1003, u'a') + u"\\companion-app.exe"), ""},
        CallerCase{"OnlyTheReportedUnitsCount", platform::ImageName{u"C:\\x\\companion-app.exe\\cmd.exe", 22}, ""},
        CallerCase{"OtherProgram", image(u"C:\\Windows\\System32\\cmd.exe"),
                   "Caller 'C:\\Windows\\System32\\cmd.exe' is not companion-app.exe"},
        CallerCase{"NameInCapitals", image(u"C:\\Program Files\\App\\COMPANION-APP.EXE"), ""},
        CallerCase{"NameMerelyEndsWithCompanion", image(u"C:\\Tools\\mycompanion-app.exe"), ""},
        CallerCase{"NameFollowedByMore", image(u"C:\\App\\companion-app.exe.bak"),
                   "Caller 'C:\\App\\companion-app.exe.bak' is not companion-app.exe"},
        CallerCase{"NonAsciiCapitalsKeptInReason", image(u"C:\\\u00c4PPS\\\u03a3\\VAULT.EXE"),
                   "Caller 'C:\\\u00c4PPS\\\u03a3\\VAULT.EXE' is not companion-app.exe"},
        CallerCase{"LoneSurrogateBecomesReplacement", image(u"C:\\\xD800\\cmd.exe"),
                   "Caller 'C:\\\ufffd\\cmd.exe' is not companion-app.exe"},
        CallerCase{"Unsigned", image(kCompanion), "Authenticode failed (0x800B0100)", 0x800B0100},
        CallerCase{"TamperedWith", image(kCompanion), "Authenticode failed (0x80096010)", 0x80096010},
        CallerCase{"SmallCodeKeepsLeadingZeros", image(kCompanion), "Authenticode failed (0x00000005)", 5},
        // Off the local drives: refused before the name test, so even another
        // program's name gets this reason, and before the file is touched.
        CallerCase{"UncPath", image(u"\\\\host\\share\\companion-app.exe"), kNotLocal},
        CallerCase{"UncPathOfAnotherProgram", image(u"\\\\host\\share\\cmd.exe"), kNotLocal},
        CallerCase{"DevicePathToALocalDrive", image(u"\\\\?\\C:\\App\\companion-app.exe"), kNotLocal},
        CallerCase{"DeviceNamespace", image(u"\\\\.\\pipe\\companion-app.exe"), kNotLocal},
        CallerCase{"NoDriveLetter", image(u"\\App\\companion-app.exe"), kNotLocal},
        CallerCase{"DriveRelative", image(u"C:companion-app.exe"), kNotLocal},
        CallerCase{.name = "MappedNetworkDrive",
                   .image = image(u"Z:\\companion-app.exe"),
                   .reason = kNotLocal,
                   .drive_type = 4},
        CallerCase{.name = "DriveOfUnknownType", .image = image(kCompanion), .reason = kNotLocal, .drive_type = 0},
        CallerCase{.name = "DriveWithoutRoot", .image = image(kCompanion), .reason = kNotLocal, .drive_type = 1},
        CallerCase{.name = "RemovableDrive", .image = image(kCompanion), .drive_type = platform::drive_removable},
        CallerCase{.name = "LowerCaseDriveLetter", .image = image(u"c:\\app\\companion-app.exe")}),
    CaseName{});

TEST(VerifyCaller, ChecksInOrderAndVerifiesTheFileWithItsReportedCase) {
  fake::FakePlatform fake;
  fake.files.clients.push_back({});
  fake.processes.image_names[4100] = image(u"C:\\Program Files\\App\\COMPANION-APP.EXE");
  fake::FakePipe pipe(fake.files, &fake.files.clients.front());

  const auto caller = verify_caller(pipe, fake.platform);
  ASSERT_TRUE(caller.has_value());
  EXPECT_EQ(caller->process_id, 4100u);
  EXPECT_EQ(fake.log.calls(), (Calls{
                                  "GetNamedPipeClientProcessId",
                                  "OpenProcess(0x1000, 4100)",
                                  "QueryFullProcessImageNameW(process:4100)",
                                  "GetDriveTypeW(C:\\)",
                                  // Certificates only from the cache: nothing is fetched.
                                  "WinVerifyTrust(C:\\Program Files\\App\\COMPANION-APP.EXE, dwProvFlags 0x1000)",
                              }));
}

TEST(VerifyCaller, StopsAtTheFirstFailure) {
  fake::FakePlatform fake;
  fake.files.clients.push_back({});
  fake.processes.image_names[4100] = image(u"C:\\Windows\\System32\\cmd.exe");
  fake::FakePipe pipe(fake.files, &fake.files.clients.front());

  ASSERT_FALSE(verify_caller(pipe, fake.platform).has_value());
  EXPECT_EQ(fake.log.count("WinVerifyTrust"), 0u);

  fake.processes.open_process_failures[4100] = 5;
  ASSERT_FALSE(verify_caller(pipe, fake.platform).has_value());
  EXPECT_EQ(fake.log.count("QueryFullProcessImageNameW"), 1u);
}

}  // namespace
}  // namespace bv::broker
