// The enclave library's reading of its command line
// (parse_enclave_command_line), in two modes chosen by bit 7 of the first
// byte.
//
// From the service (bit 7 clear): launch_enclave composes the command line
// of an accepted request on the fake platform, exactly as the service does;
// the enclave must read back exactly the path, the token, the SID, the
// event name and the file path that went in. Input layout as in
// launch_command_line_fuzz.cpp:
//   byte 0      bit 0: an allowed SID is given; bit 1: the shutdown event can
//               be made; bit 2: the hand-over file can be written; bits 3-4:
//               which temporary directory the platform reports;
//   byte 1      number of sub-authorities of the SID (low 4 bits);
//   byte 2      the SID's identifier authority;
//   4 bytes     per sub-authority;
//   the rest    the enclave path of a SPAWN request (inputs that
//               parse_spawn_request refuses are skipped).
//
// Any text (bit 7 set): the rest of the input, as UTF-16 code units (little
// endian), is read as a command line. Whatever is accepted must be in the
// one form the service writes: the values, put back together by the
// reference below, give the input unit for unit, and each value keeps the
// rules of its option.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "broker/spawn_request.h"
#include "enclave/command_line.h"
#include "enclave/launcher.h"
#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "text/utf.h"

namespace {

using namespace bv::fuzz;
using bv::enclave_side::EnclaveArguments;

constexpr std::string_view kToken = "0123456789abcdefABCDEF0123456789";
constexpr std::string_view kSecret = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
constexpr std::u16string_view kTempDirectories[] = {u"C:\\Temp\\", u"C:\\Users\\Fuzz User\\AppData\\Local\\Temp\\",
                                                    u"C:\\Windows\\Temp", u"D:\\t m p\\\u00C9\u03A3\\"};

// The service's form, written out independently of the parser.
std::u16string reference_line(const EnclaveArguments& a) {
  std::u16string line = u"\"" + a.program + u"\" --pipe-token " + a.pipe_token;
  if (a.allowed_sid) line += u" --pipe-allow-sid " + *a.allowed_sid;
  line += u" --service-verified";
  if (a.shutdown_event) line += u" --shutdown-event " + *a.shutdown_event;
  if (a.ipc_secret_file) line += u" --ipc-secret-file \"" + *a.ipc_secret_file + u"\"";
  return line;
}

bool all_of_units(std::u16string_view text, bool (*accept)(char16_t)) {
  for (char16_t u : text) {
    if (!accept(u)) return false;
  }
  return true;
}

void check_any_text(Reader& in) {
  const std::string_view bytes = in.rest();
  std::u16string line;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    line += static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) | (static_cast<std::uint8_t>(bytes[i + 1]) << 8));
  }
  const auto parsed = bv::enclave_side::parse_enclave_command_line(line);
  if (!parsed) {
    BV_FUZZ_CHECK(parsed.error().starts_with("command line: "), parsed.error());
    return;
  }
  const EnclaveArguments& a = *parsed;
  BV_FUZZ_CHECK(reference_line(a) == line, "accepted out of form: " + printable(line));
  BV_FUZZ_CHECK(!a.program.empty() && a.program.find(u'"') == std::u16string::npos, printable(a.program));
  BV_FUZZ_CHECK(a.pipe_token.size() == 32 && all_of_units(a.pipe_token,
                                                          [](char16_t u) {
                                                            return (u >= u'0' && u <= u'9') ||
                                                                   (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
                                                          }),
                printable(a.pipe_token));
  if (a.allowed_sid) {
    BV_FUZZ_CHECK(a.allowed_sid->starts_with(u"S-1-") && a.allowed_sid->find(u' ') == std::u16string::npos,
                  printable(*a.allowed_sid));
  }
  if (a.shutdown_event) {
    BV_FUZZ_CHECK(*a.shutdown_event == u"brisvander-shutdown-" + a.pipe_token, printable(*a.shutdown_event));
  }
  if (a.ipc_secret_file) {
    const std::u16string& file = *a.ipc_secret_file;
    BV_FUZZ_CHECK(file.size() > 3 && file[1] == u':' && file[2] == u'\\' && file.find(u':', 2) == std::u16string::npos,
                  "not a local drive path: " + printable(file));
    BV_FUZZ_CHECK(file.ends_with(u"\\bv-ipc-" + a.pipe_token + u".tmp"), printable(file));
  }
}

