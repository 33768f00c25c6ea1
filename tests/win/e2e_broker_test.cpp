// The broker end to end under the real API: `run_pipe_server` in this
// process, copies of the reference client as its callers. The copies are
// made by each test, so their paths, names and signatures are the test's
// choice.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/names.h"
#include "support/e2e_programs.h"
#include "support/e2e_server.h"
#include "support/pipe_client.h"
#include "support/process.h"

namespace {

using bv::test::Connection;
using bv::test::InProcessPipeServer;
using bv::test::Outcome;
using bv::test::ProgramCopy;
using bv::test::RunResult;

constexpr DWORD log_timeout_ms = 5000;

std::string tagged(std::string_view text) {
  return "[BrisvanderSvc] " + std::string(text);
}

// An enclave path that passes the name and location checks; the file need
// not exist, since no request of this file gets as far as the launch.
std::wstring accepted_enclave_path() {
  return bv::test::environment_variable(L"ProgramFiles").value_or(L"C:\\Program Files") +
         L"\\Brisvander Test\\vault-enclave.exe";
}

// This test program as a client of the service's pipe: it connects once,
// without waiting, and then does only what the test tells it.
Connection connect_once() {
  Connection client;
  static_cast<void>(client.open(0));  // the test looks at connected() and error()
  return client;
}

// Waits until the server's one instance is taken by a client, without
// taking it: WaitNamedPipeW returns at once while the instance listens and
// times out while a client holds it.
bool wait_until_busy(DWORD timeout_ms) {
  const std::wstring pipe(bv::names::pipe_name<wchar_t>);
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (GetTickCount64() < deadline) {
    if (!WaitNamedPipeW(pipe.c_str(), 1) && GetLastError() == ERROR_SEM_TIMEOUT) return true;
    Sleep(10);
  }
  return false;
}

class E2eBroker : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bv::test::wait_until_listening(log_timeout_ms)); }

  // Asserts that `client` ran and was answered with `reply` (its exit status
  // follows from the reply's first word).
  void expect_reply(const RunResult& result, const std::string& reply) const {
    EXPECT_EQ(result.standard_output, reply + "\n") << result.standard_error << "\nlog:\n" << server.console().text();
    EXPECT_EQ(result.exit_code, reply.starts_with("OK ") ? 0u : 1u);
  }
  void expect_log_line(const std::string& line) const {
    EXPECT_TRUE(server.console().wait_for_line(line, log_timeout_ms)) << "missing: " << line << "\nlog:\n"
                                                                      << server.console().text();
  }

  InProcessPipeServer server;
};

TEST_F(E2eBroker, MalformedRequestsOfTheSignedCompanionGetTheirErrorAndLogLine) {
  const ProgramCopy companion = bv::test::signed_companion();
  const std::wstring accepted = accepted_enclave_path();
  const std::wstring folder = accepted.substr(0, accepted.rfind(L'\\') + 1);
  const std::wstring token = L"00112233445566778899aabbccddeeff";
  struct Case {
    std::vector<std::wstring> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{L"--raw", L"HELLO"}, "Invalid request format"},
      {{L"--raw", L"spawn " + token + L" " + std::wstring(64, L'0') + L" " + accepted}, "Invalid request format"},
      {{L"--enclave", accepted, L"--pipe-token", L"abc"}, "pipe_token must be 32 hex chars, got 3"},
      {{L"--enclave", accepted, L"--pipe-token", token, L"--ipc-secret", L"ab"},
       "ipc_secret must be 64 hex chars, got 2"},
      {{L"--enclave", folder + L"vault-enclave.exe.bak"}, "Enclave path must end with 'vault-enclave.exe'"},
      {{L"--enclave", L"C:\\Elsewhere\\vault-enclave.exe"},
       "Enclave path must be under %ProgramFiles% or %LOCALAPPDATA%"},
      {{L"--enclave", folder + L"ads:vault-enclave.exe"}, "Enclave path contains characters that are not allowed"},
      {{L"--enclave", accepted, L"--ipc-secret", L"g" + std::wstring(63, L'0')},
       "Bad ipc_secret hex: Invalid hex char: g"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const RunResult result = companion.run(c.arguments);
    expect_reply(result, "ERR " + c.message);
    expect_log_line(tagged("Spawn error: " + c.message));
  }
  EXPECT_EQ(server.launch_calls(), 0);
  EXPECT_TRUE(server.console().lines_containing("Rejected").empty()) << server.console().text();
}

