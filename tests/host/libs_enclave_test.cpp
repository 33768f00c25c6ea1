// The enclave library's logic: the command line read back only in the form
// the service writes it, and the hand-over (the secret line on standard
// input, the hand-over file, the shutdown event) against a scripted fake of
// its calls.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "brisvander/enclave.h"
#include "enclave/command_line.h"
#include "enclave/enclave_system.h"
#include "enclave/hand_over.h"
#include "text/utf.h"

namespace bv::enclave_side {
namespace {

const std::u16string token = u"0123456789abcdefABCDEF0123456789";
const std::u16string program = u"\"C:\\Program Files\\Brisvander\\vault-enclave.exe\"";
const std::u16string file = u"C:\\Windows\\Temp\\bv-ipc-" + token + u".tmp";
const std::u16string event = u"brisvander-shutdown-" + token;
const std::u16string full_line = program + u" --pipe-token " + token + u" --pipe-allow-sid S-1-5-21-1-2-3-1001" +
                                 u" --service-verified --shutdown-event " + event + u" --ipc-secret-file \"" + file +
                                 u"\"";
const std::string secret_line = "00112233445566778899aabbccddeeff0123456789abcdef00112233445566ff\n";

TEST(EnclaveCommandLine, TheServicesFormsAreReadBack) {
  const auto full = parse_enclave_command_line(full_line);
  ASSERT_TRUE(full) << full.error();
  EXPECT_EQ(full->program, u"C:\\Program Files\\Brisvander\\vault-enclave.exe");
  EXPECT_EQ(full->pipe_token, token);
  EXPECT_EQ(full->allowed_sid, u"S-1-5-21-1-2-3-1001");
  EXPECT_EQ(full->shutdown_event, event);
  EXPECT_EQ(full->ipc_secret_file, file);

  const auto minimal = parse_enclave_command_line(program + u" --pipe-token " + token + u" --service-verified");
  ASSERT_TRUE(minimal) << minimal.error();
  EXPECT_FALSE(minimal->allowed_sid || minimal->shutdown_event || minimal->ipc_secret_file);

  // Each optional piece on its own, the file in a folder with spaces, and a
  // SID whose identifier authority needs the hexadecimal form.
  for (const std::u16string& line : {
           program + u" --pipe-token " + token + u" --pipe-allow-sid S-1-0x0000000A0000-7 --service-verified",
           program + u" --pipe-token " + token + u" --service-verified --shutdown-event " + event,
           program + u" --pipe-token " + token + u" --service-verified --ipc-secret-file \"D:\\t m p\\bv-ipc-" + token +
               u".tmp\"",
       }) {
    EXPECT_TRUE(parse_enclave_command_line(line)) << text::to_utf8(line);
  }
}

TEST(EnclaveCommandLine, EveryOtherFormIsRefused) {
  const std::u16string verified = u" --service-verified";
  const std::u16string start = program + u" --pipe-token " + token;
  const std::vector<std::u16string> refused = {
      u"",
      u"C:\\vault-enclave.exe --pipe-token " + token + verified,        // the path unquoted
      u"\"\" --pipe-token " + token + verified,                         // an empty path
      u"\"C:\\vault-enclave.exe --pipe-token " + token + verified,      // no closing quote
      program + u"  --pipe-token " + token + verified,                  // two spaces
      program + u"\t--pipe-token " + token + verified,                  // a tab
      program + u" --pipe-token " + token.substr(1) + verified,         // 31 digits
      program + u" --pipe-token " + token + u"0" + verified,            // 33 digits
      program + u" --pipe-token " + token.substr(1) + u"g" + verified,  // not hexadecimal
      start,                                                            // not verified
      start + verified + u" ",                                          // a trailing space
      start + u" --service-verifiedX",
      start + verified + u" --pipe-allow-sid S-1-5-18",  // out of order
      start + u" --pipe-allow-sid S-1-5-" + verified,    // a SID cut short
      start + u" --pipe-allow-sid S-2-5-18" + verified,
      start + u" --pipe-allow-sid S-1-5-4294967296" + verified,
      start + u" --pipe-allow-sid S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16" + verified,       // 16 sub-authorities
      start + verified + u" --shutdown-event brisvander-shutdown-" + token.substr(0, 31) + u"A",  // another token
      start + verified + u" --shutdown-event Global\\brisvander-shutdown-" + token,
      start + verified + u" --ipc-secret-file \"\\\\server\\share\\bv-ipc-" + token + u".tmp\"",  // UNC
      start + verified + u" --ipc-secret-file \"\\\\?\\C:\\Temp\\bv-ipc-" + token + u".tmp\"",    // device path
      start + verified + u" --ipc-secret-file \"Temp\\bv-ipc-" + token + u".tmp\"",               // relative
      start + verified + u" --ipc-secret-file \"C:\\Temp\\bv-ipc-" + token + u".tmp:s\"",         // a stream
      start + verified + u" --ipc-secret-file \"C:\\Temp\\secret.txt\"",
      start + verified + u" --ipc-secret-file C:\\Temp\\bv-ipc-" + token + u".tmp",  // unquoted
      start + verified + u" --ipc-secret-file \"C:\\Temp\\bv-ipc-" + token + u".tmp\" --shutdown-event " + event,
      start + verified + u" --ignore-shutdown",
  };
  for (const std::u16string& line : refused) {
    const auto parsed = parse_enclave_command_line(line);
    EXPECT_FALSE(parsed) << text::to_utf8(line);
    if (!parsed) {
      EXPECT_TRUE(parsed.error().starts_with("command line: ")) << parsed.error();
    }
  }
}

// Standard input, the files and the events of an enclave's start, as the
// test sets them; the clock moves only when the logic sleeps.
class FakeEnclave final : public EnclaveSystem {
 public:
  std::u16string line = full_line;
  InputKind kind = InputKind::pipe;
  std::string input = secret_line;
  std::uint64_t input_arrives_at = 0;  // until then the pipe is empty
  bool writer_closed = true;           // after the input, the end of the pipe
  std::map<std::u16string, std::string> files = {{file, secret_line}};
  std::optional<std::uint32_t> delete_error;
  std::set<std::u16string> events = {event};

