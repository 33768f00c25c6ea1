#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker/pipe_server.h"
#include "fake/fake_platform.h"

namespace bv::broker {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Calls = std::vector<std::string>;

const std::string kToken = "0123456789abcdefABCDEF0123456789";
const std::string kSecret = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
const std::string kPath = "C:\\Program Files\\Brisvander\\vault-enclave.exe";
const std::string kRequest = "SPAWN " + kToken + " " + kSecret + " " + kPath;
const std::u16string kCompanion = u"C:\\Program Files\\Brisvander\\companion-app.exe";
const std::string kSddl = "D:(A;;GRGW;;;BU)(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NWNR;;;ME)";
const std::string kCreateInstance = "CreateNamedPipeW(\\\\.\\pipe\\brisvander-svc)";

// The calls of one instance that is created and then waits for a client.
Calls instance_created() {
  return {"ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kSddl + ")", kCreateInstance,
          "LocalFree(" + kSddl + ")", "ConnectNamedPipe"};
}

Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& p) const {
    return p.param.name;
  }
};

class PipeServerTest : public ::testing::Test {
 protected:
  PipeServerTest() {
    fake.processes.image_names[4100] = platform::ImageName{kCompanion, static_cast<std::uint32_t>(kCompanion.size())};
    fake.processes.image_names[4200] = platform::ImageName{u"C:\\Windows\\System32\\cmd.exe", 27};
    fake.processes.sids["token:4100"] = u"S-1-5-21-7-8-9-1001";
    fake.processes.environment = {{u"ProgramFiles", u"C:\\Program Files"}};
    fake.files.stop_when_idle = &running;
  }

  fake::FakeClient& client(std::string sends) {
    fake.files.clients.push_back({.sends = std::move(sends)});
    return fake.files.clients.back();
  }

  void run() { run_pipe_server(password, running, fake.platform, log, launcher); }

  // What each client received, in the order they were served.
  std::vector<std::string> replies() const {
    std::vector<std::string> result;
    for (const auto& c : fake.files.served) result.push_back(c.received);
    return result;
  }

  fake::FakePlatform fake;
  Log log{fake.console};
  enclave::AccountPassword password{SecretString(std::string("pw")), [] { return std::optional<SecretString>(); }};
  RunningFlag running{std::make_unique<fake::FakeWake>(fake.log, &fake.clock)};
  std::vector<std::string> launched_paths;
  std::function<void()> during_launch;
  Launcher launcher = [this](const enclave::LaunchInputs& in) -> enclave::LaunchResult {
    const auto pid = fake.processes.next_process_id++;
    fake.log.add("launch_enclave(" + std::to_string(pid) + ")");
    launched_paths.emplace_back(in.enclave_path);
    if (during_launch) during_launch();
    return enclave::LaunchedEnclave{pid, fake::make_object(fake.log, "enclave-process:" + std::to_string(pid)),
                                    fake::make_object(fake.log, "event:" + std::to_string(pid))};
  };
};

TEST_F(PipeServerTest, ServesAVerifiedRequestThenStopsAtTheTopOfTheLoop) {
  client(kRequest + "\n");
  run();

  EXPECT_EQ(replies(), std::vector<std::string>{"OK 4242\n"});
  EXPECT_TRUE(fake.console.err.empty());
  const Calls expected =
      instance_created() + Calls{
                               "GetNamedPipeClientProcessId",
                               "OpenProcess(0x1000, 4100)",
                               "QueryFullProcessImageNameW(process:4100)",
                               "GetDriveTypeW(C:\\)",
                               "WinVerifyTrust(" + fake::narrow(kCompanion) + ", dwProvFlags 0x1000)",
                               // The verified process itself, not a second
                               // look-up by id, gives the caller's SID.
                               "OpenProcessToken(process:4100, 0x8)",
                               "GetTokenInformation(token:4100)",
                               "CloseHandle(token:4100)",
                               "GetEnvironmentVariableW(ProgramFiles)",
                               "GetEnvironmentVariableW(ProgramFiles(x86))",
                               "GetEnvironmentVariableW(LOCALAPPDATA)",
                               "launch_enclave(4242)",
                               "CloseHandle(process:4100)",
                               "WriteFile(pipe, OK 4242\n)",
                               "DisconnectNamedPipe",
                               // The same instance waits for the next client.
                               "ConnectNamedPipe",
                               "SetEvent(wake)",
                               "CloseHandle(pipe)",
                               // The record is released: the enclave
                               // is neither signalled nor stopped.
                               "CloseHandle(event:4242)",
                               "CloseHandle(enclave-process:4242)",
                           };
  EXPECT_EQ(fake.log.calls(), expected);
}

