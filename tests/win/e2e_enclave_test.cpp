// Enclave management end to end under the real API: `run_pipe_server` in
// this process launching the sample enclave through `launch_enclave`, for
// requests of the signed reference client. The test program links the
// logon substitute, so the enclave runs as the test's own user, and the SID
// the service hands it is that user's.

#include <gtest/gtest.h>
#include <windows.h>
// These need <windows.h> first.
#include <sddl.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/e2e_programs.h"
#include "support/e2e_server.h"
#include "support/pipe_client.h"
#include "support/process.h"

namespace {

using bv::test::FileAccessList;
using bv::test::InProcessPipeServer;
using bv::test::InstalledEnclave;
using bv::test::ProgramCopy;
using bv::test::RunResult;
using bv::test::to_hex;
using bv::test::UniqueFile;
using bv::test::UniqueHandle;

constexpr DWORD report_timeout_ms = 15000;
constexpr DWORD log_timeout_ms = 5000;
// The service's grace period is 500 ms; a loaded machine adds to it.
constexpr DWORD stop_timeout_ms = 3000;

// Upper-case on the wire; the enclave must get it lower-case.
const std::string request_secret = "00112233445566778899AABBCCDDEEFF0123456789abcdefFEDCBA9876543210";
const std::string secret_line = "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210\n";

std::wstring wide(std::string_view text) {
  return bv::test::to_wide(text);
}

std::string tagged(std::string_view text) {
  return "[BrisvanderSvc] " + std::string(text);
}

std::wstring hand_over_path(const std::string& token) {
  return bv::test::temp_path_with_separator() + L"bv-ipc-" + wide(token) + L".tmp";
}

// The process id of an "OK {pid}" reply, or 0.
DWORD replied_pid(const RunResult& result) {
  const std::string& out = result.standard_output;
  if (!out.starts_with("OK ") || !out.ends_with("\n")) return 0;
  return static_cast<DWORD>(std::stoul(out.substr(3, out.size() - 4)));
}

// A file with the descriptor `sddl` and the content `content`, made as a
// local user could make it in the shared temporary folder.
UniqueFile plant_file(const std::wstring& path, const wchar_t* sddl, const std::string& content, DWORD share) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return {};
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, &attributes, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  LocalFree(descriptor);
  DWORD written = 0;
  if (file) WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  return file;
}

std::string read_from_start(HANDLE file) {
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  std::string content;
  char buffer[256];
  DWORD done = 0;
  while (ReadFile(file, buffer, sizeof buffer, &done, nullptr) && done > 0) content.append(buffer, done);
  return content;
}

// The hand-over file's DACL: protected, and exactly two allow entries with
// full access, LocalSystem and `sid`, neither inherited.
void expect_service_file_access(const FileAccessList& access, const std::string& sid) {
  EXPECT_TRUE(access.has_dacl);
  if (bv::test::file_dacl_protection_is_kept()) {
    EXPECT_TRUE(access.is_protected) << access.sddl;
  } else {
    std::printf("[ note     ] this system does not keep a file's DACL protection flag; not checked\n");
  }
  ASSERT_EQ(access.entries.size(), 2u) << access.sddl;
  std::set<std::string> trustees;
  for (const bv::test::AccessEntry& entry : access.entries) {
    EXPECT_EQ(entry.type, ACCESS_ALLOWED_ACE_TYPE) << access.sddl;
    EXPECT_EQ(entry.flags, 0) << "an inherited or inheritable entry: " << access.sddl;
    EXPECT_EQ(entry.mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS)) << access.sddl;
    trustees.insert(entry.sid);
  }
  EXPECT_EQ(trustees, (std::set<std::string>{"S-1-5-18", sid})) << access.sddl;
}

bool grants_everyone(const FileAccessList& access) {
  for (const bv::test::AccessEntry& entry : access.entries) {
    if (entry.type == ACCESS_ALLOWED_ACE_TYPE && entry.sid == "S-1-1-0") return true;
  }
  return false;
}

