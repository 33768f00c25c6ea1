#include "support/pipe_client.h"

#include <algorithm>

#include "support/clock.h"

namespace bv::test {
namespace {

// The pause before the next open when no instance exists: between two
// connections the next instance follows within milliseconds.
constexpr DWORD retry_not_found_ms = 5;
// A reply longer than this is not one of the service's.
constexpr std::size_t max_reply_bytes = 64 * 1024;
// One WriteFile at most.
constexpr std::size_t write_chunk = 1 << 16;

DWORD remaining_ms(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

bool is_end_of_connection(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

}  // namespace

std::string_view outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::reply:
      return "reply";
    case Outcome::silence:
      return "silence";
    case Outcome::partial:
      return "partial line";
    case Outcome::timeout:
      return "time-out";
    case Outcome::no_connect:
      return "no connection";
  }
  return "?";
}

Connection::Connection(std::wstring_view pipe) : name_(pipe), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!event_) error_ = GetLastError();
}

bool Connection::open(DWORD timeout_ms) {
  if (!event_) return false;
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    pipe_.reset(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe_) return true;
    error_ = GetLastError();
    const DWORD left = remaining_ms(deadline);
    if (left == 0) return false;
    if (error_ == ERROR_PIPE_BUSY) {
      ++busy_waits_;
      // Another client is being served. The wait ends when an instance is
      // free (another client may still take it first) or after the server's
      // default wait; either way the open is tried again.
      if (!WaitNamedPipeW(name_.c_str(), NMPWAIT_USE_DEFAULT_WAIT)) Sleep(std::min(left, retry_not_found_ms));
    } else if (error_ == ERROR_FILE_NOT_FOUND) {
      ++missing_instances_;
      Sleep(std::min(left, retry_not_found_ms));
    } else {
      return false;
    }
  }
}

OVERLAPPED Connection::fresh_overlapped() {
  ResetEvent(event_.get());
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_.get();
  return overlapped;
}

bool Connection::finish(BOOL started, OVERLAPPED& overlapped, ULONGLONG deadline, DWORD& done) {
  done = 0;
  if (!started) {
    error_ = GetLastError();
    if (error_ != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(event_.get(), remaining_ms(deadline)) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_.get(), &overlapped);
      // The cancelled operation must be over before `overlapped` goes.
      GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
      error_ = ERROR_TIMEOUT;
      return false;
    }
  }
  if (!GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE)) {
    error_ = GetLastError();
    return false;
  }
  error_ = ERROR_SUCCESS;
  return true;
}

bool Connection::write(std::string_view bytes, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size() - written, write_chunk));
    OVERLAPPED overlapped = fresh_overlapped();
    const BOOL started = WriteFile(pipe_.get(), bytes.data() + written, chunk, nullptr, &overlapped);
    DWORD done = 0;
    if (!finish(started, overlapped, deadline, done)) return false;
    written += done;
  }
  return true;
}

Received Connection::read_reply(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  Received received;
  char buffer[512];
  for (;;) {
    OVERLAPPED overlapped = fresh_overlapped();
    const BOOL started = ReadFile(pipe_.get(), buffer, sizeof buffer, nullptr, &overlapped);
    DWORD done = 0;
    if (!finish(started, overlapped, deadline, done)) {
      received.error = error_;
      if (error_ == ERROR_TIMEOUT) {
        received.outcome = Outcome::timeout;
      } else if (received.line.empty() && is_end_of_connection(error_)) {
        received.outcome = Outcome::silence;
      } else {
        received.outcome = Outcome::partial;
      }
      return received;
    }
    received.line.append(buffer, done);
    const std::size_t line_feed = received.line.find('\n');
    if (line_feed != std::string::npos) {
      if (line_feed + 1 == received.line.size()) received.line.pop_back();
      received.outcome = Outcome::reply;
      return received;
    }
    if (received.line.size() > max_reply_bytes) {
      received.outcome = Outcome::partial;
      return received;
    }
  }
}

Received round_trip(std::string_view request, const ExchangeLimits& limits, std::wstring_view pipe) {
  Connection connection(pipe);
  const std::uint64_t started_at = system_time();
  const double started = now_ms();
  Received received;
  if (connection.open(limits.connect_ms)) {
    if (!request.empty()) static_cast<void>(connection.write(request, limits.reply_ms));
    received = connection.read_reply(limits.reply_ms);
  } else {
    received.error = connection.error();
  }
  received.total_ms = now_ms() - started;
  received.started_at = started_at;
  received.busy_waits = connection.busy_waits();
  received.missing_instances = connection.missing_instances();
  return received;
}

bool wait_until_listening(DWORD timeout_ms, std::wstring_view pipe, DWORD poll_ms) {
  const std::wstring name(pipe);
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    // A wait of 0 would be NMPWAIT_USE_DEFAULT_WAIT.
    const DWORD wait_ms = std::clamp<DWORD>(remaining_ms(deadline), 1, 100);
    if (WaitNamedPipeW(name.c_str(), wait_ms)) return true;
    const DWORD error = GetLastError();
    const DWORD left = remaining_ms(deadline);
    if (left == 0) return false;
    if (error == ERROR_FILE_NOT_FOUND) Sleep(std::min(left, poll_ms));
  }
}

}  // namespace bv::test
