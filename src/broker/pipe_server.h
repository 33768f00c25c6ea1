#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "broker/spawn_request.h"
#include "common/log.h"
#include "common/running_flag.h"
#include "platform/platform.h"
#include "secret/secret.h"

namespace bv::broker {

// The pipe instance's security descriptor (no owner, group or protection
// flag). Its DACL:
//   (A;;GRGW;;;BU)  BUILTIN\Users may read and write, which lets the
//                   companion application in a user's session connect;
//                   verify_caller then narrows that down to one program.
//   (A;;GA;;;SY)    LocalSystem, the service itself: full control.
//   (A;;GA;;;BA)    BUILTIN\Administrators: full control.
// Its SACL holds only the mandatory label:
//   (ML;;NWNR;;;ME) medium integrity, no read up and no write up: a process
//                   below medium (a sandboxed renderer, a program started
//                   at low integrity) can open the pipe neither for reading
//                   nor for writing, whatever the DACL grants its user, and
//                   so cannot take the only instance. Setting a label no
//                   higher than the service's own (System) needs no
//                   privilege.
inline constexpr std::u16string_view pipe_sddl = u"D:(A;;GRGW;;;BU)(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NWNR;;;ME)";

// The time a caller has to send its line, counted from its verification
// (which comes right after the connection): a verified caller's line may be
// long and arrive slowly, a refused caller's only ever earns it the refusal.
inline constexpr std::chrono::milliseconds request_time_limit = std::chrono::seconds(10);
inline constexpr std::chrono::milliseconds refused_request_time_limit = std::chrono::seconds(1);

// Reads one byte at a time up to the first line feed, which is not part of
// the line; nothing after it is read. A line not complete `time_limit` after
// the call, or longer than 65,536 bytes, is refused with the reason. The
// bytes are wiped when released: they may hold the secret's text.
std::expected<SecretString, std::string> read_request_line(platform::PipeInstance& pipe, platform::Clock& clock,
                                                           std::chrono::milliseconds time_limit);

// Writes the reply and one line feed, then gives the client up to 2 seconds
// to read it and close its end, since the disconnect that follows discards
// what it has not read. Returns as soon as the client has closed its end;
// nothing the client sent after its line is read.
void write_reply_line(platform::PipeInstance& pipe, std::string_view reply, platform::Clock& clock);

// Serves clients one after another until the running flag is found cleared.
void run_pipe_server(enclave::AccountPassword& account_password, const RunningFlag& running,
                     platform::Platform& platform, Log& log, const Launcher& launch);

}  // namespace bv::broker
