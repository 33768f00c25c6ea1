#pragma once
// bv_enclave_begin's logic: the command line, the secret line on standard
// input, the hand-over file and the shutdown event, each checked before the
// enclave may use it, in that order. The reading of standard input and of
// the file is shared with the sample enclave, which records what it was
// handed rather than judging it.

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "enclave/enclave_system.h"
#include "shared/wipe.h"

namespace bv::enclave_side {

// The secret line: 64 lowercase hexadecimal digits and a line feed.
inline constexpr std::size_t secret_size = 32;
inline constexpr std::size_t secret_line_size = 2 * secret_size + 1;
// How long the service has to hand the secret line over. It writes the line
// right after the start, so it is there long before the enclave looks.
inline constexpr std::uint32_t secret_line_timeout_ms = 10000;
// Between two looks at an empty standard-input pipe.
inline constexpr std::uint32_t input_poll_ms = 10;

struct InputLimits {
  std::size_t max_bytes = 0;
  // Until when a pipe is waited on (a now_ms() value); none: for ever.
  std::optional<std::uint64_t> deadline_ms;
  // Stop once a line feed came.
  bool stop_at_line_feed = false;
};

// Why reading standard input stopped.
struct InputRead {
  enum class Stop { line_feed, end, limit, time_out, error, no_input, console } stop = Stop::end;
  std::uint32_t error = 0;  // Stop::error: the error of the failed call
};

// Reads standard input into `into` (whose capacity must be max_bytes
// already, so that it never reallocates and leaves a copy behind). A
// console is never read: it has no end. A pipe is looked at before every
// read, so that the wait for data keeps its deadline.
InputRead read_standard_input(EnclaveSystem& system, const InputLimits& limits, SecretString& into);

// Reads an open hand-over file to its end or to `max_bytes` into `into`
// (capacity as above); the error of a failed read.
std::expected<void, std::uint32_t> read_file(HandOverFile& file, std::size_t max_bytes, SecretString& into);

// What bv_enclave_begin hands the enclave.
struct HandOver {
  std::u16string pipe_token;
  std::optional<std::u16string> allowed_sid;
  sides::SecretBytes<secret_size> secret;
  std::unique_ptr<ShutdownEvent> shutdown_event;  // null when the service named none
};

struct Refusal {
  int code = 0;  // a BV_ENCLAVE_E_ code
  std::string message;
};

// Reads and checks the hand-over. On success the hand-over file (when one
// was named) has been deleted; on a refusal every handle opened on the way
// is closed and every secret byte read is wiped.
std::expected<std::unique_ptr<HandOver>, Refusal> begin_hand_over(EnclaveSystem& system);

}  // namespace bv::enclave_side
