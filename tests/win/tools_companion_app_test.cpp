// companion-app.exe against a pipe server that the test plays. That server
// is not the service, so every client run against it skips the server check
// (e2e_service_test.cpp covers the check against the installed service).

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/pipe_client.h"
#include "support/process.h"

namespace {

using bv::test::ChildOptions;
using bv::test::ChildProcess;
using bv::test::RunResult;
using bv::test::UniqueFile;
using bv::test::UniqueHandle;

// Generous for one Wine process start; the time limits under test are far
// shorter than this.
constexpr DWORD child_timeout_ms = 20000;
constexpr DWORD io_timeout_ms = 10000;

std::wstring companion_line(const std::vector<std::wstring>& arguments) {
  return bv::test::command_line(bv::test::build_file(L"companion-app.exe"), arguments);
}

RunResult run_companion(const std::vector<std::wstring>& arguments) {
  return bv::test::run(ChildOptions{.command_line = companion_line(arguments)}, child_timeout_ms);
}

// One pipe instance, overlapped, so that every wait of the test is bounded.
class TestPipeServer {
 public:
  TestPipeServer() : name_(L"\\\\.\\pipe\\" + bv::test::unique_name(L"bv-companion-test-")) {
    pipe_.reset(CreateNamedPipeW(name_.c_str(),
                                 PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 5000, nullptr));
    if (!pipe_) throw std::runtime_error("CreateNamedPipeW failed: error " + std::to_string(GetLastError()));
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }

  const std::wstring& name() const { return name_; }
  HANDLE pipe() const { return pipe_.get(); }

  // Starts listening; true once a client is connected.
  bool accept(DWORD timeout_ms) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    if (ConnectNamedPipe(pipe_.get(), &overlapped)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;
    DWORD unused = 0;
    return finish(overlapped, timeout_ms, unused);
  }

  // Bytes up to and including the first line feed; less when the client
  // closes or sends nothing more within `timeout_ms`.
  std::string read_line(DWORD timeout_ms) {
    std::string received;
    char byte = 0;
    while (received.empty() || received.back() != '\n') {
      OVERLAPPED overlapped{};
      overlapped.hEvent = event_.get();
      DWORD done = 0;
      if (!ReadFile(pipe_.get(), &byte, 1, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) break;
      if (!finish(overlapped, timeout_ms, done) || done == 0) break;
      received.push_back(byte);
    }
    return received;
  }

  void write(const std::string& bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    DWORD done = 0;
    if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      throw std::runtime_error("WriteFile failed: error " + std::to_string(GetLastError()));
    }
    if (!finish(overlapped, io_timeout_ms, done) || done != bytes.size()) throw std::runtime_error("reply not written");
  }

  void close() { pipe_.reset(); }

 private:
  bool finish(OVERLAPPED& overlapped, DWORD timeout_ms, DWORD& done) {
    if (WaitForSingleObject(event_.get(), timeout_ms) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_.get(), &overlapped);
      GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
      return false;
    }
    return GetOverlappedResult(pipe_.get(), &overlapped, &done, FALSE) != 0;
  }

  std::wstring name_;
  UniqueFile pipe_;
  UniqueHandle event_;
};

TEST(CompanionApp, HelpGoesToStandardOutputWithStatusZero) {
  const RunResult result = run_companion({L"--help"});
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_NE(result.standard_output.find("--enclave PATH"), std::string::npos) << result.standard_output;
  EXPECT_NE(result.standard_output.find("--raw-hex HEX"), std::string::npos);
  EXPECT_NE(result.standard_output.find("--skip-server-check   UNSAFE"), std::string::npos);
}

TEST(CompanionApp, CommandLineMistakesExitWithFourAndSendNothing) {
  struct Case {
    std::vector<std::wstring> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "give exactly one of --enclave, --raw and --raw-hex"},
      {{L"--enclave"}, "missing value after --enclave"},
      {{L"--raw", L"x", L"--enclave", L"C:\\v.exe"}, "give exactly one of"},
      {{L"--raw-hex", L"abc"}, "--raw-hex needs pairs of hexadecimal digits"},
      {{L"--raw-hex", L"zz"}, "--raw-hex needs pairs of hexadecimal digits"},
      {{L"--raw", L"x", L"--timeout-ms", L"-1"}, "--timeout-ms needs a number of milliseconds"},
      {{L"--raw", L"x", L"--reply-timeout-ms", L"12x"}, "--reply-timeout-ms needs a number of milliseconds"},
      {{L"--raw", L"x", L"--bogus"}, "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    const RunResult result = run_companion(c.arguments);
    SCOPED_TRACE(bv::test::to_utf8(companion_line(c.arguments)));
    EXPECT_EQ(result.exit_code, 4u);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_NE(result.standard_error.find("companion-app: " + c.message), std::string::npos) << result.standard_error;
  }
}

