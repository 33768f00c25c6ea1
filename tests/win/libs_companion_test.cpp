// The companion library through its C interface (brisvander/companion.h),
// called from this test program against the installed service and against
// a stand-in that owns the service's pipe name. This program is no
// companion application, so the service refuses its requests; the grant
// from the service is in libs_enclave_test.cpp, through a signed C caller.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "brisvander/companion.h"
#include "support/e2e_service_support.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace {

using bv::test::ChildProcess;
using bv::test::TempDirectory;
using namespace bv::test::e2e;

// A password of the form that --setup-m5 stores.
constexpr wchar_t account_password[] = L"0123456789ABCDEF0123aB3!";
constexpr DWORD listening_timeout_ms = 10000;
constexpr DWORD record_timeout_ms = 15000;

struct Call {
  int code = -1;
  std::string message;
  bv_grant grant{};
  ULONGLONG elapsed_ms = 0;
};

Call request(const wchar_t* path, std::uint32_t timeout_ms) {
  Call call;
  char message[2048];
  const ULONGLONG start = GetTickCount64();
  call.code = bv_request_enclave(path, timeout_ms, &call.grant, message, sizeof message);
  call.elapsed_ms = GetTickCount64() - start;
  call.message = message;
  return call;
}

std::wstring enclave_path() {
  return bv::test::program_files() + L"\\Bv Libs\\vault-enclave.exe";
}

bool grant_is_zero(const bv_grant& grant) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&grant);
  for (std::size_t i = 0; i < sizeof grant; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// pipe-squatter.exe in its "own" mode on the service's pipe name: it
// answers "OK 4242" and records every byte that clients send.
class StandIn {
 public:
  StandIn()
      : process_({.command_line = bv::test::command_line(
                      bv::test::build_file(L"pipe-squatter.exe"),
                      {L"own", L"--record", folder_.file(L"record.txt"), L"--seconds", L"300"})}) {
    if (!bv::test::wait_for_file(folder_.file(L"record.txt"), record_timeout_ms)) {
      throw std::runtime_error("the stand-in did not start: " + process_.standard_error());
    }
  }
  DWORD process_id() const { return process_.process_id(); }
  // The record once `ended` connections have ended.
  std::string record_after(unsigned ended) const {
    const ULONGLONG deadline = GetTickCount64() + record_timeout_ms;
    std::string record;
    do {
      record = bv::test::read_file(folder_.file(L"record.txt")).value_or("");
      if (bv::test::report_value(record, "ended") == std::to_string(ended)) break;
      Sleep(20);
    } while (GetTickCount64() < deadline);
    return record;
  }

 private:
  TempDirectory folder_;
  ChildProcess process_;
};

TEST(LibsCompanion, NullPointersAndPathsTheLineCannotCarryAreRefused) {
  bv_grant grant;
  char message[256];
  EXPECT_EQ(bv_request_enclave(nullptr, 1000, &grant, message, sizeof message), BV_E_ARGUMENT);
  EXPECT_STREQ(message, "enclave_path is NULL");
  EXPECT_EQ(bv_request_enclave(enclave_path().c_str(), 1000, nullptr, message, sizeof message), BV_E_ARGUMENT);
  EXPECT_STREQ(message, "grant is NULL");
  EXPECT_EQ(bv_request_enclave(enclave_path().c_str(), 1000, &grant, nullptr, 16), BV_E_ARGUMENT);
  const std::wstring two_lines = enclave_path() + L"\nSPAWN";
  EXPECT_EQ(bv_request_enclave(two_lines.c_str(), 1000, &grant, message, sizeof message), BV_E_ARGUMENT);
  EXPECT_STREQ(message, "the enclave path holds a control character");
  EXPECT_TRUE(grant_is_zero(grant));
  // No buffer for the message is no error.
  EXPECT_EQ(bv_request_enclave(two_lines.c_str(), 1000, &grant, nullptr, 0), BV_E_ARGUMENT);
}

// While the service does not run, nobody or any process may hold its pipe's
// name. Neither gets a byte, and with no pipe at all the answer comes at
// once instead of after the time limit.
TEST(LibsCompanion, WithoutTheRunningServiceNothingIsSentAndABusyPipeEndsAtTheTimeLimit) {
  const ServiceCleanup cleanup;
  const Call nobody = request(enclave_path().c_str(), 20000);
  EXPECT_EQ(nobody.code, BV_E_SERVICE_NOT_RUNNING) << nobody.message;
  EXPECT_EQ(nobody.message,
            "cannot open \\\\.\\pipe\\brisvander-svc: error 2; service BrisvanderEnclaveSvc unknown (OpenServiceW "
            "failed: error 1060)");
  EXPECT_LT(nobody.elapsed_ms, 5000u);

  const StandIn stand_in;
  const std::string server = std::to_string(stand_in.process_id());
  const Call missing = request(enclave_path().c_str(), 15000);
  EXPECT_EQ(missing.code, BV_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(missing.message, "cannot check the pipe's server: server process " + server +
                                 ", service BrisvanderEnclaveSvc unknown (OpenServiceW failed: error 1060); nothing "
                                 "was sent");
  EXPECT_TRUE(grant_is_zero(missing.grant));

  ASSERT_EQ(
      bv::test::run(
          {.command_line = bv::test::command_line(bv::test::build_file(L"brisvander-svc.exe"), {L"--install"})}, 60000)
          .exit_code,
      0u);
  const Call stopped = request(enclave_path().c_str(), 15000);
  EXPECT_EQ(stopped.code, BV_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(stopped.message, "the pipe's server is not the running service: server process " + server +
                                 ", service BrisvanderEnclaveSvc process 0 (STOPPED); nothing was sent");

  // While another client holds the stand-in's one instance, the request
  // gives up at its time limit. (The stand-in, not the service, so that how
  // long the service lets a silent client hold its pipe does not matter.)
  bv::test::Connection other;
  ASSERT_TRUE(other.open(5000)) << "error " << other.error();
  const Call busy = request(enclave_path().c_str(), 500);
  other.close();
  EXPECT_EQ(busy.code, BV_E_BUSY) << busy.message;
  EXPECT_EQ(busy.message, "cannot open \\\\.\\pipe\\brisvander-svc: error 231");
  std::printf("[ MEASURED ] BV_E_BUSY with timeout_ms 500 after %llu ms\n",
              static_cast<unsigned long long>(busy.elapsed_ms));
  EXPECT_GE(busy.elapsed_ms, 500u);
  EXPECT_LT(busy.elapsed_ms, 3000u);

  const std::string record = stand_in.record_after(3);
  EXPECT_EQ(bv::test::report_value(record, "ended"), "3") << "the stand-in was never reached: " << record;
  EXPECT_EQ(bv::test::report_value(record, "received_hex"), "") << record;
}

// The service answers this program, which is no companion application,
// with its refusal.
TEST(LibsCompanion, TheRunningServiceRefusesThisCallerWithItsMessage) {
  const ServiceCleanup cleanup;
  PasswordValue password;
  password.set(account_password);
  const auto service = bv::test::install_and_start(bv::test::build_file(L"brisvander-svc.exe"));
  ASSERT_TRUE(bv::test::wait_until_listening(listening_timeout_ms));

  const Call refused = request(enclave_path().c_str(), 15000);
  EXPECT_EQ(refused.code, BV_E_REFUSED);
  EXPECT_EQ(refused.message,
            "caller not authorized: Caller '" + bv::test::to_utf8(bv::test::own_path()) + "' is not companion-app.exe");
  EXPECT_TRUE(grant_is_zero(refused.grant));
}

}  // namespace
