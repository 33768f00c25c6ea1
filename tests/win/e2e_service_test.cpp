// The service executable end to end, under the prefix's own Service Control
// Manager: the console run without an option, --install and --uninstall and
// the registration, description and event source they leave, runs of the
// service started with StartServiceW (without the account password, and with
// it serving the signed reference client), the time a stop takes, and
// --setup-m5 with a stand-in interpreter in the system folder.
//
// Every test that registers the service removes the registration again,
// stopping the service first, whatever its assertions found (ServiceCleanup):
// the service starts automatically, and Wine would otherwise start it with
// the prefix for the tests that follow. The service lives only while an
// ordinary process of the prefix runs; this test program is one.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <regex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "admin/install.h"
#include "admin/setup_script.h"
#include "common/names.h"
#include "support/clock.h"
#include "support/e2e_programs.h"
#include "support/e2e_service_support.h"
#include "support/enclave_report.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace {

using bv::test::program_files;
using bv::test::report_value;
using bv::test::RunResult;
using bv::test::TempDirectory;
using bv::test::to_hex;
using bv::test::UniqueHandle;
using namespace bv::test::e2e;
using bv::test::install_and_start;
using bv::test::now_ms;
using bv::test::open_service;
using bv::test::query_config;
using bv::test::query_status;
using bv::test::service_registered;
using bv::test::ServiceConfig;
using bv::test::StateWait;
using bv::test::UniqueServiceHandle;
using bv::test::wait_for_state;

// Generous for one program start under Wine on a loaded machine.
constexpr DWORD child_timeout_ms = 30000;
constexpr DWORD state_timeout_ms = 20000;
constexpr DWORD report_timeout_ms = 10000;

const std::string installed_line = "Service 'BrisvanderEnclaveSvc' installed and set to AutoStart (LocalSystem).\n";
const std::string already_registered_line =
    "Service 'BrisvanderEnclaveSvc' already registered \xE2\x80\x94 skipping install.\n";
const std::string uninstalled_line = "Service 'BrisvanderEnclaveSvc' uninstalled.\n";
const std::string not_registered_line =
    "Service 'BrisvanderEnclaveSvc' not registered \xE2\x80\x94 nothing to uninstall.\n";

// A password of the form that --setup-m5 stores.
constexpr wchar_t account_password[] = L"0123456789ABCDEF0123aB3!";

std::wstring shipping_service() {
  return bv::test::build_file(L"brisvander-svc.exe");
}
std::wstring testlogon_service() {
  return bv::test::build_file(L"brisvander-svc-testlogon.exe");
}

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

RunResult run_program(const std::wstring& program, const std::vector<std::wstring>& arguments,
                      const Environment& environment = {}) {
  return bv::test::run({.command_line = bv::test::command_line(program, arguments), .environment = environment},
                       child_timeout_ms);
}

// The binary path that a registration of `executable` carries: the path as
// it is, or in double quotes when it holds a blank (the build folder may).
std::wstring registered_path(const std::wstring& executable) {
  if (executable.find_first_of(L" \t") == std::wstring::npos) return executable;
  return L"\"" + executable + L"\"";
}

// What --install names on standard error under Wine: its
// ChangeServiceConfig2W refuses the failure-actions flag (124). Windows
// takes every setting, and then nothing is named.
std::string refused_install_settings() {
  if (!bv::test::running_under_wine()) return "";
  return "Warning: could not make a stop with an error code count as a failure for recovery: system error 124: ";
}

// The description that QueryServiceConfig2W reads back, or the error.
std::wstring query_description(DWORD& error) {
  const UniqueServiceHandle service = open_service(SERVICE_QUERY_CONFIG);
  if (!service) {
    error = GetLastError();
    return L"";
  }
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(), static_cast<DWORD>(buffer.size()),
                            &needed)) {
    error = GetLastError();
    return L"";
  }
  error = 0;
  const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
  return description->lpDescription ? description->lpDescription : L"";
}

