// vault-enclave.exe started the way the service starts it: a quoted path,
// the options in the service's order, the secret line on standard input and
// a shutdown event that it may only wait on.

#include <gtest/gtest.h>
#include <windows.h>
// These need <windows.h> first.
#include <sddl.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/enclave_report.h"
#include "support/process.h"

namespace {

using bv::test::ChildOptions;
using bv::test::ChildProcess;
using bv::test::parse_report;
using bv::test::TempDirectory;
using bv::test::to_hex;
using bv::test::UniqueHandle;

constexpr DWORD report_timeout_ms = 15000;
// The service waits 500 ms after setting the event; Wine's scheduling on a
// loaded machine gets some slack on top.
constexpr DWORD shutdown_timeout_ms = 2000;

const std::string secret_line = "00112233445566778899aabbccddeeff0123456789abcdef00112233445566ff\n";

// A named manual-reset event whose DACL lets everyone wait on it and do
// nothing else, as the service's event allows the isolation account; this
// handle, the creator's, has full access.
UniqueHandle wait_only_event(const std::wstring& name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    throw std::runtime_error("ConvertStringSecurityDescriptorToSecurityDescriptorW failed");
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
  LocalFree(descriptor);
  if (!event) throw std::runtime_error("CreateEventW failed: error " + std::to_string(GetLastError()));
  return event;
}

void write_test_file(const std::wstring& path, const std::string& content) {
  if (!bv::test::write_file(path, content)) throw std::runtime_error("cannot write a test file");
}

class VaultEnclave : public ::testing::Test {
 protected:
  std::wstring token = L"0123456789ABCDEF0123456789abcdef";
  TempDirectory folder;

  std::wstring report_path() const { return bv::test::enclave_report_path(folder.path(), bv::test::to_utf8(token)); }

  std::map<std::string, std::string> wait_for_report() const {
    const std::optional<std::string> text = bv::test::wait_for_file(report_path(), report_timeout_ms);
    if (!text) throw std::runtime_error("no report from the enclave");
    return parse_report(*text);
  }

