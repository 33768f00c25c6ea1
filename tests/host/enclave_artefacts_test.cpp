#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "enclave/artefacts.h"
#include "fake/fake_platform.h"

namespace bv::enclave {
namespace {

using fake::FakePlatform;
using Calls = std::vector<std::string>;

constexpr std::string_view kToken = "DEADbeef0123456789ABCDEFabcdef01";
const std::string kEvent = "brisvander-shutdown-DEADbeef0123456789ABCDEFabcdef01";
const std::string kFileName = "bv-ipc-DEADbeef0123456789ABCDEFabcdef01.tmp";
const std::string kFile = "C:\\Temp\\" + kFileName;
const std::string kEventSddl = "D:P(A;;GA;;;SY)(A;;0x00100000;;;S-1-5-21-7-7-7-1001)";
const std::string kFileSddl = "D:P(A;;FA;;;SY)(A;;FA;;;S-1-5-21-7-7-7-1001)";

class ArtefactTest : public ::testing::Test {
 protected:
  ArtefactTest() { fake.processes.sids["logon-token"] = u"S-1-5-21-7-7-7-1001"; }

  std::optional<std::string> write_file() { return write_secret_file(fake.platform, *token, kToken, secret); }

  FakePlatform fake;
  platform::Object token = fake::make_object(fake.log, "logon-token");
  std::vector<std::uint8_t> secret = std::vector<std::uint8_t>(32, 0x5C);
};

TEST_F(ArtefactTest, NamesKeepTokenCaseAndLength) {
  EXPECT_EQ(kEvent.size(), 52u);
  EXPECT_EQ(kFileName.size(), 43u);
  auto event = create_shutdown_event(fake.platform, *token, kToken);
  EXPECT_EQ(event.name, kEvent);
  EXPECT_EQ(write_file(), kFile);
}

struct EventCase {
  const char* name;
  friend void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }
  std::function<void(FakePlatform&)> script;
  Calls calls;
  std::optional<std::string> handle;  // name of the handle handed back
};

class ArtefactEventTest : public ArtefactTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(ArtefactEventTest, FallsBackToDefaultSecurity) {
  const auto& c = GetParam();
  c.script(fake);
  auto event = create_shutdown_event(fake.platform, *token, kToken);
  EXPECT_EQ(event.name, kEvent);
  EXPECT_EQ(fake.log.calls(), c.calls);
  if (c.handle) {
    ASSERT_TRUE(event.handle);
    EXPECT_EQ(fake::name_of(*event.handle), *c.handle);
  } else {
    EXPECT_FALSE(event.handle);
  }
}

const std::string kConvertEvent = "ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kEventSddl + ")";

