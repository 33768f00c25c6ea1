#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "broker/pipe_server.h"
#include "platform/win32/win32_platform.h"
#include "platform_support.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The service's own descriptor, mandatory label included.
using broker::pipe_sddl;

class PlatformPipe : public ::testing::Test {
 protected:
  Pipe create_instance() {
    auto descriptor = platform_.security.convert_sddl(pipe_sddl);
    EXPECT_TRUE(descriptor.has_value()) << descriptor.error();
    if (!descriptor) return nullptr;
    auto pipe = platform_.files.create_named_pipe(name_, **descriptor);
    EXPECT_TRUE(pipe.has_value()) << pipe.error();
    return pipe ? std::move(*pipe) : nullptr;
  }

  UniqueFile open_client() {
    return UniqueFile(
        CreateFileW(test::wstr(name_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }

  static void client_write(const UniqueFile& client, std::string_view bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

  // A pipe instance with a client connected the way a companion connects:
  // the server waits, the client comes.
  struct Connected {
    Pipe server;
    UniqueFile client;
  };
  Connected connect_pair() {
    Connected pair{create_instance(), {}};
    if (!pair.server) return pair;
    std::thread client_thread([&] {
      std::this_thread::sleep_for(50ms);
      pair.client = open_client();
    });
    const ConnectOutcome outcome = pair.server->connect(nullptr);
    client_thread.join();
    EXPECT_TRUE(outcome.succeeded) << outcome.error;
    EXPECT_TRUE(pair.client) << GetLastError();
    return pair;
  }

  Win32Platform win32_;
  Platform& platform_ = win32_.platform();
  std::u16string name_ = u"\\\\.\\pipe\\" + test::u16(test::unique_name(L"bv-platform-test-"));
};

TEST_F(PlatformPipe, ClientArrivingDuringTheWaitIsConnected) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  const auto process_id = pair.server->client_process_id();
  ASSERT_TRUE(process_id.has_value()) << process_id.error();
  EXPECT_EQ(*process_id, GetCurrentProcessId());
}

TEST_F(PlatformPipe, ClientArrivingBeforeTheConnectIsReportedAsPipeConnected) {
  Pipe server = create_instance();
  ASSERT_TRUE(server);
  UniqueFile client = open_client();
  ASSERT_TRUE(client) << GetLastError();
  const ConnectOutcome outcome = server->connect(nullptr);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.error, error_pipe_connected);
  EXPECT_FALSE(outcome.woken);
  // The connection is good all the same.
  client_write(client, "x");
  const ReadOutcome read = server->read_byte(1s);
  EXPECT_TRUE(read.succeeded);
  EXPECT_EQ(read.byte, 'x');
}

TEST_F(PlatformPipe, ClientThatCameAndWentBeforeTheConnectIsReported) {
  Pipe server = create_instance();
  ASSERT_TRUE(server);
  UniqueFile client = open_client();
  ASSERT_TRUE(client) << GetLastError();
  client.reset();
  const ConnectOutcome outcome = server->connect(nullptr);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_FALSE(outcome.woken);
  EXPECT_EQ(outcome.error, error_no_data);
}

TEST_F(PlatformPipe, ReadsTheRequestOneByteAtATime) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  client_write(pair.client, "a\xFF\n");
  for (const char expected : std::string("a\xFF\n")) {
    const ReadOutcome read = pair.server->read_byte(1s);
    ASSERT_TRUE(read.succeeded) << read.error;
    EXPECT_EQ(read.count, 1u);
    EXPECT_EQ(read.byte, static_cast<std::uint8_t>(expected));
    EXPECT_FALSE(read.timed_out);
  }
}

TEST_F(PlatformPipe, ReadTimesOutWithoutLosingTheConnection) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  const auto start = Clock::now();
  const ReadOutcome silent = pair.server->read_byte(150ms);
  const auto elapsed = Clock::now() - start;
  EXPECT_FALSE(silent.succeeded);
  EXPECT_TRUE(silent.timed_out);
  EXPECT_EQ(silent.error, error_operation_aborted);
  EXPECT_GE(elapsed, 140ms);
  EXPECT_LT(elapsed, 2s);

