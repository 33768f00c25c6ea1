#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "broker/spawn_request.h"
#include "fake/fake_platform.h"

namespace bv::broker {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;
using Environment = std::map<std::u16string, std::u16string>;

const std::string kToken = "0123456789abcdefABCDEF0123456789";
const std::string kSecret = "00112233445566778899aabbccddeeffFFEEDDCCBBAA99887766554433221100";
const std::string kPath = "C:\\Program Files\\Brisvander\\vault-enclave.exe";

const Environment kWindowsEnvironment = {
    {u"ProgramFiles", u"C:\\Program Files"},
    {u"ProgramFiles(x86)", u"C:\\Program Files (x86)"},
    {u"LOCALAPPDATA", u"C:\\Users\\\u00d6la\\AppData\\Local"},
};

std::string request(std::string_view path, std::string_view token = kToken, std::string_view secret = kSecret) {
  return "SPAWN " + std::string(token) + " " + std::string(secret) + " " + std::string(path);
}

EnvironmentLookup lookup_in(const Environment& environment, std::vector<std::u16string>* asked = nullptr) {
  return [&environment, asked](std::u16string_view name) -> std::optional<std::u16string> {
    if (asked != nullptr) asked->emplace_back(name);
    if (auto it = environment.find(std::u16string(name)); it != environment.end()) return it->second;
    return std::nullopt;
  };
}

// Names each instance of a table after its case.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& p) const {
    return p.param.name;
  }
};

// ---- decode_hex ---------------------------------------------------------------

struct HexCase {
  const char* name;
  std::string text;
  std::optional<Bytes> bytes;  // none: fails with `error`
  std::string error;
};

void PrintTo(const HexCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodeHexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(DecodeHexTest, DecodesOrNamesTheFirstBadCharacter) {
  const auto& c = GetParam();
  const auto result = decode_hex(c.text);
  if (c.bytes) {
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, *c.bytes);
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeHexTest,
    ::testing::Values(HexCase{"Empty", "", Bytes{}, ""},
                      HexCase{"AllDigitsBothCases", "0123456789abcdefABCDEF",
                              Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xAB, 0xCD, 0xEF}, ""},
                      HexCase{"LeadingZeroKept", "000f", Bytes{0x00, 0x0f}, ""},
                      HexCase{"OddLength", "abc", std::nullopt, "Odd length hex string"},
                      HexCase{"OddLengthWinsOverBadChar", "zzz", std::nullopt, "Odd length hex string"},
                      HexCase{"BadHighDigit", "00g0", std::nullopt, "Invalid hex char: g"},
                      HexCase{"BadLowDigit", "000G", std::nullopt, "Invalid hex char: G"},
                      HexCase{"FirstOfPairTestedFirst", "zg", std::nullopt, "Invalid hex char: z"},
                      HexCase{"SpaceIsNotADigit", "0 ", std::nullopt, "Invalid hex char:  "},
                      // A byte above 127 shows as the Latin-1 character of
                      // that value: 0xC3 of "é" is U+00C3.
                      HexCase{"MultiByteCharacter", "\xC3\xA9", std::nullopt, "Invalid hex char: \xC3\x83"},
                      HexCase{"ByteFF", "0\xFF", std::nullopt, "Invalid hex char: \xC3\xBF"}),
    CaseName{});

// ---- parse_spawn_request -------------------------------------------------------

struct ParseCase {
  const char* name;
  std::string line;
  std::string error;                                      // empty: accepted
  std::optional<Environment> environment = std::nullopt;  // default: kWindowsEnvironment
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << c.name;
}

class ParseSpawnRequestTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseSpawnRequestTest, AcceptsOrGivesTheFirstFailingCheck) {
  const auto& c = GetParam();
  const Environment& environment = c.environment ? *c.environment : kWindowsEnvironment;
  const auto result = parse_spawn_request(c.line, lookup_in(environment));
  if (c.error.empty()) {
    EXPECT_TRUE(result.has_value()) << result.error();
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.error);
  }
}

