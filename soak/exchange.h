#pragma once
// One exchange of the soak: a request sent from this process, and what came
// back on a connection compared with the one line (or the silence) that the
// request must get.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "soak/requests.h"
#include "soak/tally.h"
#include "support/pipe_client.h"

namespace bv::soak {

// Sends `request` from this process: a whole round trip, or, for a client
// that hangs up, an open and a close (its silence is the service's, seen
// only in that the next client is served).
test::Received send(const Request& request, const test::ExchangeLimits& limits = {});

// Counts the connection and checks what came back against what `request`
// must get; a mismatch is a failure of `context`. The process id of a
// started enclave ("OK {pid}"), or nothing.
std::optional<DWORD> check_reply(Tally& tally, const Request& request, const test::Received& received,
                                 std::string_view context);

// For messages: the outcome, the bytes that came, the error.
std::string describe(const test::Received& received);

}  // namespace bv::soak