// A value of the event source's key: its type and data, or the status of
// the failed open or query.
struct EventSourceValue {
  LSTATUS status = ERROR_SUCCESS;
  DWORD type = 0;
  std::vector<BYTE> data;
};
EventSourceValue event_source_value(const wchar_t* name) {
  EventSourceValue value;
  const std::u16string key_name = bv::admin::event_source_key();
  const std::wstring key_path(key_name.begin(), key_name.end());
  HKEY key = nullptr;
  value.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (value.status != ERROR_SUCCESS) return value;
  DWORD size = 0;
  RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  value.data.resize(size);
  value.status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
  RegCloseKey(key);
  return value;
}

void expect_gone_soon() {
  const ULONGLONG deadline = GetTickCount64() + 5000;
  while (service_registered() && GetTickCount64() < deadline) Sleep(20);
  EXPECT_FALSE(service_registered()) << "the registration is still there";
}

// True while a listening instance of the service's pipe exists. WaitNamedPipeW
// looks without connecting, so the service never sees the probe.
bool pipe_listening(DWORD wait_ms) {
  return WaitNamedPipeW(bv::names::pipe_name<wchar_t>.data(), wait_ms) != FALSE;
}

// The sample enclave copied under %ProgramFiles%, where the service accepts
// it. It writes its reports beside itself.
class SampleEnclave {
 public:
  SampleEnclave() : folder_(program_files() + L"\\Bv E2e Enclave") {
    copy_file(bv::test::build_file(L"vault-enclave.exe"), path());
  }
  std::wstring path() const { return folder_.file(L"vault-enclave.exe"); }
  std::wstring report_path(const std::string& token) const {
    return bv::test::enclave_report_path(folder_.path(), token);
  }
  // The report once it holds `key` (the enclave rewrites it as it goes on).
  std::string report_with(const std::string& token, std::string_view key) const {
    const ULONGLONG deadline = GetTickCount64() + report_timeout_ms;
    std::string report;
    do {
      report = bv::test::read_file(report_path(token)).value_or("");
      if (report_value(report, key)) break;
      Sleep(20);
    } while (GetTickCount64() < deadline);
    return report;
  }

 private:
  OwnedFolder folder_;
};

struct SpawnReply {
  RunResult run;
  DWORD process_id = 0;  // from an "OK {pid}" reply
};

SpawnReply spawn(const std::wstring& client, const SampleEnclave& enclave, const std::string& token,
                 const std::string& secret) {
  SpawnReply reply{
      run_program(client, {L"--pipe-token", bv::test::to_wide(token), L"--ipc-secret", bv::test::to_wide(secret),
                           L"--enclave", enclave.path(), L"--timeout-ms", L"15000", L"--reply-timeout-ms", L"15000"})};
  std::smatch fields;
  if (std::regex_match(reply.run.standard_output, fields, std::regex("OK ([0-9]+)\n"))) {
    reply.process_id = static_cast<DWORD>(std::stoul(fields[1].str()));
  }
  return reply;
}

std::wstring signed_client() {
  return bv::test::build_file(L"signed\\companion-app.exe");
}

// First in the file, so that no service of ours has run yet; the redirect
// makes the outcome independent of what ran before (see ControlPipeRedirect).
TEST(E2eServiceConsole, WithoutAnOptionTheDispatcherStartIsFatalWith1063) {
  const ServiceCleanup cleanup;
  const ControlPipeRedirect redirect;
  struct Case {
    const char* name;
    std::vector<std::wstring> arguments;
  };
  // Anything but an exact option selects service mode.
  const std::vector<Case> cases = {
      {"no argument", {}},
      {"option in upper case", {L"--INSTALL"}},
      {"option with a trailing space", {L"--install "}},
      {"option in the second place", {L"word", L"--install"}},
  };
  const std::regex error_1063("\\b1063\\b");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run_program(shipping_service(), c.arguments);
    EXPECT_EQ(result.exit_code, 101u);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_NE(result.standard_error.find("Failed to start service dispatcher"), std::string::npos)
        << result.standard_error;
    EXPECT_TRUE(std::regex_search(result.standard_error, error_1063)) << result.standard_error;
    std::printf("[ MEASURED ] console run (%s): exit %lu after %lu ms\n", c.name, result.exit_code.value_or(0),
                result.elapsed_ms);
  }
  EXPECT_FALSE(service_registered()) << "a console run registered the service";
}