  // The cancelled read took nothing: the next byte goes to the next read.
  client_write(pair.client, "k");
  const ReadOutcome read = pair.server->read_byte(2s);
  ASSERT_TRUE(read.succeeded) << read.error;
  EXPECT_EQ(read.byte, 'k');
  EXPECT_EQ(pair.server->peek(), 0u);
}

TEST_F(PlatformPipe, ClientThatClosedIsSeenByReadAndPeek) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  EXPECT_EQ(pair.server->peek(), 0u);
  client_write(pair.client, "z");
  pair.client.reset();
  // A byte written before the close is still delivered.
  const ReadOutcome last = pair.server->read_byte(1s);
  ASSERT_TRUE(last.succeeded) << last.error;
  EXPECT_EQ(last.byte, 'z');
  const ReadOutcome after = pair.server->read_byte(1s);
  EXPECT_FALSE(after.succeeded);
  EXPECT_FALSE(after.timed_out);
  EXPECT_EQ(after.error, error_broken_pipe);
  EXPECT_EQ(pair.server->peek(), error_broken_pipe);
}

TEST_F(PlatformPipe, ZeroByteWaitEndsOnDataWithoutTakingItAndOnTheClientsClose) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  const auto start = Clock::now();
  const ReadOutcome idle = pair.server->wait_for_data(150ms);
  EXPECT_GE(Clock::now() - start, 140ms);
  EXPECT_FALSE(idle.succeeded);
  EXPECT_TRUE(idle.timed_out);

  client_write(pair.client, "q");
  const ReadOutcome data = pair.server->wait_for_data(2s);
  ASSERT_TRUE(data.succeeded) << data.error;
  EXPECT_EQ(data.count, 0u);
  // The byte is still there for the next read.
  const ReadOutcome read = pair.server->read_byte(1s);
  ASSERT_TRUE(read.succeeded) << read.error;
  EXPECT_EQ(read.byte, 'q');

  std::thread closer([&] {
    std::this_thread::sleep_for(100ms);
    pair.client.reset();
  });
  const auto waiting = Clock::now();
  const ReadOutcome closed = pair.server->wait_for_data(5s);
  const auto waited = Clock::now() - waiting;
  closer.join();
  EXPECT_FALSE(closed.succeeded);
  EXPECT_FALSE(closed.timed_out);
  EXPECT_EQ(closed.error, error_broken_pipe);
  EXPECT_LT(waited, 2s);
}

TEST_F(PlatformPipe, WriteReachesTheClientAndDisconnectEndsItsConnection) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  pair.server->write("OK 4242\n", 1s);
  char buffer[64] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(pair.client.get(), buffer, sizeof buffer, &read, nullptr)) << GetLastError();
  EXPECT_EQ(std::string(buffer, read), "OK 4242\n");

  EXPECT_TRUE(pair.server->disconnect().has_value());
  EXPECT_FALSE(ReadFile(pair.client.get(), buffer, sizeof buffer, &read, nullptr));
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE) << error;
}

TEST_F(PlatformPipe, WriteToAClientThatDoesNotReadGivesUpAfterItsTimeout) {
  Connected pair = connect_pair();
  ASSERT_TRUE(pair.server && pair.client);
  // Far more than the 4096-byte buffers hold.
  const std::string reply(1 << 20, 'r');
  const auto start = Clock::now();
  pair.server->write(reply, 200ms);
  EXPECT_LT(Clock::now() - start, 5s);
  // The instance is still usable for the disconnect that follows a reply.
  EXPECT_TRUE(pair.server->disconnect().has_value());
}

TEST_F(PlatformPipe, WakeEventCutsTheWaitForAClientShort) {
  Pipe server = create_instance();
  ASSERT_TRUE(server);
  auto wake = platform_.processes.create_wake_event();
  ASSERT_TRUE(wake.has_value()) << wake.error();
  Clock::time_point set_at;
  std::thread waker([&] {
    std::this_thread::sleep_for(100ms);
    set_at = Clock::now();
    (*wake)->set();
  });
  const ConnectOutcome outcome = server->connect(wake->get());
  const auto returned_at = Clock::now();
  waker.join();
  EXPECT_TRUE(outcome.woken);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.error, error_operation_aborted);
  EXPECT_LT(returned_at - set_at, 100ms);

  // The event stays set: a later wait ends at once, and so does a pause
  // before another attempt to make the instance.
  const auto again_at = Clock::now();
  const ConnectOutcome again = server->connect(wake->get());
  EXPECT_TRUE(again.woken);
  EXPECT_TRUE((*wake)->wait(5s));
  EXPECT_LT(Clock::now() - again_at, 100ms);
}