TEST_F(PipeServerTest, EveryVerifiedRequestStopsThePreviousEnclaveAndOnlyALaunchIsRemembered) {
  client(kRequest + "\n");
  client("SPAWN nonsense\n");
  client(kRequest + "\n");
  run();

  EXPECT_EQ(replies(), (std::vector<std::string>{"OK 4242\n", "ERR Invalid request format\n", "OK 4243\n"}));
  EXPECT_EQ(fake.console.err_lines(), (std::vector<std::string>{
                                          "[BrisvanderSvc] Terminating previous enclave PID 4242 for respawn",
                                          "[BrisvanderSvc] Enclave PID 4242 exited gracefully",
                                          "[BrisvanderSvc] Spawn error: Invalid request format",
                                      }));
  // The old enclave is stopped before the request is looked at.
  EXPECT_LT(fake.log.index_of("CloseHandle(enclave-process:4242)"), fake.log.index_of("launch_enclave(4243)"));
  EXPECT_EQ(fake.log.count("GetExitCodeProcess"), 1u);
  EXPECT_EQ(fake.log.calls().back(), "CloseHandle(enclave-process:4243)");
  // One instance served them all and was closed only at the stop.
  EXPECT_EQ(fake.log.count(kCreateInstance), 1u);
  EXPECT_EQ(fake.log.count("CloseHandle(pipe)"), 1u);
  EXPECT_GT(fake.log.index_of("CloseHandle(pipe)"), fake.log.index_of("SetEvent(wake)"));
}

TEST_F(PipeServerTest, RejectedCallerGetsTheReasonAndTheRunningEnclaveIsLeftAlone) {
  client(kRequest + "\n");
  client("HELLO\n").process_id = 4200u;
  run();

  EXPECT_EQ(replies()[1],
            "ERR caller not authorized: Caller 'C:\\Windows\\System32\\cmd.exe' is not companion-app.exe\n");
  EXPECT_EQ(
      fake.console.err_lines(),
      std::vector<std::string>{
          "[BrisvanderSvc] Rejected SPAWN caller: Caller 'C:\\Windows\\System32\\cmd.exe' is not companion-app.exe"});
  EXPECT_TRUE(fake.files.served[1].disconnected);
  EXPECT_EQ(fake.log.count("GetExitCodeProcess"), 0u);
  EXPECT_EQ(fake.log.count("SetEvent(event"), 0u);
  EXPECT_EQ(fake.log.calls().back(), "CloseHandle(enclave-process:4242)");
}

struct ReadFailureCase {
  const char* name;
  std::string sends;
  std::string reason;
  std::size_t bytes_read;
  bool closes_after_sending = true;
  std::chrono::milliseconds per_byte{0};
};

void PrintTo(const ReadFailureCase& c, std::ostream* os) {
  *os << c.name;
}

class PipeServerReadFailureTest : public PipeServerTest, public ::testing::WithParamInterface<ReadFailureCase> {};