TEST(E2eServiceInstall, InstallTwiceThenUninstallTwice) {
  const ServiceCleanup cleanup;
  const std::wstring executable = shipping_service();

  const RunResult first = run_program(executable, {L"--install"});
  EXPECT_EQ(first.exit_code, 0u) << first.standard_error;
  EXPECT_EQ(first.standard_output, installed_line);
  const std::string refused = refused_install_settings();
  EXPECT_TRUE(first.standard_error.starts_with(refused)) << first.standard_error;
  EXPECT_EQ(std::count(first.standard_error.begin(), first.standard_error.end(), '\n'), refused.empty() ? 0 : 1)
      << first.standard_error;
  ASSERT_TRUE(service_registered());

  // The description, as services.msc shows it.
  DWORD description_error = 0;
  EXPECT_EQ(query_description(description_error), bv::test::to_wide(bv::admin::service_description()));
  EXPECT_EQ(description_error, 0u);
  // Wine 8 takes the failure actions without storing them: what a query
  // gives is noted, and the actions stay unverified here.
  {
    const UniqueServiceHandle service = open_service(SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    const BOOL read = QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                                           static_cast<DWORD>(buffer.size()), &needed);
    const DWORD read_error = read ? 0 : GetLastError();
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    std::printf("[   NOTE   ] failure actions read back: %s (error %lu), %lu actions\n", read ? "yes" : "no",
                read_error, read ? actions->cActions : 0ul);
    if (!bv::test::running_under_wine()) {
      ASSERT_TRUE(read) << read_error;
      ASSERT_EQ(actions->cActions, 3u);
      EXPECT_EQ(actions->dwResetPeriod, 86400u);
      EXPECT_EQ(actions->lpsaActions[0].Type, SC_ACTION_RESTART);
      EXPECT_EQ(actions->lpsaActions[1].Delay, 10000u);
      EXPECT_EQ(actions->lpsaActions[2].Type, SC_ACTION_NONE);
    }
  }

  // The event source: the executable itself holds its messages.
  const EventSourceValue message_file = event_source_value(L"EventMessageFile");
  ASSERT_EQ(message_file.status, ERROR_SUCCESS);
  EXPECT_EQ(message_file.type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(message_file.data.data())), executable);
  const EventSourceValue types = event_source_value(L"TypesSupported");
  ASSERT_EQ(types.status, ERROR_SUCCESS);
  EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(types.data.size(), sizeof(DWORD));
  EXPECT_EQ(*reinterpret_cast<const DWORD*>(types.data.data()), 7u);

  const ServiceConfig config = query_config();
  EXPECT_EQ(config.service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config.start_type, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(config.start_name, L"LocalSystem");
  EXPECT_EQ(config.display_name, L"Brisvander Enclave Service");
  EXPECT_EQ(config.binary_path, registered_path(executable));
  EXPECT_EQ(config.load_order_group, L"");
  EXPECT_FALSE(config.has_dependencies);
  {
    // Installing does not start the service.
    const UniqueServiceHandle service = open_service(SERVICE_QUERY_STATUS);
    ASSERT_TRUE(service);
    EXPECT_EQ(query_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }

  const RunResult second = run_program(executable, {L"--install"});
  EXPECT_EQ(second.exit_code, 0u) << second.standard_error;
  EXPECT_EQ(second.standard_output, already_registered_line);
  EXPECT_EQ(second.standard_error, "");

  const RunResult removed = run_program(executable, {L"--uninstall"});
  EXPECT_EQ(removed.exit_code, 0u) << removed.standard_error;
  EXPECT_EQ(removed.standard_output, uninstalled_line);
  EXPECT_EQ(removed.standard_error, "");
  expect_gone_soon();
  EXPECT_EQ(event_source_value(L"TypesSupported").status, ERROR_FILE_NOT_FOUND) << "the event source stayed";

  const RunResult absent = run_program(executable, {L"--uninstall"});
  EXPECT_EQ(absent.exit_code, 0u) << absent.standard_error;
  EXPECT_EQ(absent.standard_output, not_registered_line);
  EXPECT_EQ(absent.standard_error, "");
}

TEST(E2eServiceInstall, FromAFolderWithASpaceThePathIsRegisteredInQuotes) {
  const ServiceCleanup cleanup;
  const OwnedFolder folder(program_files() + L"\\Bv Svc Test");
  const std::wstring copy = folder.file(L"brisvander-svc.exe");
  copy_file(shipping_service(), copy);

  // A registration made from elsewhere is kept as it is.
  ASSERT_EQ(run_program(shipping_service(), {L"--install"}).exit_code, 0u);
  const RunResult kept = run_program(copy, {L"--install"});
  EXPECT_EQ(kept.exit_code, 0u) << kept.standard_error;
  EXPECT_EQ(kept.standard_output, already_registered_line);
  EXPECT_EQ(query_config().binary_path, registered_path(shipping_service()));

  const RunResult removed = run_program(copy, {L"--uninstall"});
  EXPECT_EQ(removed.standard_output, uninstalled_line);
  expect_gone_soon();

  const RunResult installed = run_program(copy, {L"--install"});
  EXPECT_EQ(installed.exit_code, 0u) << installed.standard_error;
  EXPECT_EQ(installed.standard_output, installed_line);
  ASSERT_TRUE(service_registered());
  EXPECT_EQ(query_config().binary_path, L"\"" + copy + L"\"");
}

TEST(E2eServiceRun, WithoutThePasswordTheServiceStopsWithCode2AndNeverOpensItsPipe) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.remove();
  ASSERT_EQ(run_program(shipping_service(), {L"--install"}).exit_code, 0u);
  const UniqueServiceHandle service = open_service(SERVICE_START | SERVICE_QUERY_STATUS);
  ASSERT_TRUE(service) << GetLastError();

  // The run lasts a few milliseconds, and StartServiceW may return only
  // after it: the pipe is watched from another thread, from before the start
  // until after the stopped report.
  std::atomic<int> probes{0};
  std::atomic<int> pipe_seen{0};
  std::jthread watcher([&](const std::stop_token& stop) {
    do {
      if (pipe_listening(1) || GetLastError() != ERROR_FILE_NOT_FOUND) ++pipe_seen;
      ++probes;
    } while (!stop.stop_requested());
  });
  const BOOL started = StartServiceW(service.get(), 0, nullptr);
  const DWORD start_error = GetLastError();
  const StateWait stopped = wait_for_state(service.get(), SERVICE_STOPPED, state_timeout_ms);
  Sleep(50);
  watcher.request_stop();
  watcher.join();

  ASSERT_TRUE(started) << start_error;
  ASSERT_TRUE(stopped.reached) << "state " << stopped.last.dwCurrentState;
  // A stop for a failure, as the Service Control Manager records it.
  EXPECT_EQ(stopped.last.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(stopped.last.dwServiceSpecificExitCode, 2u);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service.get(), &status)) << GetLastError();
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, 1066u);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 2u);
  EXPECT_GT(probes.load(), 1);
  EXPECT_EQ(pipe_seen.load(), 0) << "of " << probes.load() << " probes";
  std::printf("[ MEASURED ] stopped by itself %.0f ms after StartServiceW returned (%d pipe probes)\n",
              stopped.elapsed_ms, probes.load());
}

