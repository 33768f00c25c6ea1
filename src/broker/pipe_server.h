#pragma once
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "broker/spawn_request.h"
#include "common/log.h"
#include "common/running_flag.h"
#include "common/secret.h"
#include "platform/platform.h"

namespace bv::broker {

inline constexpr std::string_view pipe_name = R"(\\.\pipe\brisvander-svc)";

// Why a request line could not be read in full; the line itself otherwise.
// The bytes are wiped when released: they may hold the secret's text.
std::expected<SecretString, std::string> read_request_line(platform::PipeInstance& pipe, platform::Clock& clock);

void write_reply_line(platform::PipeInstance& pipe, std::string_view reply, platform::Clock& clock);

// Serves clients one after another until the running flag is found cleared.
void run_pipe_server(std::string_view account_password, const RunningFlag& running, platform::Platform& platform,
                     Log& log, const Launcher& launch);

}  // namespace bv::broker