TEST_P(PipeServerReadFailureTest, LogsTheReasonSendsNothingAndServesTheNextClient) {
  const auto& c = GetParam();
  client(kRequest + "\n");
  auto& failing = client(c.sends);
  failing.closes_after_sending = c.closes_after_sending;
  failing.per_byte = c.per_byte;
  client(kRequest + "\n");
  run();

  ASSERT_EQ(fake.files.served.size(), 3u);
  const auto& served = fake.files.served[1];
  EXPECT_EQ(served.received, "");
  EXPECT_TRUE(served.disconnected);
  EXPECT_EQ(served.bytes_read, c.bytes_read);
  // Every client is verified before its line is read; the verdict on this
  // one is never acted on.
  EXPECT_EQ(fake.log.count("GetNamedPipeClientProcessId"), 3u);
  // The enclave of the first client is still remembered when the third comes.
  EXPECT_EQ(fake.console.err_lines(), (std::vector<std::string>{
                                          "[BrisvanderSvc] Read error: " + c.reason,
                                          "[BrisvanderSvc] Terminating previous enclave PID 4242 for respawn",
                                          "[BrisvanderSvc] Enclave PID 4242 exited gracefully",
                                      }));
  EXPECT_EQ(replies()[2], "OK 4243\n");
}

INSTANTIATE_TEST_SUITE_P(
    Reads, PipeServerReadFailureTest,
    ::testing::Values(ReadFailureCase{"NothingSent", "", "Empty request", 0},
                      ReadFailureCase{"OnlyALineFeed", "\n" + kRequest + "\n", "Empty request", 1},
                      ReadFailureCase{"ByteFF", "\xFF" + kRequest + "\n",
                                      "invalid utf-8 sequence of 1 bytes from index 0", kRequest.size() + 2},
                      ReadFailureCase{"CutOffSequence", "SPAWN \xC3", "incomplete utf-8 byte sequence from index 6", 7},
                      ReadFailureCase{"TooLong", std::string(65'537, 'A') + "\n", "Request too long", 65'537},
                      ReadFailureCase{"SilentClient", "", "Request timed out", 0, false},
                      ReadFailureCase{"UnfinishedLine", "SPAWN ", "Request timed out", 6, false},
                      ReadFailureCase{"SlowClient", kRequest + "\n", "Request timed out", 100, true, 100ms}),
    CaseName{});

// How long a caller may take over its line depends on the verdict, which
// is known before the first byte is read; the verdict itself is acted on
// only for a usable line.
struct CallerTimeCase {
  const char* name;
  std::uint32_t process_id;
  std::string sends;
  bool closes_after_sending;
  std::chrono::milliseconds per_byte;
  std::chrono::milliseconds served_for;
  std::string log_line;
  std::string reply;
};

void PrintTo(const CallerTimeCase& c, std::ostream* os) {
  *os << c.name;
}

class PipeServerCallerTimeTest : public PipeServerTest, public ::testing::WithParamInterface<CallerTimeCase> {};

TEST_P(PipeServerCallerTimeTest, VerdictSetsTheTimeForTheLineAndIsActedOnOnlyForAUsableOne) {
  const auto& c = GetParam();
  auto& caller = client(c.sends);
  caller.process_id = c.process_id;
  caller.closes_after_sending = c.closes_after_sending;
  caller.per_byte = c.per_byte;
  const auto start = fake.clock.now();
  run();

  EXPECT_EQ(fake.clock.now() - start, c.served_for);
  EXPECT_EQ(fake.console.err_lines(), std::vector<std::string>{"[BrisvanderSvc] " + c.log_line});
  ASSERT_EQ(fake.files.served.size(), 1u);
  EXPECT_EQ(fake.files.served[0].received, c.reply);
  EXPECT_EQ(launched_paths.size(), 0u);
}

const std::string kNotCompanion = "Caller 'C:\\Windows\\System32\\cmd.exe' is not companion-app.exe";

INSTANTIATE_TEST_SUITE_P(Callers, PipeServerCallerTimeTest,
                         ::testing::Values(CallerTimeCase{"VerifiedSilentIsCutOffAfterTenSeconds", 4100, "SPAWN ",
                                                          false, 0ms, 10s, "Read error: Request timed out", ""},
                                           CallerTimeCase{"RefusedSilentIsCutOffAfterOneSecond", 4200, "", false, 0ms,
                                                          1s, "Read error: Request timed out", ""},
                                           CallerTimeCase{"RefusedSlowLineIsCutOffAfterOneSecond", 4200, "HELLO\n",
                                                          true, 400ms, 1s, "Read error: Request timed out", ""},
                                           CallerTimeCase{"RefusedLineWithinItsSecondIsRefused", 4200, "HELLO\n", true,
                                                          150ms, 900ms, "Rejected SPAWN caller: " + kNotCompanion,
                                                          "ERR caller not authorized: " + kNotCompanion + "\n"},
                                           CallerTimeCase{"RefusedEmptyLineGetsItsReadError", 4200, "", true, 0ms, 0ms,
                                                          "Read error: Empty request", ""}),
                         CaseName{});

struct AcceptedLineCase {
  const char* name;
  std::string sends;
  std::size_t bytes_read;
  std::string path;
};

void PrintTo(const AcceptedLineCase& c, std::ostream* os) {
  *os << c.name;
}

class PipeServerLineTest : public PipeServerTest, public ::testing::WithParamInterface<AcceptedLineCase> {};

TEST_P(PipeServerLineTest, RequestIsServedInFull) {
  const auto& c = GetParam();
  client(c.sends);
  run();
  EXPECT_EQ(replies(), std::vector<std::string>{"OK 4242\n"});
  EXPECT_EQ(launched_paths, std::vector<std::string>{c.path});
  EXPECT_EQ(fake.files.served[0].bytes_read, c.bytes_read);
}

const std::string kLongPath = "C:\\Program Files\\" + std::string(4861, 'd') + "\\vault-enclave.exe";

INSTANTIATE_TEST_SUITE_P(
    Lines, PipeServerLineTest,
    ::testing::Values(
        AcceptedLineCase{"LineFeed", kRequest + "\n", kRequest.size() + 1, kPath},
        AcceptedLineCase{"CarriageReturnLineFeed", kRequest + "\r\n", kRequest.size() + 2, kPath},
        AcceptedLineCase{"NoLineFeed", kRequest, kRequest.size(), kPath},
        AcceptedLineCase{"BytesAfterTheLineFeedAreNeverRead", kRequest + "\nSPAWN more\n", kRequest.size() + 1, kPath},
        AcceptedLineCase{"FiveThousandBytes", "SPAWN " + kToken + " " + kSecret + " " + kLongPath, 5000, kLongPath}),
    CaseName{});

TEST(ReadRequestLine, KeepsEverythingBeforeTheFirstLineFeed) {
  struct Case {
    std::string sends;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"abc\r\n", "abc\r"},
      {"abc", "abc"},
      {"\n", ""},
      {"a\0b\nc"s, "a\0b"s},
      {std::string(5000, 'x') + "\n", std::string(5000, 'x')},
      {std::string(65'536, 'y') + "\n", std::string(65'536, 'y')},
      {std::string(65'536, 'z'), std::string(65'536, 'z')},
  };
  for (const auto& c : cases) {
    fake::FakePlatform fake;
    fake.files.clients.push_back({.sends = c.sends});
    fake::FakePipe pipe(fake.files, &fake.files.clients.front());
    const auto line = read_request_line(pipe, fake.clock, request_time_limit);
    ASSERT_TRUE(line.has_value()) << line.error();
    EXPECT_EQ(line->get(), c.line);
  }
}