class E2eEnclave : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bv::test::wait_until_listening(log_timeout_ms)); }
  // The service leaves its hand-over files behind by design; the test does
  // not.
  void TearDown() override {
    for (const std::string& token : tokens_) DeleteFileW(hand_over_path(token).c_str());
  }

  // A fresh pipe token, whose hand-over file goes when the test ends.
  std::string new_token() {
    tokens_.push_back(bv::test::new_pipe_token());
    return tokens_.back();
  }

  // One SPAWN request of the signed companion for the installed enclave.
  RunResult spawn(const std::string& token) const {
    return companion.run(
        {L"--enclave", enclave.path(), L"--pipe-token", wide(token), L"--ipc-secret", wide(request_secret)});
  }

  // A request that must succeed: the launched enclave's pid, once its report
  // shows that it waits (or, told so, ignores its event).
  DWORD spawn_and_wait_for_enclave(const std::string& token) {
    const RunResult result = spawn(token);
    const DWORD pid = replied_pid(result);
    EXPECT_NE(pid, 0u) << result.standard_output << result.standard_error << "\nlog:\n" << server.console().text();
    EXPECT_EQ(result.exit_code, 0u);
    const auto report = enclave.wait_for_report(token, "shutdown", report_timeout_ms);
    EXPECT_TRUE(report) << "no report from the enclave of " << token;
    if (report) {
      EXPECT_EQ(report->at("pid"), std::to_string(pid));
    }
    return pid;
  }

  // The same with `variable`=1 in the account's environment for this launch
  // alone. The enclave's environment block is built from the account's
  // registry, not from this process's environment.
  DWORD spawn_and_wait_for_enclave_with(const std::string& token, const wchar_t* variable) {
    const bv::test::UserEnvironmentValue set(variable, L"1");
    return spawn_and_wait_for_enclave(token);
  }

  std::size_t stop_lines() const {
    return server.console().lines_containing("enclave PID").size() +
           server.console().lines_containing("Enclave PID").size();
  }

  // Declared first so that it goes last: every enclave still running from
  // its folder is ended then.
  InstalledEnclave enclave;
  ProgramCopy companion = bv::test::signed_companion();
  InProcessPipeServer server;

 private:
  std::vector<std::string> tokens_;
};

TEST_F(E2eEnclave, LaunchHandsTheEnclaveItsCommandLineSecretAndArtefacts) {
  const std::string token = new_token();
  const std::string sid = bv::test::own_user_sid();
  if (bv::test::running_under_wine()) {
    EXPECT_EQ(sid, "S-1-5-21-0-0-0-1000");
  }

  const RunResult result = spawn(token);
  std::printf("[ figures  ] spawn round trip (client start to reply, no enclave before): %lu ms\n",
              static_cast<unsigned long>(result.elapsed_ms));
  const DWORD pid = replied_pid(result);
  ASSERT_NE(pid, 0u) << result.standard_output << result.standard_error << "\nlog:\n" << server.console().text();
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(server.launched(), std::vector<std::uint32_t>{pid});
  UniqueHandle process = bv::test::open_for_exit_code(pid);

  const auto report = enclave.wait_for_report(token, "shutdown", report_timeout_ms);
  ASSERT_TRUE(report);
  const std::wstring file = hand_over_path(token);
  const std::string expected_line = "\"" + bv::test::to_utf8(enclave.path()) + "\" --pipe-token " + token +
                                    " --pipe-allow-sid " + sid + " --service-verified --shutdown-event " +
                                    "brisvander-shutdown-" + token + " --ipc-secret-file \"" + bv::test::to_utf8(file) +
                                    "\"";
  EXPECT_EQ(report->at("pid"), std::to_string(pid));
  EXPECT_EQ(report->at("command_line"), expected_line);
  ASSERT_EQ(secret_line.size(), 65u);
  EXPECT_EQ(report->at("stdin_hex"), to_hex(secret_line));
  EXPECT_FALSE(report->contains("stdin")) << report->at("stdin");
  EXPECT_EQ(report->at("secret_file_hex"), to_hex(secret_line));
  EXPECT_EQ(report->at("shutdown"), "waiting");

  // The hand-over file stays, holding the line, readable by SYSTEM and the
  // account alone.
  EXPECT_EQ(bv::test::read_file(file), secret_line);
  const FileAccessList access = bv::test::read_file_access_list(file);
  std::printf("[ figures  ] hand-over file DACL: %s\n", access.sddl.c_str());
  expect_service_file_access(access, sid);

  // The account may wait on the event and nothing more.
  const std::wstring event_name = L"brisvander-shutdown-" + wide(token);
  UniqueHandle waitable(OpenEventW(SYNCHRONIZE, FALSE, event_name.c_str()));
  EXPECT_TRUE(waitable) << "error " << GetLastError();
  UniqueHandle settable(OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name.c_str()));
  EXPECT_FALSE(settable);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // A first launch stops nothing and logs nothing (the profile and the
  // environment block were made, or a warning would say otherwise).
  EXPECT_TRUE(server.console().lines().empty()) << server.console().text();

  // When the service stops, the enclave keeps running, and so its hand-over
  // file stays.
  server.stop();
  EXPECT_FALSE(bv::test::wait_for_exit(process.get(), 300)) << "the enclave ended with the server";
  EXPECT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES) << "the hand-over file was deleted";
}

