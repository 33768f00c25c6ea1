// The enclave's command line, as launch_enclave composes it from an accepted
// request, split again the way the enclave's runtime splits it.
//
// Input layout:
//   byte 0      bit 0: an allowed SID is given; bit 1: the shutdown event can
//               be made; bit 2: the hand-over file can be written; bits 3-4:
//               which temporary directory the platform reports;
//   byte 1      number of sub-authorities of the SID (low 4 bits);
//   byte 2      the SID's identifier authority;
//   4 bytes     per sub-authority;
//   the rest    the enclave path of a SPAWN request, which parse_spawn_request
//               must accept under a fixed environment (other inputs are
//               skipped).
//
// Both splitting rules in use must give back exactly the path, then the
// options and their values in order: CommandLineToArgvW's, and the C
// runtime's (which differ in how they read a doubled quote inside quotes
// and in where a quoted program name ends).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker/spawn_request.h"
#include "enclave/launcher.h"
#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "text/utf.h"

namespace {

using namespace bv::fuzz;
using Args = std::vector<std::u16string>;

constexpr std::string_view kToken = "0123456789abcdefABCDEF0123456789";
constexpr std::string_view kSecret = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
constexpr std::u16string_view kTempDirectories[] = {u"C:\\Temp\\", u"C:\\Users\\Fuzz User\\AppData\\Local\\Temp\\",
                                                    u"C:\\Windows\\Temp", u"D:\\t m p\\\u00C9\u03A3\\"};

bool is_blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

enum class Rules { command_line_to_argv, c_runtime };

// The arguments after the program name: 2n backslashes before a quote give
// n backslashes and the quote opens or closes a quoted part; 2n+1 give n
// backslashes and a literal quote; other backslashes are literal. A doubled
// quote inside a quoted part gives one literal quote; CommandLineToArgvW
// then leaves the quoted part, the C runtime stays in it.
void split_arguments(std::u16string_view line, std::size_t pos, Rules rules, Args& args) {
  for (;;) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    if (pos >= line.size()) return;
    std::u16string arg;
    bool quoted = false;
    std::size_t backslashes = 0;
    for (; pos < line.size() && (quoted || !is_blank(line[pos])); ++pos) {
      const char16_t c = line[pos];
      if (c == u'\\') {
        ++backslashes;
        continue;
      }
      if (c == u'"') {
        arg.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          arg += u'"';
        } else if (quoted && pos + 1 < line.size() && line[pos + 1] == u'"') {
          arg += u'"';
          ++pos;
          if (rules == Rules::command_line_to_argv) quoted = false;
        } else {
          quoted = !quoted;
        }
        backslashes = 0;
        continue;
      }
      arg.append(backslashes, u'\\');
      backslashes = 0;
      arg += c;
    }
    arg.append(backslashes, u'\\');
    args.push_back(std::move(arg));
  }
}

// The program name is read without any backslash rule: a quoted one up to
// the next quote. CommandLineToArgvW ends it there; the C runtime goes on to
// the next blank, toggling at every quote.
Args split_command_line(std::u16string_view line, Rules rules) {
  Args args;
  std::u16string program;
  std::size_t pos = 0;
  if (rules == Rules::command_line_to_argv) {
    if (!line.empty() && line[0] == u'"') {
      const std::size_t close = line.find(u'"', 1);
      program = line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1);
      pos = close == std::u16string_view::npos ? line.size() : close + 1;
    } else {
      while (pos < line.size() && !is_blank(line[pos])) program += line[pos++];
    }
  } else {
    bool quoted = false;
    for (; pos < line.size() && (quoted || !is_blank(line[pos])); ++pos) {
      if (line[pos] == u'"') {
        quoted = !quoted;
      } else {
        program += line[pos];
      }
    }
  }
  args.push_back(std::move(program));
  split_arguments(line, pos, rules, args);
  return args;
}

std::string show(const Args& args) {
  std::string out;
  for (const auto& a : args) out += "[" + printable(a) + "] ";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t flags = in.byte();
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
  if (!request) return -1;  // not an input worth keeping in the corpus

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
  auto launched = bv::enclave::launch_enclave(inputs, fake.platform, log);
  BV_FUZZ_CHECK(launched.has_value(), "launch failed: " + (launched ? std::string() : launched.error()));
  BV_FUZZ_CHECK(fake.processes.command_lines.size() == 1, "one process start");
  BV_FUZZ_CHECK(static_cast<bool>(launched->shutdown_event) == with_event, "event handle handed back");

  const std::u16string token16 = bv::text::to_utf16(kToken);
  Args expected = {bv::text::to_utf16(request->enclave_path), u"--pipe-token", token16};
  if (with_sid) {
    expected.push_back(u"--pipe-allow-sid");
    expected.push_back(bv::text::to_utf16(sid));
  }
  expected.push_back(u"--service-verified");
  if (with_event) {
    expected.push_back(u"--shutdown-event");
    expected.push_back(u"brisvander-shutdown-" + token16);
  }
  if (with_file) {
    std::u16string file(temp);
    if (!file.ends_with(u'\\')) file += u'\\';
    file += u"bv-ipc-" + token16 + u".tmp";
    expected.push_back(u"--ipc-secret-file");
    expected.push_back(file);
  }

  const std::u16string& command_line = fake.processes.command_lines.front();
  for (Rules rules : {Rules::command_line_to_argv, Rules::c_runtime}) {
    const Args args = split_command_line(command_line, rules);
    BV_FUZZ_CHECK(args == expected, std::string(rules == Rules::c_runtime ? "C runtime" : "CommandLineToArgvW") +
                                        " split " + printable(command_line) + " into " + show(args) + "; expected " +
                                        show(expected));
  }
  return 0;
}
