#pragma once
// The soak's command line: what it runs, how much of each phase, and the
// growth of the service's figures that still counts as noise.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bv::soak {

struct Settings {
  std::string enclave_path;  // UTF-8, as sent in requests
  std::wstring unsigned_program;
  std::size_t warmup = 100;
  std::size_t sequential = 2000;
  std::size_t over_long_lines = 3;
  std::size_t racers = 16;
  std::size_t race_rounds = 10;
  std::size_t vanish_each = 10;
  std::size_t silent_rounds = 2;
  std::size_t big_line_bytes = 1 << 20;
  std::size_t spawns = 200;
  std::uint64_t seed = 20261209;
  bool spawns_expected = true;
  long long handle_noise = 10;
  long long private_noise = 1 << 20;
  DWORD service_unix_pid = 0;
};

// The usage text, for a command line that parse_settings refuses.
extern const std::string_view usage_text;

// The settings of a soak run's command line; nothing when it is not one.
std::optional<Settings> parse_settings(int argc, wchar_t** argv);

}  // namespace bv::soak