TEST_F(E2eEnclave, NextRequestStopsThePreviousEnclaveThroughItsEvent) {
  const std::string first_token = new_token();
  const DWORD first = spawn_and_wait_for_enclave(first_token);
  ASSERT_NE(first, 0u);
  UniqueHandle first_process = bv::test::open_for_exit_code(first);

  const std::string second_token = new_token();
  const RunResult result = spawn(second_token);
  std::printf("[ figures  ] spawn round trip (client start to reply, stopping the enclave before): %lu ms\n",
              static_cast<unsigned long>(result.elapsed_ms));
  const DWORD second = replied_pid(result);
  EXPECT_NE(second, 0u) << result.standard_output << "\nlog:\n" << server.console().text();
  EXPECT_NE(second, first);

  const auto terminating = server.console().lines_containing("Terminating previous enclave");
  ASSERT_EQ(terminating.size(), 1u) << server.console().text();
  EXPECT_EQ(terminating[0].text, tagged("Terminating previous enclave PID " + std::to_string(first) + " for respawn"));
  const auto graceful = server.console().lines_containing("exited gracefully");
  ASSERT_EQ(graceful.size(), 1u) << server.console().text();
  EXPECT_EQ(graceful[0].text, tagged("Enclave PID " + std::to_string(first) + " exited gracefully"));
  EXPECT_TRUE(server.console().lines_containing("Force-terminated").empty()) << server.console().text();

  EXPECT_EQ(bv::test::wait_for_exit(first_process.get(), 0), 0u);
  const auto first_report = enclave.wait_for_report(first_token, "ended", report_timeout_ms);
  ASSERT_TRUE(first_report);
  EXPECT_EQ(first_report->at("ended"), "event-set");
  // The ended enclave's hand-over file is gone; the running one's is there.
  EXPECT_EQ(GetFileAttributesW(hand_over_path(first_token).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(bv::test::read_file(hand_over_path(second_token)), secret_line);
}

TEST_F(E2eEnclave, EnclaveThatIgnoresItsEventIsTerminatedWithExitCodeOneAfterTheGracePeriod) {
  const std::string first_token = new_token();
  const DWORD first = spawn_and_wait_for_enclave_with(first_token, L"BV_ENCLAVE_IGNORE_SHUTDOWN");
  ASSERT_NE(first, 0u);
  const auto first_report = enclave.wait_for_report(first_token, "shutdown", 0);
  ASSERT_TRUE(first_report);
  ASSERT_EQ(first_report->at("shutdown"), "ignored") << "the variable did not reach the enclave";
  UniqueHandle first_process = bv::test::open_for_exit_code(first);

  const RunResult result = spawn(new_token());
  EXPECT_NE(replied_pid(result), 0u) << result.standard_output << "\nlog:\n" << server.console().text();
  // Terminated, and so known to have ended: its hand-over file is gone.
  EXPECT_EQ(GetFileAttributesW(hand_over_path(first_token).c_str()), INVALID_FILE_ATTRIBUTES);

  const auto terminating = server.console().lines_containing("Terminating previous enclave");
  const auto forced = server.console().lines_containing("Force-terminated");
  ASSERT_EQ(terminating.size(), 1u) << server.console().text();
  ASSERT_EQ(forced.size(), 1u) << server.console().text();
  EXPECT_EQ(terminating[0].text, tagged("Terminating previous enclave PID " + std::to_string(first) + " for respawn"));
  EXPECT_EQ(forced[0].text, tagged("Force-terminated enclave PID " + std::to_string(first)));
  EXPECT_TRUE(server.console().lines_containing("exited gracefully").empty()) << server.console().text();
  const auto grace = std::chrono::duration_cast<std::chrono::milliseconds>(forced[0].at - terminating[0].at);
  std::printf("[ figures  ] force-terminated %lld ms after the terminating line\n",
              static_cast<long long>(grace.count()));
  EXPECT_GE(grace.count(), 490);
  EXPECT_LT(grace.count(), static_cast<long long>(stop_timeout_ms));

  EXPECT_EQ(bv::test::wait_for_exit(first_process.get(), stop_timeout_ms), 1u);
}

TEST_F(E2eEnclave, RejectedCallerAndUnreadableLinesLeaveTheRunningEnclaveAlone) {
  const DWORD first = spawn_and_wait_for_enclave(new_token());
  ASSERT_NE(first, 0u);
  UniqueHandle first_process = bv::test::open_for_exit_code(first);

  const ProgramCopy unsigned_copy = bv::test::unsigned_companion();
  const RunResult rejected = unsigned_copy.run({L"--enclave", enclave.path(), L"--pipe-token", wide(new_token())});
  EXPECT_EQ(rejected.standard_output, "ERR caller not authorized: Authenticode failed (0x800B0100)\n");
  const RunResult empty = companion.run({L"--raw", L""});
  EXPECT_EQ(empty.exit_code, 2u);
  const RunResult not_utf8 = companion.run({L"--raw-hex", L"ff"});
  EXPECT_EQ(not_utf8.exit_code, 2u);

  EXPECT_FALSE(bv::test::wait_for_exit(first_process.get(), 0)) << "the enclave was stopped";
  EXPECT_EQ(stop_lines(), 0u) << server.console().text();
  EXPECT_EQ(server.launch_calls(), 1);

  // Still remembered: the next verified request stops it, even one that
  // turns out malformed, and afterwards nothing is remembered.
  const RunResult malformed = companion.run({L"--raw", L"HELLO"});
  EXPECT_EQ(malformed.standard_output, "ERR Invalid request format\n");
  EXPECT_EQ(server.console().lines_containing("Terminating previous enclave PID " + std::to_string(first)).size(), 1u)
      << server.console().text();
  EXPECT_EQ(bv::test::wait_for_exit(first_process.get(), stop_timeout_ms), 0u);

  const std::size_t after_stop = stop_lines();
  EXPECT_NE(spawn_and_wait_for_enclave(new_token()), 0u);
  EXPECT_EQ(stop_lines(), after_stop) << server.console().text();
}

TEST_F(E2eEnclave, EnclavesThatEndedOrNeverStartedAreNotStoppedAgain) {
  // An enclave that ends on its own right after its report.
  const std::string first_token = new_token();
  const DWORD first = spawn_and_wait_for_enclave_with(first_token, L"BV_ENCLAVE_EXIT_AT_ONCE");
  ASSERT_NE(first, 0u);
  UniqueHandle first_process = bv::test::open_for_exit_code(first);
  ASSERT_EQ(bv::test::wait_for_exit(first_process.get(), report_timeout_ms), 0u);

  // A launch that fails: the path passes every check but names no file.
  const std::string failed_token = new_token();
  const std::wstring folder = enclave.path().substr(0, enclave.path().rfind(L'\\') + 1);
  const RunResult failed = companion.run({L"--enclave", folder + L"Copy of vault-enclave.exe", L"--pipe-token",
                                          wide(failed_token), L"--ipc-secret", wide(request_secret)});
  const std::string message = "CreateProcessAsUser failed: error " + std::to_string(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(failed.standard_output, "ERR " + message + "\n") << failed.standard_error;
  EXPECT_EQ(failed.exit_code, 1u);
  EXPECT_TRUE(server.console().wait_for_line(tagged("Spawn error: " + message), log_timeout_ms))
      << server.console().text();
  // Its hand-over file was written before the start failed, and deleted
  // before the reply: no enclave would ever read the secret in it.
  EXPECT_EQ(GetFileAttributesW(hand_over_path(failed_token).c_str()), INVALID_FILE_ATTRIBUTES)
      << "the failed launch left its hand-over file";

  // Neither the ended enclave nor the failed launch is stopped by the next
  // request.
  EXPECT_NE(spawn_and_wait_for_enclave(new_token()), 0u);
  EXPECT_EQ(stop_lines(), 0u) << server.console().text();
  EXPECT_EQ(server.launch_calls(), 3);
  EXPECT_EQ(server.launched().size(), 2u);
  // The ended enclave's hand-over file went with the stop that found it
  // ended.
  EXPECT_EQ(GetFileAttributesW(hand_over_path(first_token).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(E2eEnclave, StoppingAnEnclaveEndsWhatItStartedToo) {
  // An enclave that starts a process of its own and ignores its event.
  const InstalledEnclave standin(L"enclave-standin.exe");
  const std::string token = new_token();
  const RunResult result = companion.run(
      {L"--enclave", standin.path(), L"--pipe-token", wide(token), L"--ipc-secret", wide(request_secret)});
  const DWORD pid = replied_pid(result);
  ASSERT_NE(pid, 0u) << result.standard_output << result.standard_error << "\nlog:\n" << server.console().text();
  const auto report = standin.wait_for_report(token, "pid", report_timeout_ms);
  ASSERT_TRUE(report) << "no report from the stand-in";
  EXPECT_EQ(report->at("pid"), std::to_string(pid));
  // Its job lets nothing it starts leave.
  EXPECT_TRUE(report->at("breakaway").starts_with("refused ")) << report->at("breakaway");
  std::printf("[ figures  ] a child started with CREATE_BREAKAWAY_FROM_JOB inside the enclave's job: %s\n",
              report->at("breakaway").c_str());
  ASSERT_TRUE(report->contains("child_pid")) << "the stand-in could not start its child";
  UniqueHandle enclave_process = bv::test::open_for_exit_code(pid);
  UniqueHandle child = bv::test::open_for_exit_code(static_cast<DWORD>(std::stoul(report->at("child_pid"))));

  EXPECT_NE(spawn_and_wait_for_enclave(new_token()), 0u);
  EXPECT_EQ(server.console().lines_containing("Force-terminated enclave PID " + std::to_string(pid)).size(), 1u)
      << server.console().text();
  // Both ended with the job's exit code, and the hand-over file went after them.
  EXPECT_EQ(bv::test::wait_for_exit(enclave_process.get(), stop_timeout_ms), 1u);
  EXPECT_EQ(bv::test::wait_for_exit(child.get(), stop_timeout_ms), 1u) << "the enclave's child outlived it";
  EXPECT_EQ(GetFileAttributesW(hand_over_path(token).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(E2eEnclave, ShutdownEventNameTakenBeforeTheLaunchIsNotUsed) {
  const std::string token = new_token();
  // Made first by someone else, with default security.
  const std::wstring event_name = L"brisvander-shutdown-" + wide(token);
  const UniqueHandle taken(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  ASSERT_TRUE(taken) << GetLastError();

  ASSERT_NE(spawn_and_wait_for_enclave(token), 0u);
  const auto report = enclave.wait_for_report(token, "shutdown", 0);
  ASSERT_TRUE(report);
  const std::string& command_line = report->at("command_line");
  EXPECT_EQ(command_line.find("--shutdown-event"), std::string::npos) << command_line;
  EXPECT_TRUE(command_line.ends_with("--service-verified --ipc-secret-file \"" +
                                     bv::test::to_utf8(hand_over_path(token)) + "\""))
      << command_line;
  EXPECT_EQ(report->at("shutdown"), "no-event");
}

TEST_F(E2eEnclave, PlantedHandOverFileNeverGetsTheSecretUnderItsOwnDescriptor) {
  // Planted and closed: after the request the name holds the service's file.
  {
    const std::string token = new_token();
    const std::wstring path = hand_over_path(token);
    UniqueFile planted = plant_file(path, L"D:(A;;FA;;;WD)", "planted\n", FILE_SHARE_READ);
    ASSERT_TRUE(planted) << "error " << GetLastError();
    planted.reset();
    const FileAccessList before = bv::test::read_file_access_list(path);
    ASSERT_TRUE(grants_everyone(before)) << "the planted descriptor did not stick: " << before.sddl;

    ASSERT_NE(spawn_and_wait_for_enclave(token), 0u);
    const auto report = enclave.wait_for_report(token, "shutdown", 0);
    ASSERT_TRUE(report);
    const std::optional<std::string> content = bv::test::read_file(path);
    if (content) {
      expect_service_file_access(bv::test::read_file_access_list(path), bv::test::own_user_sid());
      EXPECT_EQ(*content, secret_line);
      EXPECT_EQ(report->at("secret_file_hex"), to_hex(secret_line));
    } else {
      EXPECT_FALSE(report->contains("ipc_secret_file")) << "the enclave was told of a file that is not there";
    }
  }

  // Planted and held open by its planter (deletion allowed): whatever the
  // service does, the planter's handle never reads the secret.
  {
    const std::string token = new_token();
    const std::wstring path = hand_over_path(token);
    UniqueFile planted =
        plant_file(path, L"D:(A;;FA;;;WD)", "planted\n", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_TRUE(planted) << "error " << GetLastError();

    ASSERT_NE(spawn_and_wait_for_enclave(token), 0u);
    const auto report = enclave.wait_for_report(token, "shutdown", 0);
    ASSERT_TRUE(report);
    const std::string seen_by_planter = read_from_start(planted.get());
    EXPECT_EQ(seen_by_planter.find(secret_line.substr(0, 64)), std::string::npos) << seen_by_planter;
    EXPECT_EQ(report->at("stdin_hex"), to_hex(secret_line)) << "the secret still goes over standard input";
    planted.reset();

    const bool file_left = bv::test::read_file(path).has_value();
    std::printf("[ figures  ] planted file held open: %s, %s\n",
                report->contains("ipc_secret_file") ? "a hand-over file was named" : "no hand-over file was named",
                file_left ? "a file is at the name afterwards" : "nothing is at the name afterwards");
    if (file_left) {
      const FileAccessList after = bv::test::read_file_access_list(path);
      EXPECT_FALSE(grants_everyone(after)) << "the planted file is still there: " << after.sddl;
      expect_service_file_access(after, bv::test::own_user_sid());
    }
    if (report->contains("ipc_secret_file")) {
      EXPECT_EQ(report->at("secret_file_hex"), to_hex(secret_line));
    }
  }
}

}  // namespace
