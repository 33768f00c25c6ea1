#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/log.h"
#include "enclave/account_password.h"
#include "enclave/running_enclave.h"
#include "platform/platform.h"

namespace bv::enclave {

// The inputs of one launch, in the order the broker hands them over.
struct LaunchInputs {
  std::string_view enclave_path;          // as the client sent it
  std::string_view pipe_token;            // 32 hexadecimal digits
  std::span<const std::uint8_t> ipc_secret;
  AccountPassword& account_password;  // lent for the logon, and read again when it is refused
  std::optional<std::string_view> allowed_sid;
};

using LaunchResult = std::expected<LaunchedEnclave, std::string>;

// Starts the enclave under the isolation account, in a job of its own, and
// hands it the secret.
LaunchResult launch_enclave(const LaunchInputs& inputs, platform::Platform& platform, Log& log);

}  // namespace bv::enclave
