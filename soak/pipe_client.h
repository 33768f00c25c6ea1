#pragma once
// One client connection to the service's pipe, as the soak makes it: open
// (waiting with WaitNamedPipeW while the only instance is busy), write the
// request bytes, then read until the reply's line feed or the end of the
// connection. Every step has a deadline, so a service that hangs shows up as
// a time-out rather than as a soak that never ends.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/win32/unique_handle.h"

namespace bv::soak {

using platform::win32::UniqueFile;
using platform::win32::UniqueHandle;

inline constexpr std::wstring_view service_pipe = L"\\\\.\\pipe\\brisvander-svc";

// What came back on one connection.
enum class Outcome {
  reply,       // one line ended by a line feed: `line`, without the line feed
  silence,     // the service ended the connection without sending a byte
  partial,     // bytes but no line feed before the end of the connection
  timeout,     // neither a line nor the end within the reply time limit
  no_connect,  // the pipe could not be opened within the connect time limit
};

std::string_view outcome_name(Outcome outcome);

struct Received {
  Outcome outcome = Outcome::no_connect;
  std::string line;       // the reply line (Outcome::reply) or the bytes received
  DWORD error = 0;        // the error that ended the read or the open
  double connect_ms = 0;  // from the start until the pipe was open
  double total_ms = 0;    // from the start until the outcome was known
};

// Milliseconds on a monotonic clock, with sub-millisecond resolution.
double now_ms();

// How often an open found the pipe busy and waited with WaitNamedPipeW, and
// how often it found no instance at all, in this process so far.
long long busy_waits();
long long missing_instances();

// An open client end of the pipe, for overlapped reads and writes.
class Connection {
 public:
  // Opens the pipe; false when that did not succeed within `timeout_ms`
  // (error() then tells the last failure).
  bool open(DWORD timeout_ms);
  // Writes all of `bytes`; false when a write failed or did not complete
  // within `timeout_ms`.
  bool write(std::string_view bytes, DWORD timeout_ms);
  // Reads until a line feed or the end of the connection.
  Received read_reply(DWORD timeout_ms);
  void close() { pipe_.reset(); }
  DWORD error() const { return error_; }
  HANDLE handle() const { return pipe_.get(); }

 private:
  bool transfer(bool writing, char* buffer, DWORD size, ULONGLONG deadline, DWORD& done);

  UniqueFile pipe_;
  UniqueHandle event_;
  DWORD error_ = 0;
};

struct ExchangeLimits {
  DWORD connect_ms = 60000;
  DWORD reply_ms = 30000;
};

// One whole connection: open, write `request`, read the reply or the
// silence, close. A failed write still reads: the service may have answered
// or closed before it read everything.
Received round_trip(std::string_view request, const ExchangeLimits& limits = {});

}  // namespace bv::soak
