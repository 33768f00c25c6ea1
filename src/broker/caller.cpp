#include "broker/caller.h"

#include <array>
#include <cstdio>

#include "text/lowercase.h"
#include "text/utf.h"

namespace bv::broker {
namespace {

constexpr std::string_view companion_name = "companion-app.exe";
constexpr std::uint32_t image_buffer_units = 1024;

std::string authenticode_message(std::uint32_t code) {
  std::array<char, 9> digits{};
  std::snprintf(digits.data(), digits.size(), "%08X", static_cast<unsigned>(code));
  return "Authenticode failed (0x" + std::string(digits.data()) + ")";
}

}  // namespace

std::expected<void, std::string> verify_caller(platform::PipeInstance& pipe, platform::Platform& platform) {
  CallerIdentity caller;
  const auto process_id = pipe.client_process_id();
  if (!process_id) return std::unexpected("GetNamedPipeClientProcessId failed: " + std::to_string(process_id.error()));
  caller.process_id = *process_id;
  const auto pid_text = std::to_string(caller.process_id);

  auto process = platform.processes.open_process(platform::process_query_limited_information, caller.process_id);
  if (!process) return std::unexpected("OpenProcess failed for caller PID " + pid_text);

  // The handle serves this one query and is closed before its result is
  // looked at, so no path below can keep it open.
  const auto image = platform.processes.query_image_name(**process);
  process->reset();
  if (!image || image->size > image_buffer_units) {
    return std::unexpected("QueryFullProcessImageNameW failed for caller PID " + pid_text);
  }
  const auto units = std::u16string_view(image->units).substr(0, image->size);
  caller.image_path = text::to_utf8(units);

  if (!text::to_lower(caller.image_path).ends_with(companion_name)) {
    return std::unexpected("Caller '" + caller.image_path + "' is not companion-app.exe");
  }
  const auto trust = platform.trust.verify_file(text::to_utf16(caller.image_path));
  if (trust != 0) return std::unexpected(authenticode_message(trust));
  return {};
}

}  // namespace bv::broker
