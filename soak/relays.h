#pragma once
// The copies of itself that the soak starts as other clients of the
// service, both sides of each:
//  - relays: client programs that the service refuses (an unsigned program
//    of another name, an unsigned companion-app.exe, a signed one whose
//    bytes were changed after signing), kept running to make connections
//    on request. The soak writes "{h|r} {hex of the request}" to a relay's
//    standard input (h: hang up at once), the relay answers "{outcome
//    number} {error} {hex of what came back}".
//  - vanishing clients: a client that ends its process in the middle of a
//    connection (before sending, half way through the line, or after
//    sending but before reading).

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "soak/requests.h"
#include "support/pipe_client.h"
#include "support/process.h"

namespace bv::soak {

// The soak side of one relay.
class Relay {
 public:
  // Starts `program` as a relay. The service refuses it with `reason`, or,
  // when that is empty, because its image path does not end with
  // companion-app.exe.
  Relay(const std::wstring& program, std::string reason);
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  // Ends the relay's input, so that it ends; terminated after 10 s.
  ~Relay();

  // The reason in the service's refusal of this relay.
  const std::string& reason() const { return reason_; }
  // Has the relay send `request`; what came back.
  test::Received send(const Request& request);

 private:
  test::ChildProcess child_;
  std::string reason_;
};

// The relay's own side: serves the soak's lines until its input ends.
int run_relay();

// Starts `program` (this soak program) as a client that vanishes in `mode`
// ("before-send", "mid-line" or "before-read") while it sends
// `request_line`; in "before-read" it waits first until the enclave's
// report at `report` is complete. Its exit code, or nothing when it did not
// end within `timeout_ms` (it is terminated then).
std::optional<DWORD> run_vanishing_client(const std::wstring& program, std::wstring_view mode,
                                          const std::string& request_line, const std::wstring& report,
                                          DWORD timeout_ms);

// The vanishing client's own side (command line "--vanish MODE --line HEX
// --report PATH"). Exit status 0 once it vanished as asked, 2 when it could
// not connect, 3 when the report never became complete.
int run_vanishing(std::wstring_view mode, const std::string& request_line, const std::wstring& report);

}  // namespace bv::soak