const std::string kFormat = "Invalid request format";
const std::string kName = "Enclave path must end with 'vault-enclave.exe'";
const std::string kLocation = "Enclave path must be under %ProgramFiles% or %LOCALAPPDATA%";
const std::string kCharacters = "Enclave path contains characters that are not allowed";

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseSpawnRequestTest,
    ::testing::Values(
        ParseCase{"Valid", request(kPath), ""}, ParseCase{"CarriageReturnAtEnd", request(kPath) + "\r", ""},
        ParseCase{"TrailingSpacesAndTabs", request(kPath) + " \t \t", ""},
        ParseCase{"TrailingNoBreakSpace", request(kPath) + "\u00a0", ""},
        ParseCase{"TrailingIdeographicSpace", request(kPath) + "\u3000\r", ""}, ParseCase{"EmptyLine", "", kFormat},
        ParseCase{"VerbOnly", "SPAWN", kFormat}, ParseCase{"ThreeFields", "SPAWN " + kToken + " " + kSecret, kFormat},
        ParseCase{"LowerCaseVerb", "spawn " + kToken + " " + kSecret + " " + kPath, kFormat},
        ParseCase{"MixedCaseVerb", "Spawn " + kToken + " " + kSecret + " " + kPath, kFormat},
        ParseCase{"LeadingSpace", " " + request(kPath), kFormat},
        ParseCase{"TabIsNotASeparator", "SPAWN\t" + kToken + " " + kSecret + " " + kPath, kFormat},
        ParseCase{"OtherVerb", "START " + kToken + " " + kSecret + " " + kPath, kFormat},
        ParseCase{"TwoSpacesAfterVerb", "SPAWN  " + kToken + " " + kSecret + " " + kPath,
                  "pipe_token must be 32 hex chars, got 0"},
        ParseCase{"ShortToken", request(kPath, kToken.substr(1)), "pipe_token must be 32 hex chars, got 31"},
        ParseCase{"LongToken", request(kPath, kToken + "0"), "pipe_token must be 32 hex chars, got 33"},
        ParseCase{"TokenWithNonHexLetter", request(kPath, kToken.substr(1) + "g"),
                  "pipe_token must be 32 hex chars, got 32"},
        ParseCase{"TokenWithTwoByteCharacter", request(kPath, kToken.substr(1) + "\u00e9"),
                  "pipe_token must be 32 hex chars, got 33"},
        ParseCase{"ShortSecret", request(kPath, kToken, kSecret.substr(1)), "ipc_secret must be 64 hex chars, got 63"},
        ParseCase{"LongSecretEndsAtItsSpace", request(kPath, kToken, kSecret + "00"),
                  "ipc_secret must be 64 hex chars, got 66"},
        ParseCase{"SecretWithG", request(kPath, kToken, kSecret.substr(1) + "g"),
                  "Bad ipc_secret hex: Invalid hex char: g"},
        ParseCase{"SecretWithTwoByteCharacter", request(kPath, kToken, kSecret.substr(2) + "\u00e9"),
                  "Bad ipc_secret hex: Invalid hex char: \u00c3"}),
    CaseName{});