INSTANTIATE_TEST_SUITE_P(
    ArtefactEventFallbacks, ArtefactEventTest,
    ::testing::Values(
        EventCase{"Secured",
                  [](FakePlatform&) {},
                  {"GetTokenInformation(logon-token)", kConvertEvent, "CreateEventW(secured, " + kEvent + ")",
                   "LocalFree(" + kEventSddl + ")"},
                  "event:" + kEvent},
        EventCase{"NoSid",
                  [](FakePlatform& f) { f.processes.sids.clear(); },
                  {"GetTokenInformation(logon-token)", "CreateEventW(default, " + kEvent + ")"},
                  "event:" + kEvent},
        EventCase{"NoDescriptor",
                  [](FakePlatform& f) { f.security.sddl_failures[kEventSddl] = 1336; },
                  {"GetTokenInformation(logon-token)", kConvertEvent, "CreateEventW(default, " + kEvent + ")"},
                  "event:" + kEvent},
        EventCase{"SecuredCreateFails",
                  [](FakePlatform& f) { f.processes.create_event_failures["secured"] = 5; },
                  {"GetTokenInformation(logon-token)", kConvertEvent, "CreateEventW(secured, " + kEvent + ")",
                   "LocalFree(" + kEventSddl + ")", "CreateEventW(default, " + kEvent + ")"},
                  "event:" + kEvent},
        EventCase{"BothCreatesFail",
                  [](FakePlatform& f) {
                    f.processes.create_event_failures = {{"secured", 5}, {"default", 6}};
                  },
                  {"GetTokenInformation(logon-token)", kConvertEvent, "CreateEventW(secured, " + kEvent + ")",
                   "LocalFree(" + kEventSddl + ")", "CreateEventW(default, " + kEvent + ")"},
                  std::nullopt},
        // Someone else made the name first: the event they hold is closed at
        // once, and not opened a second time with default security.
        EventCase{"NameTaken",
                  [](FakePlatform& f) { f.processes.existing_events.insert(kEvent); },
                  {"GetTokenInformation(logon-token)", kConvertEvent, "CreateEventW(secured, " + kEvent + ")",
                   "CloseHandle(event:" + kEvent + ")", "LocalFree(" + kEventSddl + ")"},
                  std::nullopt},
        EventCase{"NameTakenWithoutSid",
                  [](FakePlatform& f) {
                    f.processes.sids.clear();
                    f.processes.existing_events.insert(kEvent);
                  },
                  {"GetTokenInformation(logon-token)", "CreateEventW(default, " + kEvent + ")",
                   "CloseHandle(event:" + kEvent + ")"},
                  std::nullopt}),
    [](const auto& test) { return test.param.name; });

TEST_F(ArtefactTest, FileIsCreatedNewWithItsDescriptorAndHoldsTheSecretLine) {
  EXPECT_EQ(write_file(), kFile);
  EXPECT_EQ(fake.log.calls(), (Calls{
                                  "GetTokenInformation(logon-token)",
                                  "GetTempPath",
                                  "ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kFileSddl + ")",
                                  "DeleteFileW(" + kFile + ")",
                                  "CreateFileW(" + kFile + ", secured, CREATE_NEW)",
                                  "LocalFree(" + kFileSddl + ")",
                                  "WriteFile(file:" + kFile + ", 65 bytes)",
                                  "CloseHandle(file:" + kFile + ")",
                              }));
  std::string line;
  for (int i = 0; i < 32; ++i) line += "5c";
  EXPECT_EQ(fake.files.files[kFile], line + "\n");
}

TEST_F(ArtefactTest, PlantedFileIsReplacedByOneCarryingTheDescriptor) {
  fake.files.files[kFile] = "planted by someone else, longer than the secret line will be";
  EXPECT_EQ(write_file(), kFile);
  EXPECT_LT(fake.log.index_of("DeleteFileW(" + kFile + ")"),
            fake.log.index_of("CreateFileW(" + kFile + ", secured, CREATE_NEW)"));
  EXPECT_EQ(fake.files.files[kFile].size(), 65u);
}

TEST_F(ArtefactTest, PlantedFileThatCannotBeRemovedNeverReceivesTheSecret) {
  const std::string planted = "planted";
  fake.files.files[kFile] = planted;
  fake.files.delete_file_failures[kFile] = 5;
  EXPECT_EQ(write_file(), std::nullopt);
  EXPECT_EQ(fake.files.files[kFile], planted);
  EXPECT_EQ(fake.log.count("WriteFile"), 0u);
  EXPECT_TRUE(fake.log.contains("LocalFree(" + kFileSddl + ")"));
}

struct FileFailureCase {
  const char* name;
  friend void PrintTo(const FileFailureCase& c, std::ostream* os) { *os << c.name; }
  std::function<void(FakePlatform&)> script;
  Calls calls;
};

class ArtefactFileFailureTest : public ArtefactTest, public ::testing::WithParamInterface<FileFailureCase> {};

