#include "soak/pipe_client.h"

#include <algorithm>
#include <atomic>

namespace bv::soak {
namespace {

// The pause before the next open when no instance exists: between two
// connections the next instance follows within milliseconds.
constexpr DWORD retry_not_found_ms = 5;
// A reply longer than this is not one of the service's.
constexpr std::size_t max_reply_bytes = 64 * 1024;

std::atomic<long long> busy_wait_count = 0;
std::atomic<long long> missing_instance_count = 0;

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

long long busy_waits() {
  return busy_wait_count;
}

long long missing_instances() {
  return missing_instance_count;
}

double now_ms() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency);
}

bool Connection::open(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    pipe_.reset(CreateFileW(service_pipe.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe_) break;
    error_ = GetLastError();
    const DWORD left = remaining_ms(deadline);
    if (left == 0) return false;
    if (error_ == ERROR_PIPE_BUSY) {
      ++busy_wait_count;
      // Another client is being served. The wait ends when an instance is
      // free (another racer may still take it first) or after the service's
      // default wait; either way the open is tried again.
      if (!WaitNamedPipeW(service_pipe.data(), NMPWAIT_USE_DEFAULT_WAIT)) Sleep(std::min(left, retry_not_found_ms));
    } else if (error_ == ERROR_FILE_NOT_FOUND) {
      // Between two instances there is no pipe at all.
      ++missing_instance_count;
      Sleep(std::min(left, retry_not_found_ms));
    } else {
      return false;
    }
  }
  event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event_) {
    error_ = GetLastError();
    pipe_.reset();
    return false;
  }
  return true;
}

bool Connection::transfer(bool writing, char* buffer, DWORD size, ULONGLONG deadline, DWORD& done) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_.get();
  ResetEvent(event_.get());
  done = 0;
  const BOOL started = writing ? WriteFile(pipe_.get(), buffer, size, nullptr, &overlapped)
                               : ReadFile(pipe_.get(), buffer, size, nullptr, &overlapped);
  if (!started) {
    error_ = GetLastError();
    if (error_ != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(event_.get(), remaining_ms(deadline)) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_.get(), &overlapped);
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
  std::string copy(bytes);
  std::size_t written = 0;
  while (written < copy.size()) {
    DWORD done = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(copy.size() - written, 1 << 16));
    if (!transfer(true, copy.data() + written, chunk, deadline, done)) return false;
    written += done;
  }
  return true;
}

Received Connection::read_reply(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  Received received;
  char buffer[512];
  for (;;) {
    DWORD done = 0;
    if (!transfer(false, buffer, sizeof buffer, deadline, done)) {
      received.error = error_;
      if (error_ == ERROR_TIMEOUT) {
        received.outcome = Outcome::timeout;
      } else {
        received.outcome = received.line.empty() ? Outcome::silence : Outcome::partial;
        if (!is_end_of_connection(error_)) received.outcome = Outcome::partial;
      }
      return received;
    }
    received.line.append(buffer, done);
    const std::size_t line_feed = received.line.find('\n');
    if (line_feed != std::string::npos) {
      // Anything after the line feed would be a second reply; keep it, so
      // that the comparison with the expected line fails.
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

Received round_trip(std::string_view request, const ExchangeLimits& limits) {
  const double started = now_ms();
  Connection connection;
  if (!connection.open(limits.connect_ms)) {
    Received failed;
    failed.error = connection.error();
    failed.total_ms = now_ms() - started;
    return failed;
  }
  const double connected = now_ms();
  if (!request.empty()) connection.write(request, limits.reply_ms);
  Received received = connection.read_reply(limits.reply_ms);
  connection.close();
  received.connect_ms = connected - started;
  received.total_ms = now_ms() - started;
  return received;
}

}  // namespace bv::soak
