#pragma once
// --setup-m5: runs the provisioning script with Windows PowerShell.

#include <string>
#include <string_view>

#include "common/fatal.h"
#include "platform/platform.h"

namespace bv::admin {

// Windows PowerShell under the system directory. Only this file is started:
// a search by name would look in the executable's own folder first, which
// may be a download folder that the same user can write.
inline constexpr std::u16string_view powershell_under_system_directory = u"WindowsPowerShell\\v1.0\\powershell.exe";

// The script as -EncodedCommand takes it: its text in UTF-16LE, in Base64.
std::string encoded_command(std::string_view script);

// The interpreter's command line: the application path in quotes, then
// -NoProfile -ExecutionPolicy Bypass -EncodedCommand and the encoded script.
std::u16string powershell_command_line(std::u16string_view application, std::string_view script);

// Runs the script, handed over on the command line so that no file exists
// that another program could replace before the elevated interpreter reads
// it, and prints the outcome. Exit status 0 when the interpreter exited with
// 0, 1 otherwise; a fatal error when the interpreter cannot be started.
CommandResult run_m5_setup(platform::Platform& platform);

}  // namespace bv::admin
