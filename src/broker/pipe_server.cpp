#include "broker/pipe_server.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "broker/caller.h"
#include "common/names.h"
#include "enclave/running_enclave.h"
#include "text/utf.h"

namespace bv::broker {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t initial_request_capacity = 512;
// A valid request is a little over a hundred bytes plus a path; anything
// longer than this is not worth holding the connection for.
constexpr std::size_t max_request_length = 65'536;
constexpr std::chrono::milliseconds reply_write_time_limit = 2s;
// DisconnectNamedPipe discards a reply the client has not read yet, so the
// disconnect waits (this long at most) for the client to close its end.
constexpr std::chrono::milliseconds reply_read_time_limit = 2s;
// Only for a client that sent more after its line (see write_reply_line).
constexpr std::chrono::milliseconds reply_poll_interval = 1ms;
constexpr std::chrono::milliseconds creation_retry_pause = 2s;

// Doubles the buffer's capacity. The bytes move to a new allocation and the
// old one is wiped, where letting the string reallocate would free a copy
// of the secret's text unwiped.
void grow(SecretString& buffer) {
  SecretString larger;
  larger.get().reserve(std::max(initial_request_capacity, buffer.get().capacity() * 2));
  larger.get().append(buffer.get());
  buffer = std::move(larger);
}

// One listening instance with the service's DACL. The descriptor lives only
// for the creation call.
std::expected<platform::Pipe, std::string> create_pipe_instance(platform::Platform& platform) {
  auto descriptor = platform.security.convert_sddl(pipe_sddl);
  if (!descriptor) {
    return std::unexpected("ConvertStringSecurityDescriptor failed: " + std::to_string(descriptor.error()));
  }
  auto pipe = platform.files.create_named_pipe(names::pipe_name<char16_t>, **descriptor);
  descriptor->reset();
  if (!pipe) return std::unexpected("CreateNamedPipeW failed: " + std::to_string(pipe.error()));
  return std::move(*pipe);
}

// Why the connected client's line cannot be served, or none.
std::optional<std::string> unusable_request(const std::expected<SecretString, std::string>& line) {
  if (!line) return line.error();
  if (line->get().empty()) return std::string("Empty request");
  return text::utf8_error(line->get());
}

// Steps of one connected client, from the verification to the reply. The
// caller disconnects the client afterwards.
//
// A client holds the only instance while it is served, so it is verified
// first: a caller the service refuses then has one second for its line
// instead of a verified caller's ten, and a few refused callers that connect
// and stay silent cannot keep the companion out for long. Its process id is
// resolved at once, before the client could exit and leave the id for reuse.
// The verdict is acted on only for a usable line: an unusable one gets its
// read error and no reply, whoever sent it.
void serve_connection(platform::PipeInstance& pipe, enclave::AccountPassword& account_password,
                      enclave::RunningEnclave& record, platform::Platform& platform, Log& log, const Launcher& launch) {
  auto verdict = verify_caller(pipe, platform);
  const auto line = read_request_line(pipe, platform.clock, verdict ? request_time_limit : refused_request_time_limit);
  if (auto failure = unusable_request(line)) {
    // Nothing is served, so the verified caller's process is not needed.
    if (verdict) verdict->process.reset();
    log.report(Event::read_error, *failure);
    return;
  }

  std::string reply;
  if (!verdict) {
    log.report(Event::rejected_caller, verdict.error());
    reply = "ERR caller not authorized: " + verdict.error();
  } else {
    enclave::stop_previous_enclave(record, platform, log);
    auto outcome = handle_spawn_request(*verdict, line->get(), account_password, platform, log, launch);
    // The caller's process handle served both queries and is not needed
    // past the request.
    verdict->process.reset();
    if (outcome.launch) enclave::remember_enclave(record, std::move(*outcome.launch));
    reply = std::move(outcome.reply);
  }
  write_reply_line(pipe, reply, platform.clock);
}

// What a wait for a client left the instance in.
enum class Connection {
  client,       // a client is connected: serve it, then disconnect
  client_gone,  // a client came and closed before the connect (ERROR_NO_DATA): disconnect
  stopped,      // the stop's wake event cancelled the wait: back to the flag test
  wedged,       // anything else: the instance's state is unknown
};

Connection classify(const platform::ConnectOutcome& outcome) {
  if (outcome.succeeded || outcome.error == platform::error_pipe_connected) return Connection::client;
  if (outcome.error == platform::error_no_data) return Connection::client_gone;
  if (outcome.woken) return Connection::stopped;
  return Connection::wedged;
}

// The pause before the next attempt to make the instance. A stop ends it
// early: the name may be held by another process for as long as it likes.
void pause_before_retry(const RunningFlag& running, platform::Clock& clock) {
  if (auto* wake = running.wake_event()) {
    static_cast<void>(wake->wait(creation_retry_pause));
  } else {
    clock.sleep_for(creation_retry_pause);
  }
}

}  // namespace

