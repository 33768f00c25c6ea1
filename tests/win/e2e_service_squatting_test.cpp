// Whether the running service ever leaves the name of its pipe free, so
// that an ordinary process can create an instance of its own and receive
// the next client's request. The probe (pipe-squatter.exe probe) keeps the
// service going round its loop with connections that send nothing, while it
// calls CreateNamedPipeW on the name in a tight loop.
//
// A file of its own, so that its CTest test (win.e2e_service_squatting)
// reports this one claim: it fails for as long as the service closes its
// instance after each client and creates the next one, which leaves the
// name free in between.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <regex>
#include <string>

#include "support/e2e_service_support.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace {

using bv::test::install_and_start;
using bv::test::query_status;
using bv::test::RunResult;
using bv::test::UniqueServiceHandle;
using bv::test::wait_until_listening;
using namespace bv::test::e2e;

// A password of the form that --setup-m5 stores.
constexpr wchar_t account_password[] = L"0123456789ABCDEF0123aB3!";
constexpr wchar_t probe_seconds[] = L"15";
// The probe's seconds and a generous allowance for its start under Wine.
constexpr DWORD probe_timeout_ms = 60000;
constexpr DWORD listening_timeout_ms = 10000;

TEST(E2eServiceSquatting, AnotherProcessNeverGetsAnInstanceOfTheRunningServicesPipe) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  const UniqueServiceHandle service = install_and_start(bv::test::build_file(L"brisvander-svc-testlogon.exe"));
  // From the first instance on: the start itself is not what is probed.
  ASSERT_TRUE(wait_until_listening(listening_timeout_ms)) << "the service never listened";

  const RunResult probe =
      bv::test::run({.command_line = bv::test::command_line(bv::test::build_file(L"pipe-squatter.exe"),
                                                            {L"probe", L"--seconds", probe_seconds})},
                    probe_timeout_ms);
  std::printf("[ MEASURED ] %s", probe.standard_output.c_str());

  std::smatch figures;
  ASSERT_TRUE(
      std::regex_search(probe.standard_output, figures, std::regex("tries=([0-9]+) churned=([0-9]+) owned=(yes|no)")))
      << probe.standard_output << probe.standard_error;
  // A probe that never reached the service, or never tried, proves nothing.
  EXPECT_GT(std::stoull(figures[1].str()), 0u);
  EXPECT_GT(std::stoull(figures[2].str()), 0u) << "no connection to the service was churned";
  EXPECT_EQ(figures[3].str(), "no") << "another process owned the service's pipe name";
  EXPECT_EQ(probe.exit_code, 0u) << probe.standard_error;

  // Still serving afterwards. This also keeps the cleanup's stop out of the
  // pause in which a service that lost its name waits before it creates an
  // instance again: a stop in that pause ended the service's process under
  // Wine without a stopped report.
  EXPECT_TRUE(wait_until_listening(listening_timeout_ms)) << "the service no longer listens";
  EXPECT_EQ(query_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