TEST_P(ArtefactFileFailureTest, WritesNoFile) {
  const auto& c = GetParam();
  c.script(fake);
  EXPECT_EQ(write_file(), std::nullopt);
  EXPECT_EQ(fake.log.calls(), c.calls);
  EXPECT_FALSE(fake.files.files.contains(kFile));
}

INSTANTIATE_TEST_SUITE_P(
    ArtefactFileFailures, ArtefactFileFailureTest,
    ::testing::Values(FileFailureCase{"NoSid",
                                      [](FakePlatform& f) { f.processes.sids.clear(); },
                                      {"GetTokenInformation(logon-token)"}},
                      FileFailureCase{"NoTempDirectory",
                                      [](FakePlatform& f) { f.files.temp = std::unexpected(5u); },
                                      {"GetTokenInformation(logon-token)", "GetTempPath"}},
                      FileFailureCase{"EmptyTempDirectory",
                                      [](FakePlatform& f) { f.files.temp = std::u16string(); },
                                      {"GetTokenInformation(logon-token)", "GetTempPath"}},
                      FileFailureCase{"NoDescriptor",
                                      [](FakePlatform& f) {
                                        f.security.sddl_failure_containing = {{"(A;;FA;;;SY)", 1336}};
                                      },
                                      {"GetTokenInformation(logon-token)", "GetTempPath",
                                       "ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kFileSddl + ")"}},
                      FileFailureCase{"CreateFileFails",
                                      [](FakePlatform& f) { f.files.create_file_failures[kFile] = 3; },
                                      {"GetTokenInformation(logon-token)", "GetTempPath",
                                       "ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kFileSddl + ")",
                                       "DeleteFileW(" + kFile + ")", "CreateFileW(" + kFile + ", secured, CREATE_NEW)",
                                       "LocalFree(" + kFileSddl + ")"}}),
    [](const auto& test) { return test.param.name; });

struct TempCase {
  const char* name;
  friend void PrintTo(const TempCase& c, std::ostream* os) { *os << c.name; }
  std::u16string directory;
  std::string path;
};

class ArtefactTempPathTest : public ArtefactTest, public ::testing::WithParamInterface<TempCase> {};

TEST_P(ArtefactTempPathTest, JoinsWithOneSeparator) {
  const auto& c = GetParam();
  fake.files.temp = c.directory;
  EXPECT_EQ(write_file(), c.path);
  EXPECT_TRUE(fake.log.contains("CreateFileW(" + c.path + ", secured, CREATE_NEW)"));
}

INSTANTIATE_TEST_SUITE_P(ArtefactTempDirectories, ArtefactTempPathTest,
                         ::testing::Values(TempCase{"TrailingBackslash", u"C:\\Temp\\", "C:\\Temp\\" + kFileName},
                                           TempCase{"NoTrailingSeparator", u"C:\\Temp", "C:\\Temp\\" + kFileName},
                                           TempCase{"TrailingSlash", u"C:/Temp/", "C:/Temp/" + kFileName},
                                           TempCase{"DriveRoot", u"D:\\", "D:\\" + kFileName},
                                           TempCase{"NonAscii", u"C:\\Users\\J\u00F6rg\\Temp\\",
                                                    "C:\\Users\\J\xC3\xB6rg\\Temp\\" + kFileName},
                                           TempCase{"UnpairedSurrogate",
                                                    std::u16string(u"C:\\T") + char16_t(0xD800) + u"mp",
                                                    "C:\\T\xEF\xBF\xBDmp\\" + kFileName}),
                         [](const auto& test) { return test.param.name; });

TEST(ArtefactSecretLine, LowercaseDigitsHighHalfFirstThenLineFeed) {
  const std::vector<std::uint8_t> bytes{0x00, 0x01, 0x10, 0x9A, 0xAF, 0xFF};
  EXPECT_EQ(secret_line(bytes).get(), "0001109aafff\n");
  EXPECT_EQ(secret_line({}).get(), "\n");
}

}  // namespace
}  // namespace bv::enclave
