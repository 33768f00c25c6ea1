#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace bv::broker {

struct CallerIdentity {
  std::uint32_t process_id = 0;
  std::string image_path;
  std::optional<std::string> account_sid;
};

// Accepts the connected client when its image is companion-app.exe and the
// file passes the Authenticode check; otherwise gives the rejection reason.
std::expected<void, std::string> verify_caller(platform::PipeInstance& pipe, platform::Platform& platform);

}  // namespace bv::broker
