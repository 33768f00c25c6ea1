// The enclave library's reading of its command line
// (parse_enclave_command_line), in two modes chosen by bit 7 of the first
// byte.
//
// From the service (bit 7 clear): launch_enclave composes the command line
// of an accepted request on the fake platform, exactly as the service does;
// the enclave must read back exactly the path, the token, the SID, the
// event name and the file path that went in. Input layout: fake_launch.h
// (bits 0-4 of the first byte, and what follows it).
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

#include "enclave/command_line.h"
#include "fake_launch.h"
#include "fuzz_support.h"
#include "text/utf.h"

namespace {

using namespace bv::fuzz;
using bv::enclave_side::EnclaveArguments;

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
  FakeLaunch launch(in, flags);
  if (!launch.request) return;
  static_cast<void>(launch.launch());

  const std::u16string& command_line = launch.fake.processes.command_lines.front();
  const auto parsed = bv::enclave_side::parse_enclave_command_line(command_line);
  BV_FUZZ_CHECK(parsed.has_value(),
                "the service's line was refused: " + printable(command_line) + ": " + (parsed ? "" : parsed.error()));

  const std::u16string token = bv::text::to_utf16(kToken);
  BV_FUZZ_CHECK(parsed->program == bv::text::to_utf16(launch.request->enclave_path), printable(parsed->program));
  BV_FUZZ_CHECK(parsed->pipe_token == token, printable(parsed->pipe_token));
  BV_FUZZ_CHECK(parsed->allowed_sid == (launch.with_sid ? std::optional(bv::text::to_utf16(launch.sid)) : std::nullopt),
                launch.sid);
  BV_FUZZ_CHECK(
      parsed->shutdown_event == (launch.with_event ? std::optional(u"brisvander-shutdown-" + token) : std::nullopt),
      printable(command_line));
  BV_FUZZ_CHECK(parsed->ipc_secret_file == launch.secret_file(), printable(command_line));
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