void check_from_service(Reader& in, std::uint8_t flags) {
  const bool with_sid = (flags & 1) != 0;
  const bool with_event = (flags & 2) != 0;
  const bool with_file = (flags & 4) != 0;
  const std::u16string_view temp = kTempDirectories[(flags >> 3) & 3];

  const std::size_t sub_authorities = in.byte() & 0x0F;
  std::string sid = "S-1-" + std::to_string(in.byte());
  for (std::size_t i = 0; i < sub_authorities; ++i) sid += "-" + std::to_string(in.u32());

  const std::string line = "SPAWN " + std::string(kToken) + " " + std::string(kSecret) + " " + std::string(in.rest());
  const bv::broker::EnvironmentLookup environment = [](std::u16string_view name) -> std::optional<std::u16string> {
    if (name == u"ProgramFiles") return u"C:\\Program Files";
    if (name == u"ProgramFiles(x86)") return u"C:\\Program Files (x86)";
    if (name == u"LOCALAPPDATA") return u"C:\\Users\\Fuzz User\\AppData\\Local";
    return std::nullopt;
  };
  const auto request = bv::broker::parse_spawn_request(line, environment);
  if (!request) return;

  bv::fake::FakePlatform fake;
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
  bv::Log log(fake.console);
  bv::enclave::AccountPassword password(bv::SecretString(std::string("pw")),
                                        [] { return std::optional<bv::SecretString>(); });
  const bv::enclave::LaunchInputs inputs{
      .enclave_path = request->enclave_path,
      .pipe_token = request->pipe_token,
      .ipc_secret = request->ipc_secret.get(),
      .account_password = password,
      .allowed_sid = with_sid ? std::optional<std::string_view>(sid) : std::nullopt,
  };
  const auto launched = bv::enclave::launch_enclave(inputs, fake.platform, log);
  BV_FUZZ_CHECK(launched.has_value() && fake.processes.command_lines.size() == 1, "one process start");

  const std::u16string& command_line = fake.processes.command_lines.front();
  const auto parsed = bv::enclave_side::parse_enclave_command_line(command_line);
  BV_FUZZ_CHECK(parsed.has_value(),
                "the service's line was refused: " + printable(command_line) + ": " + (parsed ? "" : parsed.error()));

  const std::u16string token = bv::text::to_utf16(kToken);
  std::optional<std::u16string> file;
  if (with_file) {
    file = std::u16string(temp);
    if (!file->ends_with(u'\\')) *file += u'\\';
    *file += u"bv-ipc-" + token + u".tmp";
  }
  BV_FUZZ_CHECK(parsed->program == bv::text::to_utf16(request->enclave_path), printable(parsed->program));
  BV_FUZZ_CHECK(parsed->pipe_token == token, printable(parsed->pipe_token));
  BV_FUZZ_CHECK(parsed->allowed_sid == (with_sid ? std::optional(bv::text::to_utf16(sid)) : std::nullopt), sid);
  BV_FUZZ_CHECK(parsed->shutdown_event == (with_event ? std::optional(u"brisvander-shutdown-" + token) : std::nullopt),
                printable(command_line));
  BV_FUZZ_CHECK(parsed->ipc_secret_file == file, printable(command_line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t flags = in.byte();
  if ((flags & 0x80) != 0) {
    check_any_text(in);
  } else {
    check_from_service(in, flags);
  }
  return 0;
}