TEST(E2eServiceRun, ShippingServiceAnswersTheSignedClientWithTheFailedStart) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  const SampleEnclave enclave;
  const UniqueServiceHandle service = install_and_start(shipping_service());

  // Wine's LogonUserW hands back a placeholder that no later call accepts,
  // so the launch gets as far as CreateProcessAsUserW and fails there.
  const std::string token = "00112233445566778899aabbccddeeff";
  const SpawnReply reply = spawn(signed_client(), enclave, token, std::string(64, 'a'));
  EXPECT_EQ(reply.run.exit_code, 1u) << reply.run.standard_error;
  std::smatch fields;
  ASSERT_TRUE(std::regex_match(reply.run.standard_output, fields,
                               std::regex("ERR CreateProcessAsUser failed: error ([0-9]+)\n")))
      << reply.run.standard_output << reply.run.standard_error;
  std::printf("[ MEASURED ] CreateProcessAsUserW after Wine's LogonUserW: error %s\n", fields[1].str().c_str());
  EXPECT_FALSE(bv::test::read_file(enclave.report_path(token))) << "an enclave ran";
  EXPECT_EQ(query_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(E2eServiceRun, TestLogonServiceStartsTheEnclaveAndStopsItForTheNextVerifiedRequest) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  const SampleEnclave enclave;
  ProcessReaper reaper;
  const UniqueServiceHandle service = install_and_start(testlogon_service());

  const std::string first_token = "0123456789abcdef0123456789abcdef";
  const std::string first_secret = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
  const SpawnReply first = spawn(signed_client(), enclave, first_token, first_secret);
  EXPECT_EQ(first.run.exit_code, 0u) << first.run.standard_output << first.run.standard_error;
  ASSERT_NE(first.process_id, 0u) << first.run.standard_output;
  reaper.add(first.process_id);
  const UniqueHandle first_process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, first.process_id));
  ASSERT_TRUE(first_process) << GetLastError();

  const std::string report = enclave.report_with(first_token, "shutdown");
  const std::string secret_line_hex = to_hex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n");
  EXPECT_EQ(report_value(report, "pid"), std::to_string(first.process_id)) << report;
  std::string command_start = "\"";
  command_start += bv::test::to_utf8(enclave.path());
  command_start += "\" --pipe-token ";
  command_start += first_token;
  EXPECT_TRUE(report_value(report, "command_line").value_or("").starts_with(command_start)) << report;
  EXPECT_EQ(report_value(report, "service_verified"), "yes");
  EXPECT_EQ(report_value(report, "shutdown_event"), "brisvander-shutdown-" + first_token);
  EXPECT_EQ(report_value(report, "stdin_hex"), secret_line_hex);
  EXPECT_EQ(report_value(report, "secret_file_hex"), secret_line_hex);
  EXPECT_EQ(report_value(report, "shutdown"), "waiting");

  // A client that is not the signed companion application stops nothing.
  const SpawnReply refused =
      spawn(bv::test::build_file(L"companion-app.exe"), enclave, std::string(32, 'c'), std::string(64, 'c'));
  EXPECT_EQ(refused.run.exit_code, 1u);
  EXPECT_EQ(refused.run.standard_output.rfind("ERR caller not authorized: ", 0), 0u) << refused.run.standard_output;
  EXPECT_EQ(WaitForSingleObject(first_process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  const std::string second_token = "fedcba9876543210fedcba9876543210";
  const SpawnReply second = spawn(signed_client(), enclave, second_token, std::string(64, '7'));
  EXPECT_EQ(second.run.exit_code, 0u) << second.run.standard_output << second.run.standard_error;
  ASSERT_NE(second.process_id, 0u) << second.run.standard_output;
  reaper.add(second.process_id);
  EXPECT_NE(second.process_id, first.process_id);

  // The first enclave was told through its event, and left by itself.
  ASSERT_EQ(WaitForSingleObject(first_process.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD first_exit = 0;
  ASSERT_TRUE(GetExitCodeProcess(first_process.get(), &first_exit));
  EXPECT_EQ(first_exit, 0u) << "terminated rather than stopped by its event";
  EXPECT_EQ(report_value(enclave.report_with(first_token, "ended"), "ended"), "event-set");
  EXPECT_EQ(report_value(enclave.report_with(second_token, "shutdown"), "shutdown"), "waiting");
}

TEST(E2eServiceRun, TestLogonServiceTakesUpAPasswordStoredWhileItRuns) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  // The account no longer has the password the service reads at start.
  const RefusedLogonPassword refused(account_password);
  const SampleEnclave enclave;
  ProcessReaper reaper;
  const UniqueServiceHandle service = install_and_start(testlogon_service());

  // Read again, the stored value is the one held: the refusal is the reply.
  const SpawnReply before = spawn(signed_client(), enclave, std::string(32, 'b'), std::string(64, 'b'));
  EXPECT_EQ(before.run.standard_output, "ERR LogonUser failed for 'BrisvanderUser': error 1326\n")
      << before.run.standard_error;

  // Re-provisioned while the service runs: the next launch reads the new
  // value and logs on with it.
  password.set(L"FEDCBA9876543210FEDCzY7?");
  const std::string token = "0123456789abcdef0123456789ABCDEF";
  const SpawnReply after = spawn(signed_client(), enclave, token, std::string(64, '5'));
  ASSERT_NE(after.process_id, 0u) << after.run.standard_output << after.run.standard_error;
  reaper.add(after.process_id);
  EXPECT_EQ(report_value(enclave.report_with(token, "shutdown"), "shutdown"), "waiting");
  EXPECT_EQ(query_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(E2eServiceRun, StopWhileIdleReachesStoppedWithinOneSecond) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  // Start parameters change nothing, an option among them included.
  const UniqueServiceHandle service = install_and_start(shipping_service(), {L"--uninstall"});

  // Idle: the pipe instance waits for a client.
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!pipe_listening(100) && GetTickCount64() < deadline) Sleep(20);
  ASSERT_TRUE(pipe_listening(100)) << "the service never listened";

  const SERVICE_STATUS_PROCESS running = query_status(service.get());
  EXPECT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
  const UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running.dwProcessId));
  ASSERT_TRUE(process) << GetLastError();

  SERVICE_STATUS answered{};
  EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &answered)) << GetLastError();
  EXPECT_EQ(query_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  const double start = now_ms();
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answered)) << GetLastError();
  const StateWait stopped = wait_for_state(service.get(), SERVICE_STOPPED, 5000, 5);
  const double latency = now_ms() - start;
  std::printf("[ MEASURED ] stop while idle: SERVICE_STOPPED %.1f ms after ControlService(SERVICE_CONTROL_STOP)\n",
              latency);

  ASSERT_TRUE(stopped.reached) << "state " << stopped.last.dwCurrentState;
  EXPECT_LT(latency, 1000.0);
  EXPECT_EQ(stopped.last.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.last.dwServiceSpecificExitCode, 0u);
  // No pending state is ever reported.
  for (const DWORD state : stopped.states_seen) {
    EXPECT_TRUE(state == SERVICE_RUNNING || state == SERVICE_STOPPED) << "state " << state;
  }
  ASSERT_EQ(WaitForSingleObject(process.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exit_code = 1;
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &exit_code));
  EXPECT_EQ(exit_code, 0u);
  EXPECT_FALSE(pipe_listening(1));
  EXPECT_TRUE(service_registered());
}