TEST_F(E2eBroker, CallersOtherThanTheSignedCompanionAreRefusedBeforeTheRequestIsParsed) {
  // Unsigned, under the right name: refused by the signature test, although
  // the request itself would pass every check.
  const ProgramCopy unsigned_copy = bv::test::unsigned_companion();
  const RunResult refused_unsigned = unsigned_copy.run({L"--enclave", accepted_enclave_path()});
  expect_reply(refused_unsigned, "ERR caller not authorized: Authenticode failed (0x800B0100)");
  expect_log_line(tagged("Rejected SPAWN caller: Authenticode failed (0x800B0100)"));

  // Signed, under another name (mixed case, a non-ASCII letter): refused by
  // the name test with the path as Windows reports it, before the malformed
  // request is looked at.
  const ProgramCopy renamed =
      ProgramCopy(L"signed\\companion-app.exe", L"C\u00F6mpanion-App.EXE", bv::test::in_process_server_client());
  const RunResult refused_renamed = renamed.run({L"--raw", L"HELLO"});
  const std::string reason = "Caller '" + bv::test::to_utf8(renamed.path()) + "' is not companion-app.exe";
  expect_reply(refused_renamed, "ERR caller not authorized: " + reason);
  expect_log_line(tagged("Rejected SPAWN caller: " + reason));

  EXPECT_EQ(server.launch_calls(), 0);
  EXPECT_TRUE(server.console().lines_containing("Spawn error").empty()) << server.console().text();
}

