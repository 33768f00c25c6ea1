#pragma once
// The one client of a named pipe for the Windows-side tests, the soak and
// the bench: open (waiting while the only instance is busy), write, then
// read until the reply's line feed or the end of the connection. Every step
// has a deadline, so a server that hangs shows up as a time-out rather than
// as a run that never ends. Every call defaults to the service's pipe.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/names.h"
#include "platform/win32/unique_handle.h"

namespace bv::test {

// What came back on one connection.
enum class Outcome {
  reply,       // one line ended by a line feed: `line`, without the line feed
  silence,     // the server ended the connection without sending a byte
  partial,     // bytes but no line feed before the end of the connection
  timeout,     // neither a line nor the end within the reply time limit
  no_connect,  // the pipe could not be opened within the connect time limit
};

std::string_view outcome_name(Outcome outcome);

struct Received {
  Outcome outcome = Outcome::no_connect;
  // The reply line (Outcome::reply) or the bytes received. Bytes after the
  // line feed would be a second reply; they stay, after the line feed, so
  // that a comparison with the expected line fails.
  std::string line;
  DWORD error = 0;  // the error that ended the read or the open

  // Of round_trip(): its times, and what its open met (see Connection).
  std::uint64_t started_at = 0;  // system_time() when the clock started
  double total_ms = 0;           // from the start until the outcome was known
  long long busy_waits = 0;
  long long missing_instances = 0;
};

// One client end of a pipe, overlapped. Its event is made with it, so that
// a caller that times open, write and read times nothing else.
class Connection {
 public:
  explicit Connection(std::wstring_view pipe = names::pipe_name<wchar_t>);

  // Opens the pipe. While the only instance is busy it waits with
  // WaitNamedPipeW, while there is none (between two instances) it tries
  // again every few milliseconds, until `timeout_ms` have passed; with 0 it
  // tries once. False when it did not succeed (error() tells the last
  // failure: ERROR_PIPE_BUSY, ERROR_FILE_NOT_FOUND, ...).
  bool open(DWORD timeout_ms);
  // Writes all of `bytes`; false when a write failed or did not complete
  // within `timeout_ms`.
  bool write(std::string_view bytes, DWORD timeout_ms);
  // Reads until a line feed or the end of the connection.
  Received read_reply(DWORD timeout_ms);
  void close() { pipe_.reset(); }

  bool connected() const { return static_cast<bool>(pipe_); }
  DWORD error() const { return error_; }
  // How often open() found the pipe busy and waited with WaitNamedPipeW,
  // and how often it found no instance at all.
  long long busy_waits() const { return busy_waits_; }
  long long missing_instances() const { return missing_instances_; }

 private:
  // Completes an overlapped read or write that `started` reports, waiting
  // until `deadline` (GetTickCount64); cancelled then (ERROR_TIMEOUT).
  bool finish(BOOL started, OVERLAPPED& overlapped, ULONGLONG deadline, DWORD& done);
  OVERLAPPED fresh_overlapped();

  std::wstring name_;
  platform::win32::UniqueFile pipe_;
  platform::win32::UniqueHandle event_;
  DWORD error_ = 0;
  long long busy_waits_ = 0;
  long long missing_instances_ = 0;
};

struct ExchangeLimits {
  DWORD connect_ms = 60000;
  DWORD reply_ms = 30000;
};

// Open, write `request` (nothing when it is empty), read the reply or the
// silence; the clock stops when the outcome is known, and the connection is
// closed after that. A failed write still reads: the server may have
// answered or closed before it read everything.
Received round_trip(std::string_view request, const ExchangeLimits& limits = {},
                    std::wstring_view pipe = names::pipe_name<wchar_t>);

// Waits until an instance of `pipe` listens for a client, without
// connecting (WaitNamedPipeW): while the only instance is busy
// WaitNamedPipeW waits itself, while there is none at all it is asked again
// every `poll_ms` (0: at once). True once one listens; false after
// `timeout_ms`.
bool wait_until_listening(DWORD timeout_ms, std::wstring_view pipe = names::pipe_name<wchar_t>, DWORD poll_ms = 10);

}  // namespace bv::test