std::expected<SecretString, std::string> read_request_line(platform::PipeInstance& pipe, platform::Clock& clock,
                                                           std::chrono::milliseconds time_limit) {
  SecretString buffer;
  buffer.get().reserve(initial_request_capacity);
  const auto deadline = clock.now() + time_limit;
  for (;;) {
    const auto now = clock.now();
    if (now >= deadline) return std::unexpected(std::string("Request timed out"));
    const auto outcome = pipe.read_byte(deadline - now);
    if (outcome.timed_out) return std::unexpected(std::string("Request timed out"));
    // An error (a client that closed its end included) or an end of data
    // ends the line just as a line feed does.
    if (!outcome.succeeded || outcome.count == 0 || outcome.byte == '\n') break;
    if (buffer.get().size() == max_request_length) return std::unexpected(std::string("Request too long"));
    if (buffer.get().size() == buffer.get().capacity()) grow(buffer);
    buffer.get().push_back(static_cast<char>(outcome.byte));
  }
  return buffer;
}

void write_reply_line(platform::PipeInstance& pipe, std::string_view reply, platform::Clock& clock) {
  std::string framed;
  framed.reserve(reply.size() + 1);
  framed += reply;
  framed += '\n';
  // A client that has gone away gets nothing and changes nothing.
  static_cast<void>(pipe.write(framed, reply_write_time_limit));

  // The wait ends the moment the client closes its end: that fails the
  // pending zero-byte read. The only instance is then free for the next
  // client at once; a poll would hold it until its sleep ended, and Sleep(1)
  // lasts up to a system clock tick on Windows.
  const auto deadline = clock.now() + reply_read_time_limit;
  const auto waited = pipe.wait_for_data(deadline - clock.now());
  if (!waited.succeeded) return;
  // The client sent more after its line. Those bytes stay unread, so a
  // zero-byte read would return at once from now on: the close is polled for.
  while (pipe.peek() == 0) {
    const auto now = clock.now();
    if (now >= deadline) break;
    clock.sleep_for(std::min(reply_poll_interval, deadline - now));
  }
}

void run_pipe_server(enclave::AccountPassword& account_password, const RunningFlag& running,
                     platform::Platform& platform, Log& log, const Launcher& launch) {
  // Owned by this loop alone; stopped and replaced for each verified caller.
  enclave::RunningEnclave record;
  // The one instance, created once and reused for every client (connect,
  // serve, disconnect, connect again). While it exists nobody else can make
  // an instance of the name: it was created as the first instance, and it
  // allows no second one. Closed only when serving ends, or when it is
  // wedged, and then made again at once.
  platform::Pipe pipe;
  for (;;) {
    if (!running.is_set()) {
      pipe.reset();
      enclave::release_enclave_record(record);
      return;
    }

    if (!pipe) {
      auto created = create_pipe_instance(platform);
      if (!created) {
        log.report(Event::pipe_creation_failed, created.error());
        pause_before_retry(running, platform.clock);
        continue;
      }
      pipe = std::move(*created);
    }

    // A stop sets the wake event and ends the wait; a client that got in
    // before the wait was cancelled is still served, and the flag is tested
    // again only at the top of the loop.
    switch (classify(pipe->connect(running.wake_event()))) {
      case Connection::client:
        serve_connection(*pipe, account_password, record, platform, log, launch);
        [[fallthrough]];
      case Connection::client_gone:
        // A disconnect that fails leaves the instance unable to take the
        // next client.
        if (!pipe->disconnect()) pipe.reset();
        break;
      case Connection::stopped:
        break;
      case Connection::wedged:
        // ConnectNamedPipe failed with an error other than ERROR_PIPE_CONNECTED
        // and ERROR_NO_DATA (ERROR_INVALID_HANDLE, ERROR_NO_SYSTEM_RESOURCES,
        // a failed wait...), so the instance may be in no state to listen
        // again: it is closed and made afresh. No log line and no pause, as
        // for a client that came and went.
        pipe.reset();
        break;
    }
  }
}

}  // namespace bv::broker
