#include "admin/setup_m5.h"

#include <cstdint>
#include <string>

#include "admin/quoting.h"
#include "admin/setup_script.h"
#include "text/base64.h"
#include "text/path.h"
#include "text/utf.h"

namespace bv::admin {
namespace {

constexpr std::string_view spawn_context = "spawn PowerShell for M5 setup";

}  // namespace

std::string encoded_command(std::string_view script) {
  const std::u16string units = text::to_utf16(script);
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (const char16_t unit : units) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return text::to_base64(bytes);
}

std::u16string powershell_command_line(std::u16string_view application, std::string_view script) {
  std::string line = quote_argument(text::to_utf8(application));
  for (const std::string_view argument : {"-NoProfile", "-ExecutionPolicy", "Bypass", "-EncodedCommand"}) {
    line += ' ';
    line += argument;
  }
  // Base64 holds neither spaces nor quotes: one argument as it is.
  line += ' ';
  line += encoded_command(script);
  return text::to_utf16(line);
}

CommandResult run_m5_setup(platform::Platform& platform) {
  const auto system = platform.processes.system_directory();
  if (!system) return std::unexpected(FatalError{std::string(spawn_context), system.error()});
  const std::u16string interpreter = text::join_path(*system, powershell_under_system_directory);

  // CreateProcessW gets the full path as the application name: nothing is
  // searched, and a missing interpreter fails the start (error 2 or 3).
  const auto status =
      platform.processes.run_and_wait(interpreter, powershell_command_line(interpreter, m5_setup_script));
  if (!status) return std::unexpected(FatalError{std::string(spawn_context), status.error()});

  if (*status == 0) {
    platform.console.write_stdout("[BrisvanderSvc] M5 setup complete.\n");
    return 0;
  }
  platform.console.write_stderr("[BrisvanderSvc] M5 setup failed (exit " +
                                std::to_string(static_cast<std::int32_t>(*status)) + ").\n");
  return 1;
}

}  // namespace bv::admin
