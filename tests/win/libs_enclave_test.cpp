// The enclave library through its C interface (brisvander/enclave.h), with
// the companion library's on the other end: the test-signed C caller
// bv-c-companion-app.exe asks the installed service (test-logon build) for
// bv-c-enclave.exe, installed as vault-enclave.exe, which begins from the
// service's real hand-over. And a begin refused for a hand-over file that
// does not hold the secret line.

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <optional>
#include <regex>
#include <string>

#include "support/e2e_programs.h"
#include "support/e2e_service_support.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace {

using bv::test::ChildOptions;
using bv::test::ChildProcess;
using bv::test::parse_report;
using bv::test::RunResult;
using bv::test::TempDirectory;
using namespace bv::test::e2e;

constexpr wchar_t account_password[] = L"0123456789ABCDEF0123aB3!";
constexpr DWORD listening_timeout_ms = 10000;
constexpr DWORD report_timeout_ms = 15000;
// The service's grace period is 500 ms; a loaded machine adds to it.
constexpr DWORD stop_timeout_ms = 5000;

const std::string secret_line = "00112233445566778899aabbccddeeff0123456789abcdef00112233445566ff\n";

// One run of the signed C caller: its report lines, and its exit code.
struct Grant {
  std::map<std::string, std::string> lines;
  std::optional<DWORD> exit_code;
  DWORD pid() const { return lines.contains("pid") ? static_cast<DWORD>(std::stoul(lines.at("pid"))) : 0; }
};

Grant ask_for_enclave(const std::wstring& enclave) {
  const RunResult run =
      bv::test::run({.command_line = bv::test::command_line(bv::test::build_file(L"signed\\bv-c-companion-app.exe"),
                                                            {enclave, L"15000"})},
                    bv::test::client_timeout_ms);
  return {parse_report(run.standard_output), run.exit_code};
}

// The report of the C enclave with process id `pid` in `folder` once it
// holds `key`, or nothing.
std::optional<std::map<std::string, std::string>> enclave_report(const OwnedFolder& folder, DWORD pid,
                                                                 const std::string& key) {
  const std::wstring path = folder.file(L"bv-c-enclave-" + std::to_wstring(pid) + L".txt");
  const ULONGLONG deadline = GetTickCount64() + report_timeout_ms;
  do {
    if (auto text = bv::test::read_file(path)) {
      auto report = parse_report(*text);
      if (report.contains(key)) return report;
    }
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return std::nullopt;
}

// The path between the quotes of --ipc-secret-file in a command line.
std::string hand_over_file(const std::string& command_line) {
  std::smatch match;
  if (!std::regex_search(command_line, match, std::regex(" --ipc-secret-file \"([^\"]+)\""))) return {};
  return match[1].str();
}

TEST(LibsEnclave, TheServicesHandOverIsBegunAndTheGrantMatchesIt) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  const OwnedFolder folder(bv::test::program_files() + L"\\" + bv::test::unique_name(L"Bv C Enclave "));
  copy_file(bv::test::build_file(L"bv-c-enclave.exe"), folder.file(L"vault-enclave.exe"));
  // Declared after the folder, so that it ends the enclaves before the
  // folder goes.
  ProcessReaper reaper;
  const auto service = bv::test::install_and_start(bv::test::build_file(L"brisvander-svc-testlogon.exe"));
  ASSERT_TRUE(bv::test::wait_until_listening(listening_timeout_ms));

  const Grant first = ask_for_enclave(folder.file(L"vault-enclave.exe"));
  ASSERT_EQ(first.lines.count("code"), 1u);
  ASSERT_EQ(first.lines.at("code"), "0") << first.lines.at("message");
  EXPECT_EQ(first.exit_code, 0u);
  ASSERT_NE(first.pid(), 0u);
  reaper.add(first.pid());
  const auto first_process = bv::test::open_for_exit_code(first.pid());
  EXPECT_TRUE(std::regex_match(first.lines.at("token"), std::regex("[0-9a-f]{32}")));
  EXPECT_TRUE(std::regex_match(first.lines.at("secret"), std::regex("[0-9a-f]{64}")));

  // The enclave got exactly what the companion was granted, and only the
  // right to wait on its event.
  const auto report = enclave_report(folder, first.pid(), "event");
  ASSERT_TRUE(report) << "no report from the enclave";
  EXPECT_EQ(report->at("begin"), "0") << report->at("message");
  EXPECT_EQ(report->at("token"), first.lines.at("token"));
  EXPECT_EQ(report->at("secret"), first.lines.at("secret"));
  EXPECT_EQ(report->at("sid"), bv::test::own_user_sid());
  EXPECT_EQ(report->at("event"), "yes");
  EXPECT_EQ(report->at("set_event_error"), std::to_string(ERROR_ACCESS_DENIED));
  // Its hand-over file was read and deleted.
  const std::string file = hand_over_file(report->at("command_line"));
  ASSERT_FALSE(file.empty()) << report->at("command_line");
  EXPECT_EQ(GetFileAttributesW(bv::test::to_wide(file).c_str()), INVALID_FILE_ATTRIBUTES) << file;
  EXPECT_FALSE(bv::test::wait_for_exit(first_process.get(), 0)) << "the enclave did not wait for its event";

  // The next request stops it through the event it waits on: it ends by
  // itself, with status 0, not terminated with 1.
  const Grant second = ask_for_enclave(folder.file(L"vault-enclave.exe"));
  ASSERT_EQ(second.lines.count("code"), 1u);
  EXPECT_EQ(second.lines.at("code"), "0") << second.lines.at("message");
  reaper.add(second.pid());
  EXPECT_NE(second.lines.at("token"), first.lines.at("token"));
  EXPECT_EQ(bv::test::wait_for_exit(first_process.get(), stop_timeout_ms), 0u);
  const auto ended = enclave_report(folder, first.pid(), "ended");
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->at("ended"), "event-set");
}

TEST(LibsEnclave, AHandOverFileThatDoesNotHoldTheSecretLineRefusesTheBeginAndStays) {
  const TempDirectory folder;
  const std::wstring program = folder.file(L"vault-enclave.exe");
  ASSERT_TRUE(CopyFileW(bv::test::build_file(L"bv-c-enclave.exe").c_str(), program.c_str(), FALSE));
  const std::wstring token = L"0123456789ABCDEF0123456789abcdef";
  const std::wstring file = folder.file(L"bv-ipc-" + token + L".tmp");
  std::string other_line = secret_line;
  other_line[10] = other_line[10] == 'a' ? 'b' : 'a';
  ASSERT_TRUE(bv::test::write_file(file, other_line));

  ChildProcess enclave(ChildOptions{.command_line = L"\"" + program + L"\" --pipe-token " + token +
                                                    L" --service-verified --ipc-secret-file \"" + file + L"\"",
                                    .standard_input = secret_line});
  EXPECT_EQ(enclave.wait(report_timeout_ms), static_cast<DWORD>(3));  // BV_ENCLAVE_E_HAND_OVER_FILE
  const auto text =
      bv::test::read_file(folder.file(L"bv-c-enclave-" + std::to_wstring(enclave.process_id()) + L".txt"));
  ASSERT_TRUE(text);
  const auto report = parse_report(*text);
  EXPECT_EQ(report.at("begin"), "3");
  EXPECT_EQ(report.at("message"),
            "hand-over file " + bv::test::to_utf8(file) + ": it does not hold the secret line of standard input");
  EXPECT_EQ(bv::test::read_file(file), other_line) << "a file that did not match was changed or deleted";
}

}  // namespace