// pipe-squatter.exe in its "own" mode: an ordinary process that serves
// `pipe` as if it were the service, answers "OK 4242" and records what
// clients send. It has made its pipe once its record exists.
class StandInServer {
 public:
  explicit StandInServer(std::wstring_view pipe = bv::names::pipe_name<wchar_t>)
      : process_({.command_line = bv::test::command_line(
                      bv::test::build_file(L"pipe-squatter.exe"),
                      {L"own", L"--pipe", std::wstring(pipe), L"--record", record_path(), L"--seconds", L"300"})}) {
    while (!file_exists(record_path()) && process_.running()) Sleep(20);
    if (!file_exists(record_path())) {
      throw std::runtime_error("the stand-in server did not start: " + process_.standard_error());
    }
  }

  DWORD process_id() const { return process_.process_id(); }

  // The record once `ended` client connections have ended (or whatever it
  // holds after `report_timeout_ms`).
  std::string record_after(unsigned ended) const {
    const ULONGLONG deadline = GetTickCount64() + report_timeout_ms;
    std::string record;
    do {
      record = bv::test::read_file(record_path()).value_or("");
      if (report_value(record, "ended") == std::to_string(ended)) break;
      Sleep(20);
    } while (GetTickCount64() < deadline);
    return record;
  }

