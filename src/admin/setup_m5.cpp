#include "admin/setup_m5.h"

#include <cstdint>
#include <string>

#include "admin/quoting.h"
#include "admin/setup_script.h"
#include "text/path.h"
#include "text/utf.h"

namespace bv::admin {
namespace {

constexpr std::string_view write_context = "write setup script";
constexpr std::string_view spawn_context = "spawn PowerShell for M5 setup";

// The directory part of the executable's path; the root keeps its separator
// ("C:\" rather than "C:", which would name the drive's current directory).
std::u16string_view directory_of(std::u16string_view path) {
  const auto last = path.find_last_of(u"\\/");
  if (last == std::u16string_view::npos) return {};
  const auto directory = path.substr(0, last);
  if (directory.empty() || directory.back() == u':') return path.substr(0, last + 1);
  return directory;
}

// The script file's access list, protected from inheritance, so that a
// program of the same user that is not elevated can neither rewrite the
// script nor replace it between the write and the elevated run:
//   (A;;FA;;;SY)  LocalSystem: FILE_ALL_ACCESS.
//   (A;;FA;;;BA)  BUILTIN\Administrators: FILE_ALL_ACCESS; the elevated
//                 interpreter reads the script, and this step deletes it,
//                 through this entry.
constexpr std::u16string_view script_sddl = u"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// The temporary directory is the user's own, writable by the user's other
// programs. CreateFileW applies a descriptor only to a file it creates, so a
// file left over from an interrupted run (or planted under the name) is
// deleted first and the script is written only into a new file: if the name
// is taken again in between, the creation fails rather than write into a
// file someone else controls.
platform::Result<void> write_script(platform::Platform& platform, std::u16string_view path) {
  auto descriptor = platform.security.convert_sddl(script_sddl);
  if (!descriptor) return std::unexpected(descriptor.error());
  auto& files = platform.files;
  static_cast<void>(files.delete_file(path));
  auto file = files.create_file(path, descriptor->get(), platform::FileCreation::create_new);
  descriptor->reset();
  if (!file) return std::unexpected(file.error());
  // A script that was not written in full fails in the interpreter, whose
  // exit status is reported.
  static_cast<void>(files.write_file(**file, m5_setup_script));
  // Closed before the interpreter starts: the file is open without sharing.
  file->reset();
  return {};
}

}  // namespace

std::optional<std::u16string> find_powershell(platform::ProcessesTokens& processes, platform::PipesFiles& files) {
  // An empty directory would make the bare name, which resolves against the
  // current directory: it is never probed.
  const auto probe = [&](std::u16string_view directory) -> std::optional<std::u16string> {
    if (directory.empty()) return std::nullopt;
    auto candidate = text::join_path(directory, powershell_file_name);
    if (files.file_exists(candidate)) return candidate;
    return std::nullopt;
  };

  if (auto executable = processes.executable_path()) {
    if (auto found = probe(directory_of(*executable))) return found;
  }
  if (auto system = processes.system_directory()) {
    if (auto found = probe(*system)) return found;
  }
  if (auto windows = processes.windows_directory()) {
    if (auto found = probe(*windows)) return found;
  }
  if (auto path = processes.environment_variable(u"PATH")) {
    std::u16string_view rest = *path;
    while (!rest.empty()) {
      const auto end = rest.find(u';');
      const auto entry = rest.substr(0, end);
      if (auto found = probe(entry)) return found;
      if (end == std::u16string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  return std::nullopt;
}

std::u16string powershell_command_line(std::u16string_view application, std::string_view script_path) {
  std::string line = quote_argument(text::to_utf8(application));
  for (const std::string_view argument : {"-NoProfile", "-ExecutionPolicy", "Bypass", "-File"}) {
    line += ' ';
    line += quote_if_blank(argument);
  }
  line += ' ';
  line += quote_if_blank(script_path);
  return text::to_utf16(line);
}

CommandResult run_m5_setup(platform::Platform& platform) {
  auto temp = platform.files.temp_directory();
  if (!temp) return std::unexpected(FatalError{std::string(write_context), temp.error()});
  const std::u16string script_path = text::join_path(*temp, setup_script_file_name);

  if (auto written = write_script(platform, script_path); !written) {
    return std::unexpected(FatalError{std::string(write_context), written.error()});
  }

  const auto script_text = text::to_utf8_strict(script_path);
  if (!script_text) return std::unexpected(FatalError{"invalid temp path", std::nullopt});

  const auto interpreter = find_powershell(platform.processes, platform.files);
  if (!interpreter) return std::unexpected(FatalError{std::string(spawn_context), platform::error_file_not_found});
  const auto status =
      platform.processes.run_and_wait(*interpreter, powershell_command_line(*interpreter, *script_text));
  if (!status) return std::unexpected(FatalError{std::string(spawn_context), status.error()});

  // The outcome rests on the exit status alone; a file that stays is no failure.
  static_cast<void>(platform.files.delete_file(script_path));

  if (*status == 0) {
    platform.console.write_stdout("[BrisvanderSvc] M5 setup complete.\n");
    return 0;
  }
  platform.console.write_stderr("[BrisvanderSvc] M5 setup failed (exit " +
                                std::to_string(static_cast<std::int32_t>(*status)) + ").\n");
  return 1;
}

}  // namespace bv::admin
