// The companion library's logic against a scripted fake of its calls: the
// server check before any byte is written, the waits for a busy or missing
// pipe and their deadlines, the grant filled only from "OK {pid}", and the
// paths that the request line cannot carry.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "brisvander/companion.h"
#include "companion/companion_system.h"
#include "companion/exchange.h"
#include "companion/request.h"
#include "shared/text.h"
#include "text/utf.h"
#include "text/white_space.h"

namespace bv::companion_side {
namespace {

constexpr std::uint32_t service_pid = 4100;

// A pipe, a server and a Service Control Manager whose answers the test
// sets; the clock moves only when the logic sleeps or waits.
class FakeCompanion final : public CompanionSystem {
 public:
  // The pipe: missing until `pipe_appears_at`, then busy until
  // `busy_until`, then free.
  std::uint64_t pipe_appears_at = 0;
  std::uint64_t busy_until = 0;
  std::uint32_t server_pid = service_pid;
  std::expected<ServiceProcess, CallFailure> service = ServiceProcess{service_state::running, service_pid};
  std::string reply;  // what the server sends; then it closes its end
  std::optional<std::uint32_t> random_failure;

  std::uint64_t now = 1000;
  std::string written;
  std::vector<std::string> calls;

  std::expected<void, std::uint32_t> random(std::span<std::uint8_t> bytes) override {
    calls.push_back("random");
    if (random_failure) return std::unexpected(*random_failure);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(next_random_++ * 37 + 11);
    return {};
  }
  std::uint64_t now_ms() override { return now; }
  void sleep_ms(std::uint32_t milliseconds) override { now += milliseconds; }

  std::expected<std::unique_ptr<PipeConnection>, CallFailure> open_pipe(std::u16string_view) override {
    calls.push_back("open");
    if (now < pipe_appears_at) return std::unexpected(CallFailure{"CreateFileW", win32_error::file_not_found});
    if (now < busy_until) return std::unexpected(CallFailure{"CreateFileW", win32_error::pipe_busy});
    return std::make_unique<Connection>(*this);
  }
  bool wait_for_pipe(std::u16string_view, std::optional<std::uint32_t> timeout_ms) override {
    const std::uint64_t wait = timeout_ms.value_or(server_default_wait_ms);
    if (now + wait < busy_until) {
      now += wait;
      return false;
    }
    now = std::max(now, busy_until);
    return true;
  }
  std::expected<ServiceProcess, CallFailure> query_service(std::u16string_view name) override {
    EXPECT_EQ(name, u"BrisvanderEnclaveSvc");
    calls.push_back("query_service");
    return service;
  }

 private:
  class Connection final : public PipeConnection {
   public:
    explicit Connection(FakeCompanion& fake) : fake_(fake) {}
    std::expected<std::uint32_t, CallFailure> server_process_id() override {
      fake_.calls.push_back("server_process_id");
      return fake_.server_pid;
    }
    std::expected<std::size_t, std::uint32_t> write(std::span<const char> bytes, std::uint64_t) override {
      fake_.calls.push_back("write");
      fake_.written.append(bytes.data(), bytes.size());
      return bytes.size();
    }
    std::expected<std::size_t, std::uint32_t> read(std::span<char> buffer, std::uint64_t) override {
      fake_.calls.push_back("read");
      const std::size_t count = std::min(buffer.size(), fake_.reply.size() - sent_);
      if (count == 0) return std::unexpected(109u);  // ERROR_BROKEN_PIPE: the server closed its end
      std::memcpy(buffer.data(), fake_.reply.data() + sent_, count);
      sent_ += count;
      return count;
    }

   private:
    FakeCompanion& fake_;
    std::size_t sent_ = 0;
  };

  unsigned next_random_ = 0;
};

RequestResult request(FakeCompanion& fake, bv_grant& grant,
                      std::u16string_view path = u"C:\\Program Files\\B\\vault-enclave.exe",
                      std::uint32_t timeout_ms = 5000) {
  return request_enclave(fake, path, timeout_ms, grant);
}

bool zeroed(const bv_grant& grant) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&grant);
  return std::all_of(bytes, bytes + sizeof grant, [](unsigned char b) { return b == 0; });
}