  // The enclave's command line as the service composes it.
  std::wstring service_line(const std::wstring& program, const std::wstring& event_name,
                            const std::wstring& secret_file) const {
    return L"\"" + program + L"\" --pipe-token " + token + L" --pipe-allow-sid S-1-5-21-0-0-0-1000" +
           L" --service-verified --shutdown-event " + event_name + L" --ipc-secret-file \"" + secret_file + L"\"";
  }
};

TEST_F(VaultEnclave, RecordsWhatTheServiceHandsOverAndEndsWhenTheEventIsSet) {
  // Installed in a folder with a space in its name, the report next to it.
  CreateDirectoryW(folder.file(L"Vault Enclave").c_str(), nullptr);
  const std::wstring program = folder.file(L"Vault Enclave\\vault-enclave.exe");
  ASSERT_TRUE(CopyFileW(bv::test::build_file(L"vault-enclave.exe").c_str(), program.c_str(), FALSE));
  const std::wstring event_name = L"brisvander-shutdown-" + token;
  UniqueHandle event = wait_only_event(event_name);
  const std::wstring secret_file = folder.file(L"bv-ipc-" + token + L".tmp");
  write_test_file(secret_file, secret_line);
  const std::wstring line = service_line(program, event_name, secret_file);

  ChildProcess enclave(ChildOptions{.command_line = line, .standard_input = secret_line});
  const std::optional<std::string> text =
      bv::test::wait_for_file(folder.file(L"Vault Enclave\\bv-enclave-" + token + L".txt"), report_timeout_ms);
  ASSERT_TRUE(text);
  std::map<std::string, std::string> report = parse_report(*text);

  EXPECT_EQ(report["pid"], std::to_string(enclave.process_id()));
  EXPECT_EQ(report["command_line"], bv::test::to_utf8(line));
  EXPECT_EQ(report["pipe_token"], bv::test::to_utf8(token));
  EXPECT_EQ(report["pipe_allow_sid"], "S-1-5-21-0-0-0-1000");
  EXPECT_EQ(report["service_verified"], "yes");
  EXPECT_EQ(report["shutdown_event"], bv::test::to_utf8(event_name));
  EXPECT_EQ(report["ipc_secret_file"], bv::test::to_utf8(secret_file));
  ASSERT_EQ(secret_line.size(), 65u);
  EXPECT_EQ(report["stdin_hex"], to_hex(secret_line));
  EXPECT_EQ(report.count("stdin"), 0u) << report["stdin"];
  EXPECT_EQ(report["secret_file_hex"], to_hex(secret_line));
  EXPECT_EQ(report["shutdown"], "waiting");

  Sleep(300);
  ASSERT_TRUE(enclave.running()) << "ended before its event was set";
  ASSERT_TRUE(SetEvent(event.get()));
  EXPECT_EQ(enclave.wait(shutdown_timeout_ms), 0u);
  report = parse_report(bv::test::read_file(folder.file(L"Vault Enclave\\bv-enclave-" + token + L".txt")).value_or(""));
  EXPECT_EQ(report["ended"], "event-set");
}

TEST_F(VaultEnclave, OptionsLeftOutAreLeftOutOfTheReport) {
  ChildProcess enclave(ChildOptions{
      .command_line =
          L"\"" + bv::test::build_file(L"vault-enclave.exe") + L"\" --pipe-token " + token + L" --service-verified",
      .environment = {{L"BV_ENCLAVE_REPORT_DIR", folder.path()}, {L"BV_ENCLAVE_EXIT_AT_ONCE", L"1"}}});
  EXPECT_EQ(enclave.wait(report_timeout_ms), 0u);
  std::map<std::string, std::string> report = wait_for_report();
  for (const char* key : {"pipe_allow_sid", "shutdown_event", "ipc_secret_file", "secret_file_hex", "ended"}) {
    EXPECT_EQ(report.count(key), 0u) << key;
  }
  EXPECT_EQ(report["service_verified"], "yes");
  EXPECT_EQ(report["stdin_hex"], "");
  EXPECT_EQ(report["shutdown"], "exit-at-once");
}

TEST_F(VaultEnclave, IgnoreShutdownOutlivesTheEvent) {
  const std::wstring event_name = bv::test::unique_name(L"bv-test-shutdown-");
  UniqueHandle event = wait_only_event(event_name);
  ChildProcess enclave(ChildOptions{
      .command_line = service_line(bv::test::build_file(L"vault-enclave.exe"), event_name, folder.file(L"none.tmp")),
      .standard_input = secret_line,
      .environment = {{L"BV_ENCLAVE_REPORT_DIR", folder.path()}, {L"BV_ENCLAVE_IGNORE_SHUTDOWN", L"1"}}});
  EXPECT_EQ(wait_for_report()["shutdown"], "ignored");
  ASSERT_TRUE(SetEvent(event.get()));
  EXPECT_FALSE(enclave.wait(1000)) << "ended although told to ignore its event";
}

TEST_F(VaultEnclave, MissingEventAndSecretFileAreReportedAndItKeepsRunning) {
  const std::wstring event_name = bv::test::unique_name(L"bv-test-nonexistent-");
  ChildProcess enclave(ChildOptions{
      .command_line = service_line(bv::test::build_file(L"vault-enclave.exe"), event_name, folder.file(L"none.tmp")),
      .standard_input = secret_line,
      .environment = {{L"BV_ENCLAVE_REPORT_DIR", folder.path()}}});
  std::map<std::string, std::string> report = wait_for_report();
  EXPECT_EQ(report["shutdown"], "open-failed 2");
  EXPECT_EQ(report["secret_file_error"], "2");
  EXPECT_EQ(report["stdin_hex"], to_hex(secret_line));
  EXPECT_FALSE(enclave.wait(500)) << "ended at once without an event";
}

}  // namespace