 private:
  std::wstring record_path() const { return folder_.file(L"stand-in-record.txt"); }

  TempDirectory folder_;
  bv::test::ChildProcess process_;
};

std::string refused_line(DWORD server_process, const std::string& service) {
  return "companion-app: the pipe's server is not the running service: server process " +
         std::to_string(server_process) + ", service BrisvanderEnclaveSvc " + service + "; nothing was sent";
}

// The first line of a program's output, without its line end (the C
// runtime's text mode writes CR LF).
std::string first_line(const std::string& output) {
  return output.substr(0, output.find_first_of("\r\n"));
}

// While the service does not run, any process can create its pipe's name.
// The client asks the Service Control Manager which process the service
// runs in before it writes, and so sends the stand-in nothing.
TEST(E2eServiceServerCheck, ClientSendsNothingToAStandInWhileTheServiceIsMissingOrStopped) {
  const ServiceCleanup cleanup;
  const StandInServer stand_in;
  const std::wstring enclave_path = program_files() + L"\\Bv E2e Enclave\\vault-enclave.exe";
  const std::string server = std::to_string(stand_in.process_id());
  struct Case {
    const char* name;
    bool installed;
    std::string standard_error;
  };
  const std::vector<Case> cases = {
      {"not installed", false,
       "companion-app: cannot check the pipe's server: server process " + server +
           ", service BrisvanderEnclaveSvc unknown (OpenServiceW failed: error 1060); nothing was sent"},
      {"installed, stopped", true, refused_line(stand_in.process_id(), "process 0 (STOPPED)")},
  };
  unsigned connections = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.installed) {
      ASSERT_EQ(run_program(shipping_service(), {L"--install"}).exit_code, 0u);
    }
    const RunResult refused = run_program(signed_client(), {L"--enclave", enclave_path, L"--timeout-ms", L"15000"});
    EXPECT_EQ(refused.exit_code, 2u);
    EXPECT_EQ(refused.standard_output, "");
    EXPECT_EQ(first_line(refused.standard_error), c.standard_error);
    const std::string record = stand_in.record_after(++connections);
    EXPECT_EQ(report_value(record, "ended"), std::to_string(connections)) << "the client never reached the stand-in";
    EXPECT_EQ(report_value(record, "received_hex"), "") << record;
  }

  // Without its check the same client hands the stand-in the secret and
  // takes the fake reply for the service's.
  const std::string token(32, 'e');
  const std::string secret(64, '5');
  const RunResult fooled =
      run_program(signed_client(), {L"--skip-server-check", L"--pipe-token", bv::test::to_wide(token), L"--ipc-secret",
                                    bv::test::to_wide(secret), L"--enclave", enclave_path});
  EXPECT_EQ(fooled.exit_code, 0u) << fooled.standard_error;
  EXPECT_EQ(fooled.standard_output, "OK 4242\n");
  EXPECT_EQ(report_value(stand_in.record_after(++connections), "received_hex"),
            to_hex("SPAWN " + token + " " + secret + " " + bv::test::to_utf8(enclave_path) + "\n"));
}