TEST(CompanionApp, WithoutServerGivesUpAfterItsTimeLimit) {
  const std::wstring pipe = L"\\\\.\\pipe\\" + bv::test::unique_name(L"bv-nobody-");
  const RunResult result = run_companion({L"--pipe", pipe, L"--enclave", L"C:\\v.exe", L"--timeout-ms", L"700"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_GE(result.elapsed_ms, 700u);
  EXPECT_LT(result.elapsed_ms, 15000u);
  EXPECT_EQ(result.standard_output, "");
  EXPECT_NE(result.standard_error.find("error 2"), std::string::npos) << result.standard_error;
}

TEST(CompanionApp, SpawnLineCarriesFreshTokenAndSecretAndThePathAsUtf8) {
  const std::wstring path = L"C:\\Program Files\\Brisvander \u00e9\\vault-enclave.exe";
  const std::regex spawn_line("SPAWN ([0-9a-f]{32}) ([0-9a-f]{64}) (.*)\n");
  std::set<std::string> tokens;
  std::set<std::string> secrets;
  for (int run = 0; run < 2; ++run) {
    TestPipeServer server;
    ChildProcess companion(ChildOptions{
        .command_line = companion_line({L"--pipe", server.name(), L"--skip-server-check", L"--enclave", path})});
    ASSERT_TRUE(server.accept(io_timeout_ms));
    const std::string line = server.read_line(io_timeout_ms);
    std::smatch fields;
    ASSERT_TRUE(std::regex_match(line, fields, spawn_line)) << line;
    EXPECT_EQ(fields[3].str(), "C:\\Program Files\\Brisvander \xC3\xA9\\vault-enclave.exe");
    tokens.insert(fields[1].str());
    secrets.insert(fields[2].str());
    server.write("OK 7\n");
    EXPECT_EQ(companion.wait(child_timeout_ms), 0u);
    EXPECT_EQ(companion.standard_output(), "OK 7\n");
  }
  EXPECT_EQ(tokens.size(), 2u) << "the pipe token repeated";
  EXPECT_EQ(secrets.size(), 2u) << "the IPC secret repeated";
}

TEST(CompanionApp, GivenTokenAndSecretAreSentAsGiven) {
  TestPipeServer server;
  ChildProcess companion(ChildOptions{
      .command_line = companion_line({L"--pipe", server.name(), L"--skip-server-check", L"--pipe-token", L"ABC",
                                      L"--ipc-secret", L"0f", L"--enclave", L"C:\\x\\vault-enclave.exe"})});
  ASSERT_TRUE(server.accept(io_timeout_ms));
  EXPECT_EQ(server.read_line(io_timeout_ms), "SPAWN ABC 0f C:\\x\\vault-enclave.exe\n");
  server.write("ERR no\n");
  EXPECT_EQ(companion.wait(child_timeout_ms), 1u);
}

TEST(CompanionApp, ReplyLineDecidesTheExitStatus) {
  struct Case {
    const char* name;
    std::string reply;
    bool close_after_reply;  // close the server end at once instead of waiting for the client
    DWORD exit_code;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"ok", "OK 7\n", false, 0, "OK 7\n"},
      {"err", "ERR x\n", false, 1, "ERR x\n"},
      {"err with em dash", "ERR caller not authorized: \xE2\x80\x94 a\n", false, 1,
       "ERR caller not authorized: \xE2\x80\x94 a\n"},
      {"only the first line", "OK 12\nERR later\n", false, 0, "OK 12\n"},
      {"other line", "HELLO\n", false, 3, "HELLO\n"},
      {"no reply", "", true, 2, ""},
      {"no line feed", "OK 7", true, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPipeServer server;
    ChildProcess companion(ChildOptions{
        .command_line =
            companion_line({L"--pipe", server.name(), L"--skip-server-check", L"--enclave", L"C:\\v.exe"})});
    ASSERT_TRUE(server.accept(io_timeout_ms));
    EXPECT_NE(server.read_line(io_timeout_ms), "");
    if (!c.reply.empty()) server.write(c.reply);
    if (c.close_after_reply) server.close();
    EXPECT_EQ(companion.wait(child_timeout_ms), c.exit_code);
    EXPECT_EQ(companion.standard_output(), c.printed);
  }
}

TEST(CompanionApp, RawRequestsAreSentByteForByte) {
  struct Case {
    std::vector<std::wstring> arguments;
    std::string sent;
  };
  const std::vector<Case> cases = {
      {{L"--raw", L"SPAWN x"}, "SPAWN x\n"},
      {{L"--raw", L"SPAWN x", L"--no-newline"}, "SPAWN x"},
      {{L"--raw", L"\u00e9\u2014"}, "\xC3\xA9\xE2\x80\x94\n"},
      {{L"--raw-hex", L"ff00FE"}, std::string("\xFF\x00\xFE\n", 4)},
      {{L"--raw-hex", L"c328", L"--no-newline"}, "\xC3\x28"},
  };
  for (const Case& c : cases) {
    TestPipeServer server;
    std::vector<std::wstring> arguments = {L"--pipe", server.name(), L"--skip-server-check"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(bv::test::to_utf8(companion_line(arguments)));
    ChildProcess companion(ChildOptions{.command_line = companion_line(arguments)});
    ASSERT_TRUE(server.accept(io_timeout_ms));
    // Without a line feed the read ends when nothing more comes.
    EXPECT_EQ(server.read_line(1500), c.sent);
    server.write("ERR x\n");
    EXPECT_EQ(companion.wait(child_timeout_ms), 1u);
  }
}

TEST(CompanionApp, NoReadEndsRightAfterSending) {
  TestPipeServer server;
  ChildProcess companion(ChildOptions{.command_line = companion_line({L"--pipe", server.name(), L"--skip-server-check",
                                                                      L"--raw", L"SPAWN y", L"--no-read"})});
  ASSERT_TRUE(server.accept(io_timeout_ms));
  EXPECT_EQ(server.read_line(io_timeout_ms), "SPAWN y\n");
  EXPECT_EQ(companion.wait(child_timeout_ms), 0u);
  EXPECT_EQ(companion.standard_output(), "");
}

TEST(CompanionApp, SilentServerEndsTheWaitForAReplyAfterItsTimeLimit) {
  TestPipeServer server;
  const ULONGLONG start = GetTickCount64();
  ChildProcess companion(
      ChildOptions{.command_line = companion_line({L"--pipe", server.name(), L"--skip-server-check", L"--raw",
                                                   L"SPAWN z", L"--reply-timeout-ms", L"800"})});
  ASSERT_TRUE(server.accept(io_timeout_ms));
  EXPECT_EQ(server.read_line(io_timeout_ms), "SPAWN z\n");
  EXPECT_EQ(companion.wait(child_timeout_ms), 2u);
  EXPECT_GE(GetTickCount64() - start, 800u);
  EXPECT_EQ(companion.standard_output(), "");
}

TEST(CompanionApp, WaitsWhileTheOnlyInstanceServesAnotherClient) {
  TestPipeServer server;
  // The test itself is the other client.
  bv::test::Connection other(server.name());
  ASSERT_TRUE(other.open(0)) << "error " << other.error();
  ASSERT_TRUE(server.accept(io_timeout_ms));

  ChildProcess companion(
      ChildOptions{.command_line = companion_line({L"--pipe", server.name(), L"--skip-server-check", L"--raw",
                                                   L"SPAWN w", L"--timeout-ms", L"20000"})});
  // Long enough for the companion to start and find the instance busy, even
  // on a loaded machine.
  Sleep(3000);
  ASSERT_TRUE(companion.running()) << "gave up on a busy pipe: " << companion.standard_error();

  other.close();
  DisconnectNamedPipe(server.pipe());
  ASSERT_TRUE(server.accept(io_timeout_ms));
  EXPECT_EQ(server.read_line(io_timeout_ms), "SPAWN w\n");
  server.write("OK 1\n");
  EXPECT_EQ(companion.wait(child_timeout_ms), 0u);
  EXPECT_EQ(companion.standard_output(), "OK 1\n");
}

}  // namespace