  std::uint64_t now = 0;
  std::vector<std::string> calls;
  std::set<std::u16string> deleted;

  std::u16string command_line() override { return line; }
  InputKind standard_input_kind() override { return kind; }
  std::expected<std::uint32_t, std::uint32_t> input_available() override {
    if (now < input_arrives_at) return 0u;
    if (read_ < input.size()) return static_cast<std::uint32_t>(input.size() - read_);
    if (writer_closed) return std::unexpected(win32_error::broken_pipe);
    return 0u;
  }
  std::expected<std::size_t, std::uint32_t> read_input(std::span<char> buffer) override {
    calls.push_back("read_input");
    const std::size_t count = std::min(buffer.size(), input.size() - read_);
    if (count == 0 && kind == InputKind::pipe) return std::unexpected(win32_error::broken_pipe);
    std::memcpy(buffer.data(), input.data() + read_, count);
    read_ += count;
    return count;
  }
  std::uint64_t now_ms() override { return now; }
  void sleep_ms(std::uint32_t milliseconds) override { now += milliseconds; }

  std::expected<std::unique_ptr<HandOverFile>, std::uint32_t> open_hand_over_file(std::u16string_view path) override {
    calls.push_back("open_file");
    const auto found = files.find(std::u16string(path));
    if (found == files.end()) return std::unexpected(2u);
    return std::make_unique<File>(*this, found->first);
  }
  std::expected<std::unique_ptr<ShutdownEvent>, std::uint32_t> open_shutdown_event(std::u16string_view name) override {
    calls.push_back("open_event");
    if (!events.contains(std::u16string(name))) return std::unexpected(2u);
    return std::make_unique<Event>();
  }

 private:
  class File final : public HandOverFile {
   public:
    File(FakeEnclave& fake, std::u16string path) : fake_(fake), path_(std::move(path)) {}
    ~File() override {
      fake_.calls.push_back("close_file");
      if (delete_) fake_.deleted.insert(path_);
    }
    std::expected<std::size_t, std::uint32_t> read(std::span<char> buffer) override {
      const std::string& content = fake_.files.at(path_);
      const std::size_t count = std::min(buffer.size(), content.size() - read_);
      std::memcpy(buffer.data(), content.data() + read_, count);
      read_ += count;
      return count;
    }
    std::expected<void, std::uint32_t> delete_on_close() override {
      fake_.calls.push_back("delete_on_close");
      if (fake_.delete_error) return std::unexpected(*fake_.delete_error);
      delete_ = true;
      return {};
    }

   private:
    FakeEnclave& fake_;
    std::u16string path_;
    std::size_t read_ = 0;
    bool delete_ = false;
  };
  class Event final : public ShutdownEvent {
   public:
    void* native_handle() const override { return reinterpret_cast<void*>(0x1234); }
  };

  std::size_t read_ = 0;
};

TEST(EnclaveHandOver, AMatchingHandOverIsTakenAndItsFileDeleted) {
  FakeEnclave fake;
  const auto begun = begin_hand_over(fake);
  ASSERT_TRUE(begun) << begun.error().message;
  const HandOver& hand_over = **begun;
  EXPECT_EQ(hand_over.pipe_token, token);
  EXPECT_EQ(hand_over.allowed_sid, u"S-1-5-21-1-2-3-1001");
  const std::array<std::uint8_t, 32> expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                                 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                                                 0xcd, 0xef, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xff};
  EXPECT_EQ(hand_over.secret.get(), expected);
  EXPECT_TRUE(hand_over.shutdown_event);
  EXPECT_EQ(fake.deleted, std::set<std::u16string>{file});

