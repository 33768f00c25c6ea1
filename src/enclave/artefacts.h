#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "secret/secret.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace bv::enclave {

// The secret as lowercase hexadecimal digits, two per byte, then one line
// feed: 65 bytes for a 32-byte secret, only the line feed for an empty one.
// The same line goes to the enclave's standard input and into the hand-over
// file; it is wiped when released.
SecretString secret_line(std::span<const std::uint8_t> ipc_secret);

// The string form (S-1-...) of the token user's SID, or none.
std::optional<std::string> token_user_sid_string(platform::ProcessesTokens& processes, platform::KernelObject& token);

struct ShutdownEvent {
  std::string name;         // "brisvander-shutdown-" and the token, always
  platform::Object handle;  // none when no event could be made
};

// Makes the event secured for the account, or with default security when
// that cannot be done. An event of the name that exists already is never
// used: no handle.
ShutdownEvent create_shutdown_event(platform::Platform& platform, platform::KernelObject& logon_token,
                                    std::string_view pipe_token);

// Writes the secret line into the hand-over file; the file's path text, or
// none when no file was written.
std::optional<std::string> write_secret_file(platform::Platform& platform, platform::KernelObject& logon_token,
                                             std::string_view pipe_token, std::span<const std::uint8_t> ipc_secret);

// Deletes the hand-over file, when one was written. A failure is ignored:
// the file then stays.
void delete_secret_file(platform::PipesFiles& files, const std::optional<std::string>& path);

}  // namespace bv::enclave
