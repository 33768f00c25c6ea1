// The enclave's command line, as launch_enclave composes it from an accepted
// request, split again the way the enclave's runtime splits it.
//
// Input layout: fake_launch.h.
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

#include "fake_launch.h"
#include "fuzz_support.h"
#include "text/utf.h"

namespace {

using namespace bv::fuzz;
using Args = std::vector<std::u16string>;

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
  FakeLaunch launch(in, in.byte());
  if (!launch.request) return -1;  // not an input worth keeping in the corpus
  const auto launched = launch.launch();
  BV_FUZZ_CHECK(static_cast<bool>(launched->shutdown_event) == launch.with_event, "event handle handed back");

  const std::u16string token16 = bv::text::to_utf16(kToken);
  Args expected = {bv::text::to_utf16(launch.request->enclave_path), u"--pipe-token", token16};
  if (launch.with_sid) {
    expected.push_back(u"--pipe-allow-sid");
    expected.push_back(bv::text::to_utf16(launch.sid));
  }
  expected.push_back(u"--service-verified");
  if (launch.with_event) {
    expected.push_back(u"--shutdown-event");
    expected.push_back(u"brisvander-shutdown-" + token16);
  }
  if (auto file = launch.secret_file()) {
    expected.push_back(u"--ipc-secret-file");
    expected.push_back(*file);
  }

  const std::u16string& command_line = launch.fake.processes.command_lines.front();
  for (Rules rules : {Rules::command_line_to_argv, Rules::c_runtime}) {
    const Args args = split_command_line(command_line, rules);
    BV_FUZZ_CHECK(args == expected, std::string(rules == Rules::c_runtime ? "C runtime" : "CommandLineToArgvW") +
                                        " split " + printable(command_line) + " into " + show(args) + "; expected " +
                                        show(expected));
  }
  return 0;
}