TEST_F(E2eBroker, EmptyOrNonUtf8LinesGetNoReplyAndTheirReadError) {
  const ProgramCopy companion = bv::test::signed_companion();
  const ProgramCopy unsigned_copy = bv::test::unsigned_companion();
  struct Case {
    const ProgramCopy* client;
    std::vector<std::wstring> arguments;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {&companion, {L"--raw", L""}, "Empty request"},
      // The verdict is acted on only for a usable line: an unsigned caller
      // gets no reply either.
      {&unsigned_copy, {L"--raw", L""}, "Empty request"},
      {&companion, {L"--raw-hex", L"ff"}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {&companion, {L"--raw-hex", L"41e282"}, "incomplete utf-8 byte sequence from index 1"},
      {&companion, {L"--raw-hex", L"41e28228"}, "invalid utf-8 sequence of 2 bytes from index 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::size_t before = server.console().lines_containing("Read error: " + c.reason).size();
    const RunResult result = c.client->run(c.arguments);
    EXPECT_EQ(result.exit_code, 2u) << result.standard_error;
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(server.console().lines_containing("Read error: " + c.reason).size(), before + 1)
        << server.console().text();
  }
  EXPECT_TRUE(server.console().wait_for_line(tagged("Read error: Empty request"), log_timeout_ms));
  EXPECT_TRUE(server.console().lines_containing("Rejected").empty()) << server.console().text();
  EXPECT_TRUE(server.console().lines_containing("Spawn error").empty()) << server.console().text();
}

TEST_F(E2eBroker, SecondClientWaitsWhileOneIsServedAndIsServedAfterIt) {
  const ProgramCopy companion = bv::test::signed_companion();
  // A signed client that stays silent: verified, it holds the one instance
  // for the ten seconds that a verified caller has for its line.
  const ProgramCopy silent(L"signed\\silent-companion-app.exe", L"silent-companion-app.exe");
  const auto first = silent.start({});
  ASSERT_TRUE(wait_until_busy(bv::test::client_timeout_ms)) << "the silent client never connected";
  // While the first client holds the one instance, an open finds it busy.
  const Connection probe = connect_once();
  EXPECT_FALSE(probe.connected());
  EXPECT_EQ(probe.error(), static_cast<DWORD>(ERROR_PIPE_BUSY));

  const auto second = companion.start({L"--raw", L"HELLO"});
  EXPECT_FALSE(second->wait(1500)) << "served while the first client still held the pipe";

  EXPECT_EQ(first->wait(bv::test::client_timeout_ms), 0u) << first->standard_output() << first->standard_error();
  const auto released = std::chrono::steady_clock::now();
  const std::optional<DWORD> status = second->wait(bv::test::client_timeout_ms);
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - released);
  const std::string marker = "silent-client: held_ms=";
  ASSERT_TRUE(first->standard_output().starts_with(marker)) << first->standard_output();
  const double held_ms = std::stod(first->standard_output().substr(marker.size()));
  std::printf("[ figures  ] silent verified caller cut off after %.0f ms; second client served %lld ms after that\n",
              held_ms, static_cast<long long>(waited.count()));
  EXPECT_GE(held_ms, 9500);
  EXPECT_LT(held_ms, 13000);
  EXPECT_EQ(status, 1u);
  EXPECT_EQ(second->standard_output(), "ERR Invalid request format\n") << second->standard_error();

  const auto read_errors = server.console().lines_containing("Read error: Request timed out");
  const auto spawn_errors = server.console().lines_containing("Spawn error: Invalid request format");
  ASSERT_EQ(read_errors.size(), 1u) << server.console().text();
  ASSERT_EQ(spawn_errors.size(), 1u) << server.console().text();
  EXPECT_LE(read_errors[0].at, spawn_errors[0].at);
}

TEST_F(E2eBroker, SilentRefusedCallerIsCutOffAfterAboutASecondAndTheNextIsServed) {
  // This test program is refused (its name is not companion-app.exe).
  const ProgramCopy companion = bv::test::signed_companion();
  Connection silent = connect_once();
  ASSERT_TRUE(silent.connected()) << "error " << silent.error();
  const auto connected = std::chrono::steady_clock::now();
  const auto next = companion.start({L"--raw", L"HELLO"});

  const bv::test::Received ended = silent.read_reply(20000);
  EXPECT_EQ(ended.outcome, Outcome::silence)
      << "not cut off, or sent a reply: " << outcome_name(ended.outcome) << " '" << ended.line << "'";
  const auto cut_off =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - connected);
  std::printf("[ figures  ] silent refused caller cut off after %lld ms\n", static_cast<long long>(cut_off.count()));
  EXPECT_GE(cut_off.count(), 900);
  EXPECT_LT(cut_off.count(), 4000);
  expect_log_line(tagged("Read error: Request timed out"));
  EXPECT_TRUE(server.console().lines_containing("Rejected").empty()) << server.console().text();

  EXPECT_EQ(next->wait(bv::test::client_timeout_ms), 1u);
  EXPECT_EQ(next->standard_output(), "ERR Invalid request format\n") << next->standard_error();
}

TEST_F(E2eBroker, StopWhileWaitingForAClientReturnsWithinAHundredMilliseconds) {
  // First round: the server of the fixture, after it has served a client.
  const ProgramCopy companion = bv::test::signed_companion();
  expect_reply(companion.run({L"--raw", L"HELLO"}), "ERR Invalid request format");

  std::vector<long long> latencies_us;
  for (int round = 0; round < 3; ++round) {
    std::optional<InProcessPipeServer> fresh;
    InProcessPipeServer* running = &server;
    if (round > 0) running = &fresh.emplace();
    ASSERT_TRUE(bv::test::wait_until_listening(log_timeout_ms));
    // Well inside the wait for a client, not on the way to it.
    Sleep(200);
    latencies_us.push_back(running->stop().count());
    // The instance went with the server.
    EXPECT_FALSE(WaitNamedPipeW(bv::names::pipe_name<wchar_t>.data(), NMPWAIT_NOWAIT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  for (const long long microseconds : latencies_us) {
    std::printf("[ figures  ] run_pipe_server returned %.3f ms after the running flag was cleared\n",
                static_cast<double>(microseconds) / 1000.0);
    EXPECT_LT(microseconds, 100'000);
  }
}

}  // namespace
