#pragma once
#include <cstdint>
#include <expected>
#include <string>

#include "platform/platform.h"

namespace bv::broker {

// The connected client as verification found it.
struct CallerIdentity {
  std::uint32_t process_id = 0;
  std::string image_path;
  // The client's process, opened once (PROCESS_QUERY_LIMITED_INFORMATION)
  // for the image query. The request's SID lookup goes through the same
  // handle, so it reads the very process that was verified even if the
  // client has exited and its id been reused meanwhile. The caller releases
  // it when the request is done.
  platform::Object process;
};

// Accepts the connected client when its image lies on a local drive, is
// companion-app.exe and passes the Authenticode check; otherwise gives the
// rejection reason.
std::expected<CallerIdentity, std::string> verify_caller(platform::PipeInstance& pipe, platform::Platform& platform);

}  // namespace bv::broker