TEST_F(PlatformPipe, PauseOnTheWakeEventLastsItsTimeWhenNobodySetsIt) {
  auto wake = platform_.processes.create_wake_event();
  ASSERT_TRUE(wake.has_value()) << wake.error();
  const auto start = Clock::now();
  EXPECT_FALSE((*wake)->wait(150ms));
  EXPECT_GE(Clock::now() - start, 140ms);
}

TEST_F(PlatformPipe, OneInstanceServesClientAfterClientAcrossDisconnects) {
  // A fresh instance listens from its creation, so a client can come and go
  // before the first connect: the instance is then closing, and the
  // disconnect makes it ready to listen again.
  Pipe server = create_instance();
  ASSERT_TRUE(server);
  UniqueFile gone = open_client();
  ASSERT_TRUE(gone) << GetLastError();
  gone.reset();
  EXPECT_EQ(server->connect(nullptr).error, error_no_data);
  ASSERT_TRUE(server->disconnect().has_value());

  for (const char byte : {'1', '2'}) {
    UniqueFile client;
    std::thread client_thread([&] {
      std::this_thread::sleep_for(50ms);
      client = open_client();
    });
    const ConnectOutcome outcome = server->connect(nullptr);
    client_thread.join();
    ASSERT_TRUE(outcome.succeeded) << outcome.error;
    ASSERT_TRUE(client) << GetLastError();
    client_write(client, std::string(1, byte));
    EXPECT_EQ(server->read_byte(1s).byte, byte);
    ASSERT_TRUE(server->disconnect().has_value());
    // Between the disconnect and the next connect a client finds the one
    // instance busy, not a free name.
    UniqueFile early = open_client();
    EXPECT_FALSE(early);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
  }
}

TEST_F(PlatformPipe, NameHeldByAnotherCreatorIsNeverJoined) {
  // Another process's instance, made first, allowing any number of
  // instances and anyone to make them.
  UniqueFile squatter(CreateNamedPipeW(test::wstr(name_).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter) << GetLastError();
  auto descriptor = platform_.security.convert_sddl(pipe_sddl);
  ASSERT_TRUE(descriptor.has_value());
  const auto ours = platform_.files.create_named_pipe(name_, **descriptor);
  if (ours && test::running_under_wine()) {
    // Windows refuses FILE_FLAG_FIRST_PIPE_INSTANCE here with
    // ERROR_ACCESS_DENIED; Wine 8 ignores the flag.
    GTEST_SKIP() << "Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE: a second instance joined the name";
  }
  ASSERT_FALSE(ours.has_value()) << "a second instance joined a name that another creator holds";
  std::printf("[ figures  ] creation while another creator holds the name: error %lu\n",
              static_cast<unsigned long>(ours.error()));
}

TEST_F(PlatformPipe, OnlyOneInstanceOfThePipeCanExist) {
  Pipe first = create_instance();
  ASSERT_TRUE(first);
  auto descriptor = platform_.security.convert_sddl(pipe_sddl);
  ASSERT_TRUE(descriptor.has_value());
  const auto second = platform_.files.create_named_pipe(name_, **descriptor);
  ASSERT_FALSE(second.has_value());
  // ERROR_ACCESS_DENIED from the first-instance flag on Windows; Wine checks
  // the instance count first.
  EXPECT_TRUE(second.error() == error_access_denied || second.error() == error_pipe_busy) << second.error();
  // Once the first is closed the name is free again.
  first.reset();
  EXPECT_TRUE(platform_.files.create_named_pipe(name_, **descriptor).has_value());
}

}  // namespace
}  // namespace bv::platform::win32
