#pragma once
// One connection to the service's pipe: open it (waiting while it is busy),
// make sure that the service is what serves it, write one request, read one
// reply line. The reference client uses this with its options; the C
// interface uses it through request_enclave (request.h).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/names.h"
#include "companion/companion_system.h"

namespace bv::companion_side {

// The service's pipe and name, for the connection and the server check.
inline constexpr std::u16string_view service_pipe = names::pipe_name<char16_t>;
inline constexpr std::u16string_view service_name = names::service_name<char16_t>;

// The service creates its pipe with this default wait; WaitNamedPipeW is
// given a time of its own only when less than this is left.
inline constexpr std::uint32_t server_default_wait_ms = 5000;
// Between two looks for a pipe that does not exist (yet).
inline constexpr std::uint32_t retry_not_found_ms = 50;
// A reply longer than this is not a reply of the service.
inline constexpr std::size_t max_reply_bytes = 64 * 1024;
// The largest piece handed to one WriteFile.
inline constexpr std::size_t max_write_bytes = 1 << 20;

struct ExchangeSettings {
  std::u16string pipe{service_pipe};
  // Whether the pipe's server must be the process of the running service
  // before anything is written. Off only for tests that play the server.
  bool check_server = true;
  std::uint32_t connect_timeout_ms = 30000;
  // From the moment the server was accepted, for writing and reading.
  std::uint32_t reply_timeout_ms = 60000;
  bool read_reply = true;
};

struct ExchangeOutcome {
  // BV_OK when a reply line came back (whatever its form) or none was
  // wanted; otherwise the BV_E_ code of the step that ended the exchange.
  int code = 0;
  // Why it ended, for a code other than BV_OK: the text a program shows
  // after its own name.
  std::string message;
  // The request could not be written in full: the error. The reply is read
  // all the same (a server may answer before it has read everything).
  std::optional<std::uint32_t> write_error;
  // The reply line, without its line feed.
  std::optional<std::string> reply;
};

// Runs one exchange. `request` is written as it is (line feed included,
// when it has one); the caller keeps and wipes it.
ExchangeOutcome exchange(CompanionSystem& system, const ExchangeSettings& settings, std::string_view request);

// The name of a service state, as the check's messages give it.
std::string state_name(std::uint32_t state);

}  // namespace bv::companion_side
