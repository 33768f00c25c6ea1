#pragma once
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker/caller.h"
#include "common/log.h"
#include "secret/secret.h"
#include "enclave/launcher.h"
#include "platform/platform.h"

namespace bv::broker {

// An accepted SPAWN request.
struct SpawnRequest {
  std::string pipe_token;    // 32 hexadecimal digits, letter case as received
  SecretBytes ipc_secret;    // 32 bytes decoded from 64 hexadecimal digits
  std::string enclave_path;  // as received
};

// Returns the value of an environment variable as the platform reports it
// (UTF-16), or none when it is not set.
using EnvironmentLookup = std::function<std::optional<std::u16string>(std::u16string_view name)>;

std::expected<std::vector<std::uint8_t>, std::string> decode_hex(std::string_view text);

std::expected<SpawnRequest, std::string> parse_spawn_request(std::string_view line,
                                                             const EnvironmentLookup& environment);

// The SID text of the user of the caller's process token, read through the
// process handle that verification opened; none on any failure.
std::optional<std::string> lookup_caller_sid(platform::KernelObject& caller_process,
                                             platform::ProcessesTokens& processes);

// Starts an enclave; the service passes enclave::launch_enclave, tests fill it.
using Launcher = std::function<enclave::LaunchResult(const enclave::LaunchInputs&)>;

struct SpawnOutcome {
  std::string reply;             // "OK {pid}" or "ERR {message}", without the line feed
  enclave::LaunchResult launch;  // what the enclave record takes over
};

// Parses and checks the verified caller's request line, starts the enclave
// and words the reply. A failure is logged; a launch is reported as an event
// that names the enclave, the caller's image and account.
SpawnOutcome handle_spawn_request(const CallerIdentity& caller, std::string_view line,
                                  enclave::AccountPassword& account_password, platform::Platform& platform, Log& log,
                                  const Launcher& launch);

}  // namespace bv::broker
