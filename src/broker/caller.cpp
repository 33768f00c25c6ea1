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

bool is_ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// WinVerifyTrust opens the image as LocalSystem: a file on another host
// would make the machine account authenticate there (and a slow host would
// hold the only pipe instance). Only a drive-letter path whose drive is a
// local one passes; UNC and device paths ("\\host\share\...",
// "\\?\...", "\\.\...") and drives the system reports as remote, without
// a root or of unknown type do not. Nothing is opened to decide.
bool is_on_local_drive(std::string_view path, platform::PipesFiles& files) {
  if (path.size() < 3 || !is_ascii_letter(path[0]) || path[1] != ':' || path[2] != '\\') return false;
  const std::u16string root = {static_cast<char16_t>(path[0]), u':', u'\\'};
  switch (files.drive_type(root)) {
    case platform::drive_removable:
    case platform::drive_fixed:
    case platform::drive_cdrom:
    case platform::drive_ramdisk:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::expected<CallerIdentity, std::string> verify_caller(platform::PipeInstance& pipe, platform::Platform& platform) {
  CallerIdentity caller;
  const auto process_id = pipe.client_process_id();
  if (!process_id) return std::unexpected("GetNamedPipeClientProcessId failed: " + std::to_string(process_id.error()));
  caller.process_id = *process_id;
  const auto pid_text = std::to_string(caller.process_id);

  auto process = platform.processes.open_process(platform::process_query_limited_information, caller.process_id);
  if (!process) return std::unexpected("OpenProcess failed for caller PID " + pid_text);
  caller.process = std::move(*process);

  const auto image = platform.processes.query_image_name(*caller.process);
  if (!image || image->size > image_buffer_units) {
    return std::unexpected("QueryFullProcessImageNameW failed for caller PID " + pid_text);
  }
  const auto units = std::u16string_view(image->units).substr(0, image->size);
  caller.image_path = text::to_utf8(units);

  if (!is_on_local_drive(caller.image_path, platform.files)) {
    return std::unexpected(std::string("Caller image is not on a local drive"));
  }
  if (!text::to_lower(caller.image_path).ends_with(companion_name)) {
    return std::unexpected("Caller '" + caller.image_path + "' is not companion-app.exe");
  }
  // The file is the caller's choice, and to build a chain its signature may
  // name URLs: fetched, they would send this machine's requests (as
  // LocalSystem) to a host the caller picked, while the caller holds the
  // only pipe instance. Only what the machine has cached is used;
  // revocation is not consulted.
  const auto trust =
      platform.trust.verify_file(text::to_utf16(caller.image_path), platform::trust_cache_only_url_retrieval);
  if (trust != 0) return std::unexpected(authenticode_message(trust));
  return caller;
}

}  // namespace bv::broker