TEST(CompanionServerCheck, OnlyTheRunningServicesOwnProcessGetsTheRequest) {
  struct Case {
    const char* name;
    std::expected<ServiceProcess, CallFailure> service;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"another process serves the pipe", ServiceProcess{service_state::running, 4200}, BV_E_SERVER_MISMATCH,
       "the pipe's server is not the running service: server process 4100, service BrisvanderEnclaveSvc process "
       "4200 (RUNNING); nothing was sent"},
      {"stopped", ServiceProcess{service_state::stopped, 0}, BV_E_SERVICE_NOT_RUNNING,
       "the pipe's server is not the running service: server process 4100, service BrisvanderEnclaveSvc process 0 "
       "(STOPPED); nothing was sent"},
      {"same process, stopping", ServiceProcess{service_state::stop_pending, service_pid}, BV_E_SERVICE_NOT_RUNNING,
       "the pipe's server is not the running service: server process 4100, service BrisvanderEnclaveSvc process "
       "4100 (STOP_PENDING); nothing was sent"},
      {"not installed", std::unexpected(CallFailure{"OpenServiceW", 1060}), BV_E_SERVICE_NOT_RUNNING,
       "cannot check the pipe's server: server process 4100, service BrisvanderEnclaveSvc unknown (OpenServiceW "
       "failed: error 1060); nothing was sent"},
      {"manager refused", std::unexpected(CallFailure{"OpenSCManagerW", 5}), BV_E_SYSTEM,
       "cannot check the pipe's server: server process 4100, service BrisvanderEnclaveSvc unknown (OpenSCManagerW "
       "failed: error 5); nothing was sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCompanion fake;
    fake.service = c.service;
    fake.reply = "OK 77\n";
    bv_grant grant;
    const RequestResult result = request(fake, grant);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(fake.written, "");
    EXPECT_TRUE(zeroed(grant));
  }

  FakeCompanion fake;
  fake.reply = "OK 77\n";
  bv_grant grant;
  EXPECT_EQ(request(fake, grant).code, BV_OK);
  const auto check = std::find(fake.calls.begin(), fake.calls.end(), "query_service");
  EXPECT_LT(check - fake.calls.begin(), std::find(fake.calls.begin(), fake.calls.end(), "write") - fake.calls.begin());
}

TEST(CompanionOpen, ABusyPipeIsWaitedForUntilTheDeadline) {
  FakeCompanion busy;
  busy.busy_until = 1'000'000;
  bv_grant grant;
  const RequestResult given_up = request(busy, grant, u"C:\\Program Files\\B\\vault-enclave.exe", 7000);
  EXPECT_EQ(given_up.code, BV_E_BUSY);
  EXPECT_EQ(given_up.message, "cannot open \\\\.\\pipe\\brisvander-svc: error 231");
  EXPECT_GE(busy.now, 1000u + 7000u);
  EXPECT_LE(busy.now, 1000u + 7000u + retry_not_found_ms);

  FakeCompanion freed;
  freed.busy_until = 1000 + 6000;
  freed.reply = "OK 77\n";
  EXPECT_EQ(request(freed, grant, u"C:\\Program Files\\B\\vault-enclave.exe", 7000).code, BV_OK);
}

