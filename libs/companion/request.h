#pragma once
// bv_request_enclave's logic: the path check, the fresh token and secret,
// the SPAWN line, one exchange with the service, and the grant, filled only
// from an "OK {pid}" reply.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "brisvander/companion.h"
#include "companion/companion_system.h"

namespace bv::companion_side {

// Why the request line cannot carry `path` to the service unchanged, or
// nothing when it can. The line ends at a line feed and the service drops
// trailing white space, so those would change the path on the way; a double
// quote would break the enclave's command line, and an unpaired surrogate
// has no UTF-8 form. None of these occurs in a Windows file name.
std::optional<std::string> enclave_path_fault(std::u16string_view path);

// A reply line of the service, classified.
struct Reply {
  enum class Kind { ok, refused, other } kind = Kind::other;
  std::uint32_t enclave_pid = 0;  // Kind::ok
  std::string_view message;       // Kind::refused: the text after "ERR "
};
// "OK " and a process id (1 to 4294967295, decimal, no sign and no leading
// zero) is Kind::ok; "ERR " and any text is Kind::refused; anything else
// is Kind::other.
Reply classify_reply(std::string_view line);

// Fills `out` (at most 64 characters) with the lowercase hexadecimal digits
// of out.size() / 2 fresh random bytes from the system's generator, or
// gives the message of its failure. The random bytes are wiped.
std::expected<void, std::string> write_random_hex(CompanionSystem& system, std::span<char> out);

struct RequestResult {
  int code = BV_OK;
  std::string message;
};

// Asks the service for an enclave at `enclave_path`. On BV_OK `grant` holds
// the process id, the token and the secret; otherwise it is zeroed.
RequestResult request_enclave(CompanionSystem& system, std::u16string_view enclave_path, std::uint32_t timeout_ms,
                              bv_grant& grant);

}  // namespace bv::companion_side