INSTANTIATE_TEST_SUITE_P(
    PathChecks, ParseSpawnRequestTest,
    ::testing::Values(
        ParseCase{"OtherFileName", request("C:\\Program Files\\Brisvander\\vault.exe"), kName},
        ParseCase{"NameIsASuffixTestOnly", request("C:\\Program Files\\Brisvander\\myvault-enclave.exe"), ""},
        ParseCase{"TargetTripleName", request("C:\\Program Files\\B\\vault-enclave-x86_64-pc-windows-msvc.exe"), ""},
        ParseCase{"NameFollowedByMore", request(kPath + ".bak"), kName},
        ParseCase{"PathInCapitals", request("C:\\PROGRAM FILES\\BRISVANDER\\VAULT-ENCLAVE.EXE"), ""},
        ParseCase{"NonAsciiCapitals",
                  request("C:\\USERS\\\u00d6LA\\APPDATA\\LOCAL\\\u03a3\u039f\u03a6\u0399\u0391"
                          "\\VAULT-ENCLAVE.EXE"),
                  ""},
        ParseCase{"NonAsciiCapitalsOfAnotherUser", request("C:\\USERS\\\u00d8LA\\APPDATA\\LOCAL\\VAULT-ENCLAVE.EXE"),
                  kLocation},
        ParseCase{"PathWithSpacesArrivesWhole", request("C:\\Program Files (x86)\\My App\\vault-enclave.exe"), ""},
        ParseCase{"SecondSpaceBeforePath", request(" " + kPath), kLocation},
        ParseCase{"ForwardSlashes", request("C:/Program Files/Brisvander/vault-enclave.exe"), kLocation},
        ParseCase{"OutsideEveryRoot", request("C:\\Windows\\Temp\\vault-enclave.exe"), kLocation},
        ParseCase{"DirectoryThatMerelyBeginsWithRoot", request("C:\\Program FilesX\\vault-enclave.exe"), kLocation},
        ParseCase{"RootFollowedByForwardSlash", request("C:\\Program Files/vault-enclave.exe"), kLocation},
        ParseCase{"RootValueEndingInBackslash", request("D:\\Apps\\vault-enclave.exe"), "",
                  Environment{{u"LOCALAPPDATA", u"D:\\Apps\\"}}},
        ParseCase{"RootValueEndingInSlash", request("D:/Apps/vault-enclave.exe"), "",
                  Environment{{u"LOCALAPPDATA", u"D:/Apps/"}}},
        ParseCase{"DotDotComponent", request("C:\\Program Files\\..\\Windows\\vault-enclave.exe"), kLocation},
        ParseCase{"DotDotAtTheEndOfTheDirectories", request("C:\\Program Files\\B\\..\\vault-enclave.exe"), kLocation},
        ParseCase{"ThreeDots", request("C:\\Program Files\\...\\vault-enclave.exe"), kLocation},
        ParseCase{"DotDotSpace", request("C:\\Program Files\\.. \\vault-enclave.exe"), kLocation},
        ParseCase{"SpacedDots", request("C:\\Program Files\\ . . \\vault-enclave.exe"), kLocation},
        ParseCase{"DotDotBetweenForwardSlashes", request("C:\\Program Files\\B/../vault-enclave.exe"), kLocation},
        ParseCase{"SingleDotComponent", request("C:\\Program Files\\.\\B\\vault-enclave.exe"), ""},
        ParseCase{"DotsInsideAName", request("C:\\Program Files\\..B\\a..b\\vault-enclave.exe"), ""},
        ParseCase{"EmptyComponent", request("C:\\Program Files\\\\B\\vault-enclave.exe"), ""},
        ParseCase{"DoubleQuote", request("C:\\Program Files\\B\" --x \"\\vault-enclave.exe"), kCharacters},
        ParseCase{"ControlCharacter", request("C:\\Program Files\\B\x01\\vault-enclave.exe"), kCharacters},
        ParseCase{"TabInsidePath", request("C:\\Program Files\\B\t\\vault-enclave.exe"), kCharacters},
        ParseCase{"NulInsidePath", request("C:\\Program Files\\B\0\\vault-enclave.exe"s), kCharacters},
        ParseCase{"Delete", request("C:\\Program Files\\B\x7F\\vault-enclave.exe"), kCharacters},
        ParseCase{"ColonAfterDrive", request("C:\\Program Files\\B:ads\\vault-enclave.exe"), kCharacters},
        ParseCase{"ColonAfterNonLetter", request("1:\\Apps\\vault-enclave.exe"), kCharacters,
                  Environment{{u"ProgramFiles", u"1:\\Apps"}}},
        ParseCase{"ColonAtStart", request(":\\Apps\\vault-enclave.exe"), kCharacters,
                  Environment{{u"ProgramFiles", u":\\Apps"}}},
        ParseCase{"LowerCaseDriveLetter", request("c:\\program files\\vault-enclave.exe"), ""}),
    CaseName{});