TEST(CompanionOpen, AMissingPipeIsWaitedForOnlyWhileTheServiceRuns) {
  struct Case {
    const char* name;
    std::expected<ServiceProcess, CallFailure> service;
    std::u16string pipe;
    int code;
    std::uint64_t waited_at_least;
  };
  const std::vector<Case> cases = {
      {"stopped", ServiceProcess{service_state::stopped, 0}, std::u16string(service_pipe), BV_E_SERVICE_NOT_RUNNING, 0},
      {"not installed", std::unexpected(CallFailure{"OpenServiceW", 1060}), std::u16string(service_pipe),
       BV_E_SERVICE_NOT_RUNNING, 0},
      {"running, between two instances", ServiceProcess{service_state::running, service_pid},
       std::u16string(service_pipe), BV_E_BUSY, 3000},
      // The service's state says nothing about a pipe of another name.
      {"stopped, another pipe", ServiceProcess{service_state::stopped, 0}, u"\\\\.\\pipe\\other", BV_E_BUSY, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCompanion fake;
    fake.pipe_appears_at = 1'000'000;
    fake.service = c.service;
    const ExchangeOutcome outcome =
        exchange(fake, ExchangeSettings{.pipe = c.pipe, .connect_timeout_ms = 3000}, "SPAWN x\n");
    EXPECT_EQ(outcome.code, c.code) << outcome.message;
    EXPECT_GE(fake.now - 1000, c.waited_at_least);
    EXPECT_LT(fake.now - 1000, c.waited_at_least + 100);
  }

  FakeCompanion stopped;
  stopped.pipe_appears_at = 1'000'000;
  stopped.service = ServiceProcess{service_state::stopped, 0};
  bv_grant grant;
  EXPECT_EQ(request(stopped, grant).message,
            "cannot open \\\\.\\pipe\\brisvander-svc: error 2; service BrisvanderEnclaveSvc process 0 (STOPPED)");
}

TEST(CompanionReply, TheGrantIsFilledOnlyFromOkAndAProcessId) {
  struct Case {
    std::string reply;
    int code;
    std::uint32_t pid;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"OK 4242\n", BV_OK, 4242, ""},
      {"OK 4294967295\n", BV_OK, 4294967295u, ""},
      {"OK 4294967296\n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": OK 4294967296"},
      {"OK 0\n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": OK 0"},
      {"OK 042\n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": OK 042"},
      {"OK 42x\n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": OK 42x"},
      {"OK +42\n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": OK +42"},
      {"OK \n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": OK "},
      {"ok 42\n", BV_E_NO_REPLY, 0, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": ok 42"},
      {"ERR Invalid request format\nERR later\n", BV_E_REFUSED, 0, "Invalid request format"},
      {"ERR \n", BV_E_REFUSED, 0, ""},
      {"OK 42", BV_E_NO_REPLY, 0, "no reply line (error 109, 5 bytes without a line feed)"},
      {"", BV_E_NO_REPLY, 0, "no reply line (error 109, 0 bytes without a line feed)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeCompanion fake;
    fake.reply = c.reply;
    bv_grant grant;
    const RequestResult result = request(fake, grant);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, c.message);
    if (c.code != BV_OK) {
      EXPECT_TRUE(zeroed(grant));
      continue;
    }
    EXPECT_EQ(grant.enclave_pid, c.pid);
    // The grant holds the token and the secret that were sent.
    EXPECT_EQ(fake.written, std::string("SPAWN ") + grant.pipe_token + " " + grant.ipc_secret +
                                " C:\\Program Files\\B\\vault-enclave.exe\n");
    EXPECT_EQ(std::string(grant.pipe_token).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(std::string(grant.pipe_token).size(), 32u);
    EXPECT_EQ(std::string(grant.ipc_secret).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(std::string(grant.ipc_secret).size(), 64u);
  }
}

TEST(CompanionRequest, APathTheLineCannotCarryIsRefusedBeforeAnyCall) {
  const std::vector<std::u16string> refused = {
      u"",
      u"C:\\Program Files\\B\nSPAWN\\vault-enclave.exe",
      u"C:\\Program Files\\B\\vault-enclave.exe\r",
      u"C:\\Program Files\\B\" --pipe-token x\\vault-enclave.exe",
      u"C:\\Program Files\\B\\vault-enclave.exe ",
      u"C:\\Program Files\\B\\vault-enclave.exe\u00A0",
      u"C:\\Program Files\\B\\vault-enclave.exe\u3000",
      u"C:\\Program Files\\B\xD800\\vault-enclave.exe",
  };
  for (const std::u16string& path : refused) {
    SCOPED_TRACE(text::to_utf8(path));
    FakeCompanion fake;
    bv_grant grant;
    EXPECT_EQ(request(fake, grant, path).code, BV_E_ARGUMENT);
    EXPECT_TRUE(fake.calls.empty());
  }

  // Spaces inside, a character outside the BMP and leading white space
  // travel unchanged.
  FakeCompanion fake;
  fake.reply = "OK 9\n";
  bv_grant grant;
  EXPECT_EQ(request(fake, grant, u" C:\\Program Files\\B \U0001F512\\vault-enclave.exe").code, BV_OK);
  EXPECT_TRUE(fake.written.ends_with(" C:\\Program Files\\B \xF0\x9F\x94\x92\\vault-enclave.exe\n")) << fake.written;

  // Exactly what the service trims from the end of a line is refused there.
  for (char32_t unit = 0x20; unit <= 0xFFFF; ++unit) {
    if (unit == u'"' || (unit >= 0xD800 && unit <= 0xDFFF)) continue;
    const std::u16string path = u"C:\\B\\vault-enclave.exe" + std::u16string(1, static_cast<char16_t>(unit));
    ASSERT_EQ(enclave_path_fault(path).has_value(), text::is_white_space(unit))
        << "U+" << std::hex << static_cast<std::uint32_t>(unit);
  }
}

TEST(CompanionRequest, AFailedGeneratorSendsNothing) {
  FakeCompanion fake;
  fake.random_failure = 0xC0000001u;
  bv_grant grant;
  const RequestResult result = request(fake, grant);
  EXPECT_EQ(result.code, BV_E_SYSTEM);
  EXPECT_EQ(result.message, "BCryptGenRandom failed: status 0xC0000001");
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "open"), 0);
}

TEST(CompanionMessage, ACutMessageEndsOnACharacterBoundary) {
  const std::string text =
      "ab\xE2\x82\xAC"
      "c";  // "ab€c"
  struct Case {
    std::size_t size;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{1, ""}, {3, "ab"}, {5, "ab"}, {6, "ab\xE2\x82\xAC"}, {7, text}, {64, text}}) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    sides::copy_message(text, buffer, c.size);
    EXPECT_EQ(std::string(buffer), c.expected) << c.size;
  }
  char untouched = 'x';
  sides::copy_message(text, &untouched, 0);
  EXPECT_EQ(untouched, 'x');
}

}  // namespace
}  // namespace bv::companion_side
