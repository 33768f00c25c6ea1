// The README's two examples, built from the installed package by the
// fixture package_examples_build (tests/win/package_examples_build.sh), run
// against the service (test-logon build): the companion gets an enclave,
// the enclave begins from the service's hand-over and waits on its event,
// and the next request stops it through that event.

#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>

#include "support/e2e_programs.h"
#include "support/e2e_service_support.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace {

using bv::test::RunResult;
using namespace bv::test::e2e;

constexpr wchar_t account_password[] = L"0123456789ABCDEF0123aB3!";
constexpr DWORD listening_timeout_ms = 10000;
// Longer than a begin that fails takes to end the enclave.
constexpr DWORD still_running_ms = 2000;
// The service's grace period is 500 ms; a loaded machine adds to it.
constexpr DWORD stop_timeout_ms = 5000;

// The process id that the companion example printed, or 0.
DWORD run_companion() {
  const RunResult run =
      bv::test::run({.command_line = bv::test::command_line(
                         bv::test::build_file(L"package-examples\\signed\\my-companion-app.exe"), {})},
                    bv::test::client_timeout_ms);
  std::smatch match;
  const bool printed =
      std::regex_match(run.standard_output, match, std::regex("enclave ([0-9]+), pipe token [0-9a-f]{32}\r?\n"));
  EXPECT_TRUE(printed) << run.standard_output << run.standard_error;
  EXPECT_EQ(run.exit_code, 0u) << run.standard_error;
  return printed ? static_cast<DWORD>(std::stoul(match[1].str())) : 0;
}

TEST(PackageExamples, TheCompanionGetsAnEnclaveThatBeginsAndEndsWhenStopped) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  // Where the companion example looks for its enclave.
  const OwnedFolder folder(bv::test::program_files() + L"\\Brisvander");
  copy_file(bv::test::build_file(L"package-examples\\build\\vault-enclave.exe"), folder.file(L"vault-enclave.exe"));
  ProcessReaper reaper;
  const auto service = bv::test::install_and_start(bv::test::build_file(L"brisvander-svc-testlogon.exe"));
  ASSERT_TRUE(bv::test::wait_until_listening(listening_timeout_ms));

  const DWORD first = run_companion();
  ASSERT_NE(first, 0u);
  reaper.add(first);
  const auto first_process = bv::test::open_for_exit_code(first);
  EXPECT_EQ(bv::test::image_name(first_process.get()), folder.file(L"vault-enclave.exe"));
  // A refused begin ends the example at once with status 2.
  EXPECT_FALSE(bv::test::wait_for_exit(first_process.get(), still_running_ms)) << "the enclave did not begin";

  const DWORD second = run_companion();
  ASSERT_NE(second, 0u);
  reaper.add(second);
  // Ended by itself through its event (0), not terminated (1).
  EXPECT_EQ(bv::test::wait_for_exit(first_process.get(), stop_timeout_ms), 0u);
}

}  // namespace