INSTANTIATE_TEST_SUITE_P(
    OrderOfChecks, ParseSpawnRequestTest,
    ::testing::Values(
        ParseCase{"BadTokenBeforeBadSecret", request("x", kToken.substr(1), "00"),
                  "pipe_token must be 32 hex chars, got 31"},
        ParseCase{"SecretLengthBeforeName", request("x", kToken, "00"), "ipc_secret must be 64 hex chars, got 2"},
        ParseCase{"NameBeforeLocation", request("C:\\Windows\\vault.exe"), kName},
        ParseCase{"LocationBeforeSecretHex", request("C:\\Windows\\vault-enclave.exe", kToken, std::string(64, 'z')),
                  kLocation},
        ParseCase{"DotDotBeforeCharacters", request("C:\\Program Files\\..\\\"\\vault-enclave.exe"), kLocation},
        ParseCase{"CharactersBeforeSecretHex",
                  request("C:\\Program Files\\\"\\vault-enclave.exe", kToken, std::string(64, 'z')), kCharacters}),
    CaseName{});

INSTANTIATE_TEST_SUITE_P(
    Environments, ParseSpawnRequestTest,
    ::testing::Values(
        ParseCase{"ProgramFilesUnsetOtherRootsStillCount", request("C:\\Program Files (x86)\\B\\vault-enclave.exe"), "",
                  Environment{{u"ProgramFiles(x86)", u"C:\\Program Files (x86)"}}},
        ParseCase{"ProgramFilesUnsetRefusesItsPaths", request(kPath), kLocation,
                  Environment{{u"ProgramFiles(x86)", u"C:\\Program Files (x86)"},
                              {u"LOCALAPPDATA", u"C:\\Users\\A\\AppData\\Local"}}},
        ParseCase{"NothingSet", request(kPath), kLocation, Environment{}},
        ParseCase{"EmptyValuesAreNoLocation", request("C:\\vault-enclave.exe"), kLocation,
                  Environment{{u"ProgramFiles", u""}, {u"ProgramFiles(x86)", u""}, {u"LOCALAPPDATA", u""}}},
        // Lossy conversion would have made the lone surrogate U+FFFD and
        // accepted this path.
        ParseCase{"InvalidUtf16ValueIsNoLocation", request("C:\\Pr\ufffd\\vault-enclave.exe"), kLocation,
                  Environment{{u"ProgramFiles", std::u16string(u"C:\\Pr") + char16_t(0xD800)}}},
        ParseCase{"ValueInCapitals", request(kPath), "", Environment{{u"LOCALAPPDATA", u"C:\\PROGRAM FILES"}}}),
    CaseName{});

TEST(ParseSpawnRequest, KeepsTheFieldsAsReceived) {
  const std::string path = "  \\\\Server\\Share\\My App\\Vault-Enclave.EXE";
  const Environment environment = {{u"LOCALAPPDATA", u"  \\\\server\\share"}};
  const auto result = parse_spawn_request(request(path) + " \r", lookup_in(environment));

  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->pipe_token, kToken);
  EXPECT_EQ(result->enclave_path, path);
  EXPECT_EQ(result->ipc_secret.get(),
            (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff,
                   0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}));
}