  // The secret line has arrived only after a while: the pipe is waited on.
  FakeEnclave late;
  late.input_arrives_at = 9000;
  EXPECT_TRUE(begin_hand_over(late));

  // Without a file or an event named, standard input is all there is.
  FakeEnclave bare;
  bare.line = program + u" --pipe-token " + token + u" --service-verified";
  bare.files.clear();
  const auto alone = begin_hand_over(bare);
  ASSERT_TRUE(alone) << alone.error().message;
  EXPECT_FALSE((*alone)->shutdown_event);
  EXPECT_FALSE((*alone)->allowed_sid);
}

TEST(EnclaveHandOver, StandardInputMustHoldOneSecretLineInTime) {
  struct Case {
    const char* name;
    InputKind kind;
    std::string input;
    bool writer_closed;
    std::string message;
  };
  const std::string digits = secret_line.substr(0, 64);
  std::string upper = digits;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return c >= 'a' ? c - 32 : c; });
  const std::string form = " bytes that are not one secret line (64 lowercase hexadecimal digits and a line feed)";
  const std::vector<Case> cases = {
      {"no handle", InputKind::none, secret_line, true, "standard input: there is none"},
      {"a console", InputKind::console, secret_line, true, "standard input: a console, not the pipe of the service"},
      {"nothing", InputKind::pipe, "", true, "standard input: 0" + form},
      {"no line feed", InputKind::pipe, digits, true, "standard input: 64" + form},
      {"upper case", InputKind::pipe, upper + "\n", true, "standard input: 65" + form},
      {"carriage return", InputKind::pipe, digits + "\r\n", true, "standard input: 66" + form},
      {"more after the line", InputKind::pipe, secret_line + "x", true, "standard input: 66" + form},
      {"a short line", InputKind::pipe, digits.substr(2) + "\n", true, "standard input: 63" + form},
      {"the writer never finishes", InputKind::pipe, digits.substr(0, 10), false,
       "standard input: no secret line within 10000 ms"},
      {"read from a file", InputKind::file, secret_line + "x", true, "standard input: 66" + form},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnclave fake;
    fake.kind = c.kind;
    fake.input = c.input;
    fake.writer_closed = c.writer_closed;
    const auto begun = begin_hand_over(fake);
    ASSERT_FALSE(begun);
    EXPECT_EQ(begun.error().code, BV_ENCLAVE_E_SECRET_LINE);
    EXPECT_EQ(begun.error().message, c.message);
    EXPECT_TRUE(fake.deleted.empty());
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "open_event"), 0);
  }

  FakeEnclave from_file;
  from_file.kind = InputKind::file;
  EXPECT_TRUE(begin_hand_over(from_file));
}

TEST(EnclaveHandOver, TheFileMustHoldTheSameLineAndIsKeptWhenItDoesNot) {
  std::string one_off = secret_line;
  one_off[40] = one_off[40] == 'a' ? 'b' : 'a';
  const std::string prefix = "hand-over file " + text::to_utf8(file) + ": ";
  struct Case {
    const char* name;
    std::optional<std::string> content;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"one digit differs", one_off, prefix + "it does not hold the secret line of standard input"},
      {"the line and more", secret_line + secret_line, prefix + "it does not hold the secret line of standard input"},
      {"empty", "", prefix + "it does not hold the secret line of standard input"},
      {"missing", std::nullopt, prefix + "cannot open it: error 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnclave fake;
    if (c.content) {
      fake.files[file] = *c.content;
    } else {
      fake.files.clear();
    }
    const auto begun = begin_hand_over(fake);
    ASSERT_FALSE(begun);
    EXPECT_EQ(begun.error().code, BV_ENCLAVE_E_HAND_OVER_FILE);
    EXPECT_EQ(begun.error().message, c.message);
    EXPECT_TRUE(fake.deleted.empty());
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "delete_on_close"), 0);
  }

  FakeEnclave undeletable;
  undeletable.delete_error = 5;
  const auto begun = begin_hand_over(undeletable);
  ASSERT_FALSE(begun);
  EXPECT_EQ(begun.error().code, BV_ENCLAVE_E_HAND_OVER_FILE);
  EXPECT_EQ(begun.error().message, prefix + "cannot delete it: error 5");
}

TEST(EnclaveHandOver, AnEventThatCannotBeOpenedRefusesTheStartButTheSecretLeavesTheDisk) {
  FakeEnclave fake;
  fake.events.clear();
  const auto begun = begin_hand_over(fake);
  ASSERT_FALSE(begun);
  EXPECT_EQ(begun.error().code, BV_ENCLAVE_E_SHUTDOWN_EVENT);
  EXPECT_EQ(begun.error().message, "shutdown event " + text::to_utf8(event) + ": cannot open it: error 2");
  EXPECT_EQ(fake.deleted, std::set<std::u16string>{file});
}

}  // namespace
}  // namespace bv::enclave_side