TEST_F(PipeServerTest, ClientConnectedBeforeTheWaitIsServed) {
  client(kRequest + "\n").connect = {.succeeded = false, .error = platform::error_pipe_connected};
  run();
  EXPECT_EQ(replies(), std::vector<std::string>{"OK 4242\n"});
}

TEST_F(PipeServerTest, ClientGoneBeforeTheConnectIsDisconnectedAndTheInstanceKept) {
  client(kRequest + "\n").connect = {.succeeded = false, .error = platform::error_no_data};
  client(kRequest + "\n");
  run();

  EXPECT_EQ(replies(), (std::vector<std::string>{"", "OK 4242\n"}));
  EXPECT_EQ(fake.files.served[0].bytes_read, 0u);
  EXPECT_TRUE(fake.console.err.empty());
  EXPECT_EQ(fake.log.count("WaitForSingleObject(wake"), 0u);
  const Calls first(fake.log.calls().begin(), fake.log.calls().begin() + 6);
  EXPECT_EQ(first, (instance_created() + Calls{"DisconnectNamedPipe", "ConnectNamedPipe"}));
  EXPECT_EQ(fake.log.count(kCreateInstance), 1u);
}

TEST_F(PipeServerTest, WedgedInstanceIsClosedAndMadeAgainAtOnce) {
  // ERROR_INVALID_HANDLE from the connect: the instance cannot listen again.
  client(kRequest + "\n").connect = {.succeeded = false, .error = 6};
  client(kRequest + "\n");
  run();

  EXPECT_EQ(replies(), (std::vector<std::string>{"", "OK 4242\n"}));
  EXPECT_FALSE(fake.files.served[0].disconnected);
  EXPECT_TRUE(fake.console.err.empty());
  EXPECT_EQ(fake.log.count("WaitForSingleObject(wake"), 0u);
  const Calls first(fake.log.calls().begin(), fake.log.calls().begin() + 9);
  EXPECT_EQ(first, instance_created() + Calls{"CloseHandle(pipe)"} + instance_created());
}

