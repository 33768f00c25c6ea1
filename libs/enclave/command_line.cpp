#include "enclave/command_line.h"

#include <algorithm>
#include <cstdint>

namespace bv::enclave_side {

namespace {

constexpr std::size_t token_length = 32;
// A SID's identifier authority is printed in decimal, or, from 2^32 on, as
// "0x" and twelve hexadecimal digits; a SID has at most 15 sub-authorities.
constexpr std::size_t max_sub_authorities = 15;

bool is_hex_digit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool is_digit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// Reads the command line front to back; every step either takes what it
// expects or leaves the cursor where it was.
class Cursor {
 public:
  explicit Cursor(std::u16string_view line) : rest_(line) {}

  bool at_end() const { return rest_.empty(); }
  bool take(std::u16string_view literal) {
    if (!rest_.starts_with(literal)) return false;
    rest_.remove_prefix(literal.size());
    return true;
  }
  // The text up to (not including) `stop`, which is taken as well; nothing
  // when `stop` does not follow.
  std::optional<std::u16string_view> take_until(char16_t stop) {
    const std::size_t end = rest_.find(stop);
    if (end == std::u16string_view::npos) return std::nullopt;
    const std::u16string_view taken = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return taken;
  }
  // The text up to the next space or the end (neither taken).
  std::u16string_view take_word() {
    const std::size_t end = std::min(rest_.find(u' '), rest_.size());
    const std::u16string_view taken = rest_.substr(0, end);
    rest_.remove_prefix(end);
    return taken;
  }

 private:
  std::u16string_view rest_;
};

bool is_pipe_token(std::u16string_view token) {
  if (token.size() != token_length) return false;
  for (const char16_t c : token) {
    if (!is_hex_digit(c)) return false;
  }
  return true;
}

// A decimal number of 1 to `max_digits` digits no greater than `max`.
bool is_decimal(std::u16string_view text, std::size_t max_digits, std::uint64_t max) {
  if (text.empty() || text.size() > max_digits) return false;
  std::uint64_t value = 0;
  for (const char16_t c : text) {
    if (!is_digit(c)) return false;
    value = value * 10 + (c - u'0');
  }
  return value <= max;
}

// "S-1-", the identifier authority, and up to 15 sub-authorities, as
// ConvertSidToStringSidW writes a SID.
bool is_sid(std::u16string_view sid) {
  if (!sid.starts_with(u"S-1-")) return false;
  sid.remove_prefix(4);
  std::size_t parts = 0;
  for (;;) {
    const std::size_t end = std::min(sid.find(u'-'), sid.size());
    const std::u16string_view part = sid.substr(0, end);
    bool valid = false;
    if (parts == 0 && part.starts_with(u"0x")) {
      valid = part.size() == 14;
      for (const char16_t c : part.substr(2)) valid = valid && is_hex_digit(c);
    } else {
      valid = is_decimal(part, 10, 0xFFFFFFFFu);
    }
    if (!valid || parts > max_sub_authorities) return false;
    ++parts;
    if (end == sid.size()) return true;
    sid.remove_prefix(end + 1);
  }
}

// A drive-absolute path whose last component is the hand-over file's name
// for `token`. A UNC or device path is refused, so that the enclave never
// reaches out to another machine for its secret.
bool is_secret_file_path(std::u16string_view path, std::u16string_view token) {
  const bool drive = path.size() > 3 &&
                     ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')) &&
                     path[1] == u':' && path[2] == u'\\';
  if (!drive) return false;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] < 0x20 || (path[i] == u':' && i != 1)) return false;
  }
  const std::size_t name_start = path.rfind(u'\\') + 1;
  const std::u16string_view name = path.substr(name_start);
  return name.size() == secret_file_prefix.size() + token.size() + secret_file_suffix.size() &&
         name.starts_with(secret_file_prefix) && name.ends_with(secret_file_suffix) &&
         name.substr(secret_file_prefix.size(), token.size()) == token;
}

std::unexpected<std::string> out_of_form(std::string_view what) {
  return std::unexpected("command line: " + std::string(what));
}

}  // namespace

std::expected<EnclaveArguments, std::string> parse_enclave_command_line(std::u16string_view line) {
  Cursor cursor(line);
  EnclaveArguments arguments;

  const auto program = cursor.take(u"\"") ? cursor.take_until(u'"') : std::nullopt;
  if (!program || program->empty()) return out_of_form("it does not begin with the program path in double quotes");
  arguments.program = *program;

  if (!cursor.take(u" --pipe-token ")) return out_of_form("--pipe-token does not follow the program path");
  const std::u16string_view token = cursor.take_word();
  if (!is_pipe_token(token)) return out_of_form("the pipe token is not 32 hexadecimal digits");
  arguments.pipe_token = token;

  if (cursor.take(u" --pipe-allow-sid ")) {
    const std::u16string_view sid = cursor.take_word();
    if (!is_sid(sid)) return out_of_form("the allowed SID is not a SID");
    arguments.allowed_sid = sid;
  }

  if (!cursor.take(u" --service-verified")) return out_of_form("--service-verified is missing");

  if (cursor.take(u" --shutdown-event ")) {
    const std::u16string_view name = cursor.take_word();
    if (name.size() != shutdown_event_prefix.size() + token.size() || !name.starts_with(shutdown_event_prefix) ||
        !name.ends_with(token)) {
      return out_of_form("the shutdown event is not brisvander-shutdown- and the pipe token");
    }
    arguments.shutdown_event = name;
  }

  if (cursor.take(u" --ipc-secret-file \"")) {
    const auto path = cursor.take_until(u'"');
    if (!path || !is_secret_file_path(*path, token)) {
      return out_of_form("the hand-over file is not a local path in double quotes to bv-ipc- and the pipe token");
    }
    arguments.ipc_secret_file = *path;
  }

  if (!cursor.at_end()) return out_of_form("unexpected text after the options");
  return arguments;
}

}  // namespace bv::enclave_side