// The running service's process id is what the client compares: another
// process serving a pipe (here one the client is pointed at) is refused
// although the service reports running.
TEST(E2eServiceServerCheck, ClientRefusesAnotherProcessAsServerWhileTheServiceRuns) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  const UniqueServiceHandle service = install_and_start(shipping_service());
  const DWORD service_process = query_status(service.get()).dwProcessId;
  const std::wstring other_pipe = L"\\\\.\\pipe\\" + bv::test::unique_name(L"bv-stand-in-");
  const StandInServer stand_in(other_pipe);
  ASSERT_NE(service_process, 0u);

  const RunResult refused = run_program(signed_client(), {L"--pipe", other_pipe, L"--raw", L"HELLO"});
  EXPECT_EQ(refused.exit_code, 2u);
  EXPECT_EQ(refused.standard_output, "");
  EXPECT_EQ(first_line(refused.standard_error),
            refused_line(stand_in.process_id(), "process " + std::to_string(service_process) + " (RUNNING)"));
  const std::string record = stand_in.record_after(1);
  EXPECT_EQ(report_value(record, "ended"), "1") << "the client never reached the stand-in";
  EXPECT_EQ(report_value(record, "received_hex"), "") << record;
}

// A copy of the service with a decoy interpreter beside it, where a search
// by name would look first, and a temporary folder of its own (with a space
// in its name) in which nothing may appear.
class SetupM5Run {
 public:
  SetupM5Run() {
    copy_file(shipping_service(), executable());
    copy_file(bv::test::build_file(L"powershell-standin.exe"), folder_.file(L"powershell.exe"));
    if (!CreateDirectoryW(temp_folder().c_str(), nullptr)) {
      throw std::runtime_error("CreateDirectoryW failed: error " + std::to_string(GetLastError()));
    }
  }

  std::wstring executable() const { return folder_.file(L"brisvander-svc.exe"); }
  std::wstring temp_folder() const { return folder_.file(L"temp dir"); }
  std::wstring record_path() const { return folder_.file(L"standin-record.txt"); }

