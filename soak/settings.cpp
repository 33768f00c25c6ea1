#include "soak/settings.h"

#include <cwchar>

#include "support/process.h"

namespace bv::soak {
namespace {

std::wstring full_path(const std::wstring& path) {
  std::wstring result(2048, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(result.size()), result.data(), nullptr);
  result.resize(length);
  return result;
}

}  // namespace

const std::string_view usage_text =
    "Usage: bv-soak-companion-app.exe --enclave PATH [options]\n"
    "\n"
    "Soaks the installed Brisvander Enclave Service. Run the test-signed copy.\n"
    "\n"
    "  --enclave PATH        the sample enclave, installed where the service accepts it\n"
    "  --unsigned PATH       the unsigned soak program (default: ..\\bv-soak.exe)\n"
    "  --sequential N        sequential connections after the warm-up (default 2000)\n"
    "  --warmup N            sequential connections of the warm-up (default 100)\n"
    "  --long-lines N        of the sequential ones, lines over 64 KiB (default 3)\n"
    "  --racers N            clients per race round (default 16)\n"
    "  --race-rounds N       race rounds (default 10)\n"
    "  --vanish N            vanishing clients of each kind (default 10)\n"
    "  --silent N            silent clients (default 2)\n"
    "  --big-line N          bytes of the big line (default 1048576)\n"
    "  --spawns N            spawns in a row (default 200)\n"
    "  --seed N              seed of the request generator\n"
    "  --no-spawns           the service cannot start enclaves (the shipping build\n"
    "                        under Wine): valid requests are left out\n"
    "  --handle-noise N      allowed growth of the handle count (default 10)\n"
    "  --private-noise N     allowed growth of the private bytes (default 1048576)\n"
    "  --service-unix-pid N  under Wine: the service's Linux process, whose RssAnon is\n"
    "                        taken when Wine reports no private bytes\n";

std::optional<Settings> parse_settings(int argc, wchar_t** argv) {
  Settings settings;
  settings.unsigned_program = full_path(test::folder_of(test::own_path()) + L"\\..\\bv-soak.exe");
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view name = argv[i];
    if (name == L"--no-spawns") {
      settings.spawns_expected = false;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::wstring value = argv[++i];
    const auto number = [&] { return std::wcstoull(value.c_str(), nullptr, 10); };
    if (name == L"--enclave")
      settings.enclave_path = test::to_utf8(value);
    else if (name == L"--unsigned")
      settings.unsigned_program = full_path(value);
    else if (name == L"--sequential")
      settings.sequential = number();
    else if (name == L"--warmup")
      settings.warmup = number();
    else if (name == L"--long-lines")
      settings.over_long_lines = number();
    else if (name == L"--racers")
      settings.racers = number();
    else if (name == L"--race-rounds")
      settings.race_rounds = number();
    else if (name == L"--vanish")
      settings.vanish_each = number();
    else if (name == L"--silent")
      settings.silent_rounds = number();
    else if (name == L"--big-line")
      settings.big_line_bytes = number();
    else if (name == L"--spawns")
      settings.spawns = number();
    else if (name == L"--seed")
      settings.seed = number();
    else if (name == L"--handle-noise")
      settings.handle_noise = static_cast<long long>(number());
    else if (name == L"--private-noise")
      settings.private_noise = static_cast<long long>(number());
    else if (name == L"--service-unix-pid")
      settings.service_unix_pid = static_cast<DWORD>(number());
    else
      return std::nullopt;
  }
  if (settings.enclave_path.empty()) return std::nullopt;
  return settings;
}

}  // namespace bv::soak
