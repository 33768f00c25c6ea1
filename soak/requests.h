#pragma once
// The requests the soak sends and the answer each one must get: a reply
// line compared byte for byte, silence (the connection ends without a
// byte), or "OK {pid}" for a request that starts an enclave, whose report
// must then carry the request's own token and secret.

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace bv::soak {

enum class Expect {
  exact,    // the reply line equals `Request::reply`
  silence,  // no reply at all
  spawn,    // "OK {pid}", the enclave reporting `token` and `secret`
};

struct Request {
  std::string kind;   // a short label, for the tallies
  std::string bytes;  // everything written to the pipe
  Expect expect = Expect::exact;
  std::string reply;     // Expect::exact: the whole expected line
  std::string token;     // Expect::spawn: the pipe token as sent
  std::string secret;    // Expect::spawn: the secret as sent (hex)
  bool hang_up = false;  // close right after connecting: nothing sent, nothing read
};

// Builds requests from one seeded generator, so that a run can be repeated.
class RequestMaker {
 public:
  // `enclave_path` is the sample enclave under %ProgramFiles% of the
  // service, as the service's location test accepts it.
  RequestMaker(std::uint64_t seed, std::string enclave_path);

  // Whether the service can start processes at all. Without that (the
  // shipping build under Wine, whose logon gives no usable token) every
  // start fails alike, so no request is made to fail in the start.
  void set_launches_possible(bool possible) { launches_possible_ = possible; }

  // A request that starts an enclave: a fresh token (mixed case), a fresh
  // secret, and one of the harmless variations of a valid line (trailing
  // white space, CR LF, bytes after the line feed, the path in capitals).
  Request valid();
  // A request line the service parses and refuses, with its exact message.
  Request malformed();
  // A line with a field far longer than allowed, or a long path.
  Request over_long_field();
  // Nothing but a line feed, or a client that hangs up without a byte.
  Request empty();
  // Bytes that are not UTF-8; the service answers nothing.
  Request non_utf8();
  // A line of more than 64 KiB; the service drops it unanswered.
  Request over_long_line(std::size_t length);
  // A refused request whose message names `length`: "pipe_token must be 32
  // hex chars, got {length}" for 0 < length < 32, so that concurrent or
  // consecutive probes each expect a different line.
  Request token_length_probe(std::size_t length);
  // A line from a client that the service does not accept: any of the
  // above that has a reply gets "ERR caller not authorized: {reason}"
  // instead; lines without a reply stay without one.
  Request from_rejected_caller(std::string_view reason);

  std::string token();                   // 32 hex digits, mixed case
  std::string secret();                  // 64 hex digits, mixed case
  std::size_t below(std::size_t bound);  // 0 .. bound-1

  const std::string& enclave_path() const { return enclave_path_; }

 private:
  std::string hex(std::size_t digits, bool mixed_case);
  std::string line(std::string_view token, std::string_view secret, std::string_view path) const;

  std::mt19937_64 random_;
  std::string enclave_path_;
  std::string enclave_folder_;  // enclave_path_ up to and including its last backslash
  bool launches_possible_ = true;
};

}  // namespace bv::soak