  RunResult run(const std::wstring& interpreter_exit) const {
    return run_program(executable(), {L"--setup-m5"},
                       {{L"TMP", temp_folder()},
                        {L"TEMP", temp_folder()},
                        {L"BV_STANDIN_RECORD", record_path()},
                        {L"BV_STANDIN_EXIT", interpreter_exit}});
  }

  // The names in the temporary folder.
  std::vector<std::wstring> temp_files() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((temp_folder() + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring_view name = found.cFileName;
      if (name != L"." && name != L"..") names.emplace_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

 private:
  TempDirectory folder_;
};

std::string lower_ascii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

TEST(E2eSetupM5, RunsTheSystemPowerShellWithTheEncodedScriptAndReportsItsExitStatus) {
  struct Case {
    const wchar_t* interpreter_exit;
    DWORD exit_code;
    std::string standard_output;
    std::string standard_error;
  };
  const std::vector<Case> cases = {
      {L"0", 0, "powershell stand-in: exit 0\n[BrisvanderSvc] M5 setup complete.\n", ""},
      {L"1", 1, "powershell stand-in: exit 1\n", "[BrisvanderSvc] M5 setup failed (exit 1).\n"},
      {L"2147483648", 1, "powershell stand-in: exit 2147483648\n",
       "[BrisvanderSvc] M5 setup failed (exit -2147483648).\n"},
      {L"4294967295", 1, "powershell stand-in: exit 4294967295\n", "[BrisvanderSvc] M5 setup failed (exit -1).\n"},
  };
  const SetupM5Run setup;
  const SystemPowerShell interpreter(bv::test::build_file(L"powershell-standin.exe"));
  for (const Case& c : cases) {
    SCOPED_TRACE(bv::test::to_utf8(c.interpreter_exit));
    DeleteFileW(setup.record_path().c_str());

    const RunResult result = setup.run(c.interpreter_exit);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.standard_output, c.standard_output);
    EXPECT_EQ(result.standard_error, c.standard_error);

    const std::string record = bv::test::read_file(setup.record_path()).value_or("");
    // The interpreter under the system folder ran, not the one beside the
    // executable.
    EXPECT_EQ(lower_ascii(report_value(record, "image").value_or("")),
              lower_ascii(bv::test::to_utf8(interpreter.path())))
        << record;
    EXPECT_EQ(report_value(record, "argc"), "5") << record;
    EXPECT_EQ(report_value(record, "arg1"), "-NoProfile");
    EXPECT_EQ(report_value(record, "arg2"), "-ExecutionPolicy");
    EXPECT_EQ(report_value(record, "arg3"), "Bypass");
    EXPECT_EQ(report_value(record, "arg4"), "-EncodedCommand");
    EXPECT_EQ(report_value(record, "script_hex"), to_hex(bv::admin::m5_setup_script)) << record;
    std::printf("[ figures  ] interpreter command line: %zu characters\n",
                report_value(record, "command_line").value_or("").size());
    EXPECT_TRUE(setup.temp_files().empty()) << "a file was written to the temporary folder";
  }
}

TEST(E2eSetupM5, WithoutTheSystemPowerShellTheStepIsFatalAndNothingElseRuns) {
  const SetupM5Run setup;
  const SystemPowerShell missing(std::nullopt);
  ASSERT_FALSE(file_exists(missing.path()));
  if (missing.moved_aside()) {
    std::printf("[   NOTE   ] moved aside for the test: %s\n", bv::test::to_utf8(missing.path()).c_str());
  }

  const RunResult result = setup.run(L"0");
  EXPECT_EQ(result.exit_code, 101u);
  EXPECT_EQ(result.standard_output, "");
  EXPECT_NE(result.standard_error.find("spawn PowerShell for M5 setup"), std::string::npos) << result.standard_error;
  EXPECT_TRUE(std::regex_search(result.standard_error, std::regex("\\b2\\b"))) << result.standard_error;
  EXPECT_FALSE(file_exists(setup.record_path())) << "the decoy beside the executable ran";
  EXPECT_TRUE(setup.temp_files().empty()) << "a file was written to the temporary folder";
}

}  // namespace
