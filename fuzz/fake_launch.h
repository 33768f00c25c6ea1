#pragma once
// One launch of an accepted request on the recording fake, shaped by the
// fuzzer's input, for the targets that read back the enclave's command line.
//
// Input layout:
//   byte 0      bit 0: an allowed SID is given; bit 1: the shutdown event can
//               be made; bit 2: the hand-over file can be written; bits 3-4:
//               which temporary directory the platform reports (the caller
//               reads this byte, since a target may use its other bits);
//   byte 1      number of sub-authorities of the SID (low 4 bits);
//   byte 2      the SID's identifier authority;
//   4 bytes     per sub-authority;
//   the rest    the enclave path of a SPAWN request, which parse_spawn_request
//               must accept under a fixed environment (other inputs are
//               skipped).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "broker/spawn_request.h"
#include "enclave/launcher.h"
#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "text/utf.h"

namespace bv::fuzz {

inline constexpr std::string_view kToken = "0123456789abcdefABCDEF0123456789";
inline constexpr std::string_view kSecret = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
inline constexpr std::u16string_view kTempDirectories[] = {
    u"C:\\Temp\\", u"C:\\Users\\Fuzz User\\AppData\\Local\\Temp\\", u"C:\\Windows\\Temp", u"D:\\t m p\\\u00C9\u03A3\\"};

class FakeLaunch {
 public:
  FakeLaunch(Reader& in, std::uint8_t flags)
      : with_sid((flags & 1) != 0),
        with_event((flags & 2) != 0),
        with_file((flags & 4) != 0),
        temp(kTempDirectories[(flags >> 3) & 3]) {
    const std::size_t sub_authorities = in.byte() & 0x0F;
    sid = "S-1-" + std::to_string(in.byte());
    for (std::size_t i = 0; i < sub_authorities; ++i) sid += "-" + std::to_string(in.u32());

    const std::string line = "SPAWN " + std::string(kToken) + " " + std::string(kSecret) + " " + std::string(in.rest());
    const broker::EnvironmentLookup environment = [](std::u16string_view name) -> std::optional<std::u16string> {
      if (name == u"ProgramFiles") return u"C:\\Program Files";
      if (name == u"ProgramFiles(x86)") return u"C:\\Program Files (x86)";
      if (name == u"LOCALAPPDATA") return u"C:\\Users\\Fuzz User\\AppData\\Local";
      return std::nullopt;
    };
    if (auto parsed = broker::parse_spawn_request(line, environment)) request = std::move(*parsed);

    fake.processes.sids["logon-token"] = u"S-1-5-21-1000-2000-3000-1001";
    if (!with_event) {
      fake.processes.create_event_failures["secured"] = 5;
      fake.processes.create_event_failures["default"] = 5;
    }
    if (with_file) {
      fake.files.temp = std::u16string(temp);
    } else {
      fake.files.temp = std::unexpected(5u);
    }
  }

  // Starts the enclave for the request, which must have been accepted; the
  // command line is then fake.processes.command_lines.front().
  enclave::LaunchResult launch() {
    const enclave::LaunchInputs inputs{
        .enclave_path = request->enclave_path,
        .pipe_token = request->pipe_token,
        .ipc_secret = request->ipc_secret.get(),
        .account_password = password,
        .allowed_sid = with_sid ? std::optional<std::string_view>(sid) : std::nullopt,
    };
    auto launched = enclave::launch_enclave(inputs, fake.platform, log);
    BV_FUZZ_CHECK(launched.has_value(), "launch failed: " + (launched ? std::string() : launched.error()));
    BV_FUZZ_CHECK(fake.processes.command_lines.size() == 1, "one process start");
    return launched;
  }

  // The hand-over file's path as the enclave must be told it, when one can
  // be written.
  std::optional<std::u16string> secret_file() const {
    if (!with_file) return std::nullopt;
    std::u16string file(temp);
    if (!file.ends_with(u'\\')) file += u'\\';
    return file + u"bv-ipc-" + text::to_utf16(kToken) + u".tmp";
  }

  const bool with_sid;
  const bool with_event;
  const bool with_file;
  const std::u16string_view temp;
  std::string sid;
  std::optional<broker::SpawnRequest> request;  // none when the service refuses the line
  fake::FakePlatform fake;

 private:
  Log log{fake.console};
  enclave::AccountPassword password{SecretString(std::string("pw")), [] { return std::optional<SecretString>(); }};
};

}  // namespace bv::fuzz
