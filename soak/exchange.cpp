#include "soak/exchange.h"

#include <cstdio>

namespace bv::soak {
namespace {

using test::Outcome;

// The process id of a well-formed "OK {pid}" line, or nothing.
std::optional<DWORD> ok_process_id(std::string_view line) {
  if (!line.starts_with("OK ")) return std::nullopt;
  const std::string_view digits = line.substr(3);
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return std::nullopt;
  unsigned long long value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<DWORD>(value);
}

// For messages: printable ASCII as it is, anything else as \xHH, cut after
// 160 bytes.
std::string printable(std::string_view bytes) {
  std::string text;
  for (const char c : bytes.substr(0, 160)) {
    const auto value = static_cast<unsigned char>(c);
    if (value >= 0x20 && value < 0x7F) {
      text.push_back(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", value);
      text += escaped;
    }
  }
  if (bytes.size() > 160) text += "...(" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

}  // namespace

std::string describe(const test::Received& received) {
  std::string text(outcome_name(received.outcome));
  if (received.outcome == Outcome::reply || received.outcome == Outcome::partial) {
    text += " '" + printable(received.line) + "'";
  }
  if (received.outcome != Outcome::reply) text += " (error " + std::to_string(received.error) + ")";
  return text;
}

std::optional<DWORD> check_reply(Tally& tally, const Request& request, const test::Received& received,
                                 std::string_view context) {
  if (received.outcome != Outcome::no_connect) tally.connection();
  const std::string where = std::string(context) + " [" + request.kind + "] " + printable(request.bytes);
  switch (request.expect) {
    case Expect::exact:
      if (received.outcome == Outcome::reply && received.line == request.reply) {
        tally.exact_reply();
      } else {
        tally.fail(where + ": expected '" + printable(request.reply) + "', got " + describe(received));
      }
      return std::nullopt;
    case Expect::silence:
      if (received.outcome == Outcome::silence) {
        tally.silence();
      } else {
        tally.fail(where + ": expected no reply, got " + describe(received));
      }
      return std::nullopt;
    case Expect::spawn:
      if (received.outcome == Outcome::reply) {
        if (const auto process_id = ok_process_id(received.line)) {
          tally.ok_reply();
          return process_id;
        }
      }
      tally.fail(where + ": expected 'OK {pid}', got " + describe(received));
      return std::nullopt;
  }
  return std::nullopt;
}

test::Received send(const Request& request, const test::ExchangeLimits& limits) {
  if (!request.hang_up) return test::round_trip(request.bytes, limits);
  test::Connection connection;
  test::Received received;
  if (connection.open(limits.connect_ms)) {
    connection.close();
    received.outcome = Outcome::silence;
  } else {
    received.error = connection.error();
  }
  return received;
}

}  // namespace bv::soak