TEST(ParseSpawnRequest, SecretInAnyLetterCaseDecodesToTheSameBytes) {
  const std::string lower = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
  std::string upper = lower;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string mixed = lower;
  for (std::size_t i = 0; i < mixed.size(); i += 2) mixed[i] = upper[i];

  const auto environment = lookup_in(kWindowsEnvironment);
  const auto a = parse_spawn_request(request(kPath, kToken, lower), environment);
  const auto b = parse_spawn_request(request(kPath, kToken, upper), environment);
  const auto c = parse_spawn_request(request(kPath, kToken, mixed), environment);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->ipc_secret.get().size(), 32u);
  EXPECT_EQ(a->ipc_secret.get(), b->ipc_secret.get());
  EXPECT_EQ(a->ipc_secret.get(), c->ipc_secret.get());
}

TEST(ParseSpawnRequest, ReadsTheThreeVariablesInOrderOnlyWhenTheLocationTestIsReached) {
  std::vector<std::u16string> asked;
  const auto environment = lookup_in(kWindowsEnvironment, &asked);

  ASSERT_FALSE(parse_spawn_request(request("C:\\Program Files\\vault.exe"), environment));
  EXPECT_TRUE(asked.empty());

  ASSERT_TRUE(parse_spawn_request(request(kPath), environment));
  EXPECT_EQ(asked, (std::vector<std::u16string>{u"ProgramFiles", u"ProgramFiles(x86)", u"LOCALAPPDATA"}));

  // Nothing is cached: the next request asks again.
  ASSERT_TRUE(parse_spawn_request(request(kPath), environment));
  EXPECT_EQ(asked.size(), 6u);
}

// ---- lookup_caller_sid and handle_spawn_request --------------------------------

class SpawnRequestConnectionTest : public ::testing::Test {
 protected:
  SpawnRequestConnectionTest() {
    fake.processes.environment = kWindowsEnvironment;
    fake.processes.sids["token:4100"] = u"S-1-5-21-7-8-9-1001";
  }

  SpawnOutcome handle(std::string_view line) {
    return handle_spawn_request(caller, line, password, fake.platform, log, launcher);
  }

  struct Seen {
    std::string path, token, password;
    Bytes secret;
    std::optional<std::string> sid;
  };

  fake::FakePlatform fake;
  // Reports events only in the tests that open it.
  EventReporter events{fake.events, fake.clock};
  Log log{fake.console, events};
  enclave::AccountPassword password{SecretString(std::string("pw")), [] { return std::optional<SecretString>(); }};
  // The caller as verification found it, with its process opened.
  CallerIdentity caller{.process_id = 4100,
                        .image_path = "C:\\Apps\\companion-app.exe",
                        .process = fake::make_object(fake.log, "process:4100")};
  std::vector<Seen> launches;
  enclave::LaunchResult next_launch = enclave::LaunchedEnclave{.process_id = 4242};
  Launcher launcher = [this](const enclave::LaunchInputs& in) {
    launches.push_back({std::string(in.enclave_path), std::string(in.pipe_token),
                        std::string(in.account_password.get()), Bytes(in.ipc_secret.begin(), in.ipc_secret.end()),
                        in.allowed_sid ? std::optional<std::string>(*in.allowed_sid) : std::nullopt});
    return std::move(next_launch);
  };
};

TEST_F(SpawnRequestConnectionTest, ReadsTheTokenOfTheVerifiedProcessAndClosesOnlyTheToken) {
  EXPECT_EQ(lookup_caller_sid(*caller.process, fake.processes), "S-1-5-21-7-8-9-1001");
  // No second look at the pipe's client: its id may by now be another
  // process's.
  EXPECT_EQ(fake.log.calls(), (std::vector<std::string>{
                                  "OpenProcessToken(process:4100, 0x8)",
                                  "GetTokenInformation(token:4100)",
                                  "CloseHandle(token:4100)",
                              }));
}

