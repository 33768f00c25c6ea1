#pragma once
// --setup-m5: runs the provisioning script with Windows PowerShell.

#include <optional>
#include <string>
#include <string_view>

#include "common/fatal.h"
#include "platform/platform.h"

namespace bv::admin {

inline constexpr std::u16string_view setup_script_file_name = u"brisvander-setup-m5.ps1";
inline constexpr std::u16string_view powershell_file_name = u"powershell.exe";

// The first powershell.exe found in: the running executable's directory, the
// system directory, the Windows directory, then each non-empty entry of PATH
// in order. The current directory is never searched (a bare name would be
// looked up there), and a location the system cannot tell is skipped.
std::optional<std::u16string> find_powershell(platform::ProcessesTokens& processes, platform::PipesFiles& files);

// The interpreter's command line: the application path in quotes, then
// -NoProfile -ExecutionPolicy Bypass -File and the script path, each quoted
// when it holds a space or a tab.
std::u16string powershell_command_line(std::u16string_view application, std::string_view script_path);

// Writes the script into the temporary directory, runs it, deletes it and
// prints the outcome. Exit status 0 when the interpreter exited with 0, 1
// otherwise; a fatal error when the script cannot be written or the
// interpreter cannot be started (the file is then left behind).
CommandResult run_m5_setup(platform::Platform& platform);

}  // namespace bv::admin
