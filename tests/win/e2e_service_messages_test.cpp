// The message table linked into the service executables, read as Event
// Viewer reads it: the executable loaded as a data file, and every event ID
// of the catalogue formatted with inserts by FormatMessageW. Each must give
// the text that the log writes to standard error for the same inserts (its
// lines without their tag, joined by the CR LF of the table's %n), or, for
// an event without a line, the catalogue's text filled with them. A message
// missing from the table, or under another severity, fails the format.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/events.h"
#include "common/log.h"
#include "support/process.h"

namespace {

// Standard error as the log writes it.
class TextConsole final : public bv::platform::Console {
 public:
  void write_stdout(std::string_view) override {}
  void write_stderr(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

// What the log writes for `kind`, as the formatted message shows it.
std::string logged_text(const bv::EventKind& kind, const std::vector<std::string>& inserts) {
  TextConsole console;
  bv::Log log(console);
  log.report(kind.event, inserts[0], inserts[1], inserts[2], inserts[3]);
  if (!kind.on_stderr) {
    const std::string_view views[] = {inserts[0], inserts[1], inserts[2], inserts[3]};
    std::string filled = bv::fill_inserts(kind.text, views);
    std::string with_crlf;
    for (const char c : filled) with_crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(console.text, "") << "an event without a line wrote one";
    return with_crlf;
  }
  constexpr std::string_view tag = "[BrisvanderSvc] ";
  std::string text;
  std::string_view rest = console.text;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    EXPECT_TRUE(line.starts_with(tag)) << line;
    if (line.starts_with(tag)) line.remove_prefix(tag.size());
    if (!text.empty()) text += "\r\n";
    text += line;
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return text;
}

// FormatMessageW of `id` from `module` with the inserts as its arguments.
std::string formatted(HMODULE module, std::uint32_t id, const std::vector<std::wstring>& inserts, DWORD& error) {
  std::vector<DWORD_PTR> arguments;
  for (const std::wstring& insert : inserts) arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     module, id, 0, reinterpret_cast<LPWSTR>(&buffer), 0, reinterpret_cast<va_list*>(arguments.data()));
  error = length == 0 ? GetLastError() : 0;
  std::string text = length == 0 ? std::string() : bv::test::to_utf8(std::wstring(buffer, length));
  LocalFree(buffer);
  return text;
}

TEST(E2eServiceMessages, EveryEventFormatsFromTheExecutableToTheTextTheLogWrites) {
  // Distinct inserts, one non-ASCII and one that looks like an insert itself.
  const std::vector<std::string> inserts = {"first \xE2\x80\x94 insert", "4242", "C:\\Program Files\\%1 x\\a.exe",
                                            "S-1-5-21-0-0-0-1000"};
  std::vector<std::wstring> wide_inserts;
  for (const std::string& insert : inserts) wide_inserts.push_back(bv::test::to_wide(insert));

  for (const wchar_t* executable : {L"brisvander-svc.exe", L"brisvander-svc-testlogon.exe"}) {
    SCOPED_TRACE(bv::test::to_utf8(executable));
    const HMODULE module = LoadLibraryExW(bv::test::build_file(executable).c_str(), nullptr,
                                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << GetLastError();
    for (const bv::EventKind& kind : bv::event_kinds) {
      SCOPED_TRACE("event " + std::to_string(kind.code));
      DWORD error = 0;
      const std::string text = formatted(module, bv::event_id(kind), wide_inserts, error);
      EXPECT_EQ(error, 0u);
      EXPECT_EQ(text, logged_text(kind, inserts));
    }
    FreeLibrary(module);
  }
}

}  // namespace