TEST_F(SpawnRequestConnectionTest, AnyLookupFailureGivesNoSidAndLeavesNothingOpen) {
  fake.processes.sids.clear();
  EXPECT_EQ(lookup_caller_sid(*caller.process, fake.processes), std::nullopt);
  EXPECT_TRUE(fake.log.contains("CloseHandle(token:4100)"));

  fake.processes.open_token_failures[4100] = 5;
  EXPECT_EQ(lookup_caller_sid(*caller.process, fake.processes), std::nullopt);

  EXPECT_EQ(fake.log.count("OpenProcessToken"), 2u);
  EXPECT_EQ(fake.log.count("CloseHandle(token:4100)"), 1u);
  EXPECT_EQ(fake.log.count("CloseHandle(process:4100)"), 0u);
  EXPECT_TRUE(fake.console.err.empty());
}

TEST_F(SpawnRequestConnectionTest, SuccessfulLaunchAnswersOkAndLogsNothing) {
  events.open();
  auto outcome = handle(request(kPath) + "\r");

  EXPECT_EQ(outcome.reply, "OK 4242");
  ASSERT_TRUE(outcome.launch.has_value());
  EXPECT_EQ(outcome.launch->process_id, 4242u);
  EXPECT_TRUE(fake.console.err.empty());
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].path, kPath);
  EXPECT_EQ(launches[0].token, kToken);
  EXPECT_EQ(launches[0].password, "pw");
  EXPECT_EQ(launches[0].secret.size(), 32u);
  EXPECT_EQ(launches[0].secret.front(), 0x00);
  EXPECT_EQ(launches[0].secret.back(), 0x00);
  EXPECT_EQ(launches[0].secret[15], 0xff);
  EXPECT_EQ(launches[0].sid, "S-1-5-21-7-8-9-1001");
  // The launch is an event without a line: the enclave, and who asked for
  // it; neither the token nor the secret.
  const fake::ReportedEvent launched{
      4, 0x400000CB, {"4242", "C:\\Apps\\companion-app.exe", "S-1-5-21-7-8-9-1001", kPath}};
  EXPECT_EQ(fake.events.reported, std::vector<fake::ReportedEvent>{launched});
}

TEST_F(SpawnRequestConnectionTest, FailedLaunchAnswersErrWithTheLaunchersMessageAndLogsIt) {
  next_launch = std::unexpected(std::string("LogonUser failed for 'BrisvanderUser': error 1326"));
  auto outcome = handle(request(kPath));

  EXPECT_EQ(outcome.reply, "ERR LogonUser failed for 'BrisvanderUser': error 1326");
  EXPECT_FALSE(outcome.launch.has_value());
  EXPECT_EQ(fake.console.err_lines(),
            std::vector<std::string>{"[BrisvanderSvc] Spawn error: LogonUser failed for 'BrisvanderUser': error 1326"});
}

TEST_F(SpawnRequestConnectionTest, RefusedRequestIsNeverLaunched) {
  auto outcome = handle(request(kPath, kToken, kSecret.substr(1) + "g"));

  EXPECT_EQ(outcome.reply, "ERR Bad ipc_secret hex: Invalid hex char: g");
  ASSERT_FALSE(outcome.launch.has_value());
  EXPECT_EQ(outcome.launch.error(), "Bad ipc_secret hex: Invalid hex char: g");
  EXPECT_TRUE(launches.empty());
  EXPECT_EQ(fake.console.err_lines(),
            std::vector<std::string>{"[BrisvanderSvc] Spawn error: Bad ipc_secret hex: Invalid hex char: g"});
  // The service's own environment is what the location test read.
  EXPECT_EQ(fake.log.count("GetEnvironmentVariableW"), 3u);
}

TEST_F(SpawnRequestConnectionTest, MissingSidIsPassedAsAbsent) {
  fake.processes.open_token_failures[4100] = 5;
  auto outcome = handle(request(kPath));

  EXPECT_EQ(outcome.reply, "OK 4242");
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].sid, std::nullopt);
}

}  // namespace
}  // namespace bv::broker