TEST_F(PipeServerTest, FailedDisconnectMakesANewInstanceForTheNextClient) {
  client(kRequest + "\n");
  client(kRequest + "\n");
  fake.files.disconnect_failures = {1};
  run();

  EXPECT_EQ(replies(), (std::vector<std::string>{"OK 4242\n", "OK 4243\n"}));
  EXPECT_EQ(fake.log.count(kCreateInstance), 2u);
  const auto disconnect = fake.log.index_of("DisconnectNamedPipe");
  ASSERT_NE(disconnect, std::string::npos);
  EXPECT_EQ(fake.log.calls()[disconnect + 1], "CloseHandle(pipe)");
}

TEST_F(PipeServerTest, InstanceCreationFailureIsLoggedAndRetriedEveryTwoSeconds) {
  // ERROR_ACCESS_DENIED: another process holds the name, and the instance is
  // made only as the first one of its name.
  fake.files.create_pipe_failures = {5, 1450};
  client(kRequest + "\n");
  client(kRequest + "\n");
  const auto start = fake.clock.now();
  run();

  const auto lines = fake.console.err_lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2),
            (std::vector<std::string>{
                "[BrisvanderSvc] Failed to create pipe: CreateNamedPipeW failed: 5",
                "[BrisvanderSvc] Failed to create pipe: CreateNamedPipeW failed: 1450",
            }));
  const Calls failed_attempt = {"ConvertStringSecurityDescriptorToSecurityDescriptorW(" + kSddl + ")", kCreateInstance,
                                "LocalFree(" + kSddl + ")", "WaitForSingleObject(wake, 2000)"};
  const Calls first(fake.log.calls().begin(), fake.log.calls().begin() + 12);
  EXPECT_EQ(first, failed_attempt + failed_attempt + instance_created());
  EXPECT_EQ(replies(), (std::vector<std::string>{"OK 4242\n", "OK 4243\n"}));
  EXPECT_EQ(fake.clock.now() - start, 4s);
  // Once made, the instance is kept: no further attempt, no further pause.
  EXPECT_EQ(fake.log.count(kCreateInstance), 3u);
}

