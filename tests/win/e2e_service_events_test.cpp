// The events of the service executable as Wine's Service Control Manager
// runs it. Wine's ReportEventW is a stub that prints each event on its debug
// channels, and a service's debug output goes to the standard error of the
// program that started the prefix's wineserver: CTest runs this file
// through scripts/wine-run.sh with BV_WINE_CHANNELS set, which ends the
// prefix's processes first, so that this program starts the wineserver and
// the services, and collects its standard error in the file that
// BV_WINE_CHANNEL_FILE names.
//
// What stays out of reach here: Wine keeps no event log, so neither what
// Event Viewer shows nor the Service Control Manager's own event 7024 can be
// read back; the message table that gives the events their text is tested
// on its own (e2e_service_messages_test.cpp).

#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/events.h"
#include "common/names.h"
#include "support/e2e_programs.h"
#include "support/e2e_service_support.h"
#include "support/event_channel.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace {

using bv::Event;
using bv::test::ChannelEvent;
using namespace bv::test::e2e;

constexpr DWORD events_timeout_ms = 20000;
constexpr DWORD child_timeout_ms = 30000;
constexpr std::uint16_t information = EVENTLOG_INFORMATION_TYPE;
constexpr std::uint16_t warning = EVENTLOG_WARNING_TYPE;
constexpr std::uint16_t error = EVENTLOG_ERROR_TYPE;

std::uint32_t id_of(Event event) {
  return bv::event_id(bv::event_kind(event));
}

// The channel file from where it ended when the watch began: the events of
// one test, whatever the tests before it left there.
class ChannelWatch {
 public:
  ChannelWatch() {
    const auto file = bv::test::channel_file();
    if (!file) {
      throw std::runtime_error(
          "BV_WINE_CHANNEL_FILE is not set: run this test through ctest (scripts/wine-run.sh collects the channel)");
    }
    path_ = *file;
    start_ = bv::test::read_file(path_).value_or("").size();
  }

  std::string text() const {
    const std::string all = bv::test::read_file(path_).value_or("");
    return all.size() > start_ ? all.substr(start_) : std::string();
  }

  // The events so far, once there are at least `count` of them (or whatever
  // came within the time-out).
  std::vector<ChannelEvent> events(std::size_t count) const {
    const ULONGLONG deadline = GetTickCount64() + events_timeout_ms;
    std::vector<ChannelEvent> found;
    do {
      found = bv::test::parse_channel_events(text());
      if (found.size() >= count) break;
      Sleep(50);
    } while (GetTickCount64() < deadline);
    return found;
  }

 private:
  std::wstring path_;
  std::size_t start_ = 0;
};

bool key_exists(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

TEST(E2eServiceEvents, WithoutThePasswordTheStartAndTheReasonAreEvents) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.remove();
  const ChannelWatch channel;
  const std::string reason =
      key_exists(L"SOFTWARE\\Brisvander")
          ? "RegQueryValueExW failed: 2"
          : "RegOpenKeyExW failed: 2 (key may not exist \xE2\x80\x94 run provision-user.ps1 as admin)";

  // Started, not waited for as running: it stops within milliseconds.
  const std::wstring executable = bv::test::build_file(L"brisvander-svc.exe");
  ASSERT_EQ(
      bv::test::run({.command_line = bv::test::command_line(executable, {L"--install"})}, child_timeout_ms).exit_code,
      0u);
  const bv::test::UniqueServiceHandle service = bv::test::open_service(SERVICE_START | SERVICE_QUERY_STATUS);
  ASSERT_TRUE(service) << GetLastError();
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(bv::test::wait_for_state(service.get(), SERVICE_STOPPED, events_timeout_ms).reached);

  const std::vector<ChannelEvent> events = channel.events(2);
  EXPECT_EQ(events, (std::vector<ChannelEvent>{{information, id_of(Event::started), {"BrisvanderUser"}, "trace"},
                                               {error, id_of(Event::password_unreadable), {reason}, "err"}}))
      << channel.text();
  const std::string text = channel.text();
  EXPECT_NE(text.find("RegisterEventSourceW ((null),L\"BrisvanderEnclaveSvc\")"), std::string::npos) << text;
  EXPECT_NE(text.find("DeregisterEventSource (00000000CAFE4242)"), std::string::npos) << text;
}

TEST(E2eServiceEvents, TheStartARejectedCallerAndALaunchAreEvents) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(L"0123456789ABCDEF0123aB3!");
  const OwnedFolder enclave_folder(bv::test::program_files() + L"\\Bv Events Enclave");
  const std::wstring enclave = enclave_folder.file(L"vault-enclave.exe");
  copy_file(bv::test::build_file(L"vault-enclave.exe"), enclave);
  ProcessReaper reaper;
  const ChannelWatch channel;

  const bv::test::UniqueServiceHandle service =
      bv::test::install_and_start(bv::test::build_file(L"brisvander-svc-testlogon.exe"));
  ASSERT_TRUE(bv::test::wait_until_listening(events_timeout_ms));

  // The unsigned build of the reference client: its reason, exactly as the
  // client was told.
  const std::string token(32, 'a');
  const std::string secret(64, '5');
  const std::vector<std::wstring> request = {
      L"--pipe-token", bv::test::to_wide(token), L"--ipc-secret", bv::test::to_wide(secret), L"--enclave", enclave};
  const bv::test::RunResult refused = bv::test::run(
      {.command_line = bv::test::command_line(bv::test::build_file(L"companion-app.exe"), request)}, child_timeout_ms);
  const std::string refused_prefix = "ERR caller not authorized: ";
  ASSERT_TRUE(refused.standard_output.starts_with(refused_prefix)) << refused.standard_output;
  const std::string reason =
      refused.standard_output.substr(refused_prefix.size(), refused.standard_output.find('\n') - refused_prefix.size());
  EXPECT_EQ(reason, "Authenticode failed (0x800B0100)");

  const std::wstring signed_client = bv::test::build_file(L"signed\\companion-app.exe");
  const bv::test::RunResult launched =
      bv::test::run({.command_line = bv::test::command_line(signed_client, request)}, child_timeout_ms);
  std::smatch fields;
  ASSERT_TRUE(std::regex_match(launched.standard_output, fields, std::regex("OK ([0-9]+)\n")))
      << launched.standard_output << launched.standard_error;
  reaper.add(static_cast<DWORD>(std::stoul(fields[1].str())));

  const std::vector<ChannelEvent> events = channel.events(4);
  ASSERT_EQ(events.size(), 4u) << channel.text();
  EXPECT_EQ(events[0], (ChannelEvent{information, id_of(Event::started), {"BrisvanderUser"}, "trace"}));
  EXPECT_EQ(events[1], (ChannelEvent{information, id_of(Event::listening), {R"(\\.\pipe\brisvander-svc)"}, "trace"}));
  EXPECT_EQ(events[2], (ChannelEvent{warning, id_of(Event::rejected_caller), {reason}, "warn"}));
  EXPECT_EQ(events[3], (ChannelEvent{information,
                                     id_of(Event::enclave_launched),
                                     {fields[1].str(), bv::test::to_utf8(signed_client), bv::test::own_user_sid(),
                                      bv::test::to_utf8(enclave)},
                                     "trace"}));
  // Neither the token nor the secret is in any event.
  for (const ChannelEvent& event : events) {
    for (const std::string& insert : event.inserts) {
      EXPECT_EQ(insert.find(token), std::string::npos) << insert;
      EXPECT_EQ(insert.find(secret), std::string::npos) << insert;
    }
  }
}

}  // namespace