TEST_F(PipeServerTest, DescriptorFailureRepeatsForAsLongAsItLasts) {
  fake.security.sddl_failures[kSddl] = 1336;
  int pauses = 0;
  fake.clock.on_sleep = [&](std::chrono::milliseconds) {
    if (++pauses == 3) running.clear();
  };
  const auto start = fake.clock.now();
  run();

  EXPECT_EQ(fake.console.err_lines(),
            std::vector<std::string>(
                3, "[BrisvanderSvc] Failed to create pipe: ConvertStringSecurityDescriptor failed: 1336"));
  EXPECT_EQ(fake.clock.now() - start, 6s);
  EXPECT_EQ(fake.log.count("CreateNamedPipeW"), 0u);
  EXPECT_EQ(fake.log.count("WaitForSingleObject(wake, 2000)"), 3u);
}

TEST_F(PipeServerTest, StopDuringTheRetryPauseEndsItAtOnce) {
  // Another process holds the name; the stop comes while the loop waits to
  // try again.
  fake.files.create_pipe_failures = {5};
  static_cast<fake::FakeWake*>(running.wake_event())->during_wait = [&] { running.clear(); };
  const auto start = fake.clock.now();
  run();

  EXPECT_EQ(fake.clock.now(), start);
  EXPECT_EQ(fake.log.count(kCreateInstance), 1u);
  EXPECT_EQ(fake.console.err_lines(),
            std::vector<std::string>{"[BrisvanderSvc] Failed to create pipe: CreateNamedPipeW failed: 5"});
}

TEST_F(PipeServerTest, UnreadReplyHoldsTheDisconnectForTwoSecondsWithoutPolling) {
  client(kRequest + "\n").reads_reply = false;
  client(kRequest + "\n");
  // The fake's write takes no time, so the reply is written at the moment of
  // the launch.
  std::chrono::milliseconds written_at{};
  during_launch = [&] {
    if (written_at == 0ms) written_at = fake.clock.now();
  };
  run();

  const auto write = fake.log.index_of("WriteFile(pipe, OK 4242\n)");
  const auto disconnect = fake.log.index_of("DisconnectNamedPipe");
  ASSERT_LT(write, disconnect);
  EXPECT_EQ(disconnect, write + 1);
  EXPECT_EQ(fake.log.count("Sleep"), 0u);
  // The second client reads its reply and closes: its disconnect takes no time.
  EXPECT_EQ(fake.clock.now() - written_at, 2s);
  EXPECT_EQ(replies(), (std::vector<std::string>{"OK 4242\n", "OK 4243\n"}));
}

TEST_F(PipeServerTest, ClientThatSentMoreAfterItsLineIsPolledForItsCloseAndTheRestIsNeverRead) {
  auto& chatty = client(kRequest + "\nSPAWN more\n");
  chatty.reads_reply = false;
  std::chrono::milliseconds written_at{};
  during_launch = [&] { written_at = fake.clock.now(); };
  run();

  EXPECT_EQ(fake.log.count("Sleep(1)"), 2000u);
  EXPECT_EQ(fake.clock.now() - written_at, 2s);
  EXPECT_EQ(fake.files.served[0].bytes_read, kRequest.size() + 1);
  EXPECT_TRUE(fake.files.served[0].disconnected);
}

TEST_F(PipeServerTest, StopWhileWaitingEndsTheWaitAndLeavesAtTheTopOfTheLoop) {
  run();
  const Calls expected = instance_created() + Calls{"SetEvent(wake)", "CloseHandle(pipe)"};
  EXPECT_EQ(fake.log.calls(), expected);
  EXPECT_FALSE(running.is_set());
}

TEST_F(PipeServerTest, StopDuringAConnectionLetsItFinish) {
  client(kRequest + "\n").connect = {.succeeded = true, .woken = true};
  during_launch = [&] { running.clear(); };
  run();

  EXPECT_EQ(replies(), std::vector<std::string>{"OK 4242\n"});
  EXPECT_TRUE(fake.files.served[0].disconnected);
  EXPECT_EQ(fake.log.count(kCreateInstance), 1u);
  EXPECT_EQ(fake.log.calls().back(), "CloseHandle(enclave-process:4242)");
  EXPECT_EQ(fake.log.count("TerminateProcess"), 0u);
}

}  // namespace
}  // namespace bv::broker
