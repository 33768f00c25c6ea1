#include "soak/requests.h"

#include <array>
#include <utility>

namespace bv::soak {
namespace {

constexpr std::string_view invalid_format = "ERR Invalid request format";
constexpr std::string_view bad_name = "ERR Enclave path must end with 'vault-enclave.exe'";
constexpr std::string_view bad_location = "ERR Enclave path must be under %ProgramFiles% or %LOCALAPPDATA%";
constexpr std::string_view bad_characters = "ERR Enclave path contains characters that are not allowed";
constexpr std::string_view not_authorized = "ERR caller not authorized: ";

std::string token_message(std::size_t length) {
  return "ERR pipe_token must be 32 hex chars, got " + std::to_string(length);
}

std::string secret_message(std::size_t length) {
  return "ERR ipc_secret must be 64 hex chars, got " + std::to_string(length);
}

Request exact(std::string kind, std::string bytes, std::string reply) {
  Request request;
  request.kind = std::move(kind);
  request.bytes = std::move(bytes);
  request.expect = Expect::exact;
  request.reply = std::move(reply);
  return request;
}

Request silent(std::string kind, std::string bytes) {
  Request request;
  request.kind = std::move(kind);
  request.bytes = std::move(bytes);
  request.expect = Expect::silence;
  return request;
}

std::string upper_ascii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

RequestMaker::RequestMaker(std::uint64_t seed, std::string enclave_path)
    : random_(seed), enclave_path_(std::move(enclave_path)) {
  enclave_folder_ = enclave_path_.substr(0, enclave_path_.rfind('\\') + 1);
}

std::size_t RequestMaker::below(std::size_t bound) {
  return static_cast<std::size_t>(random_() % bound);
}

std::string RequestMaker::hex(std::size_t digits, bool mixed_case) {
  static constexpr char lower[] = "0123456789abcdef";
  static constexpr char upper[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(digits);
  for (std::size_t i = 0; i < digits; ++i) {
    const auto value = random_();
    text.push_back((mixed_case && (value & 0x100) != 0 ? upper : lower)[value & 0x0F]);
  }
  return text;
}

std::string RequestMaker::token() {
  return hex(32, true);
}

std::string RequestMaker::secret() {
  return hex(64, true);
}

std::string RequestMaker::line(std::string_view token, std::string_view secret, std::string_view path) const {
  std::string text = "SPAWN ";
  text.append(token).append(" ").append(secret).append(" ").append(path);
  return text;
}

Request RequestMaker::valid() {
  Request request;
  request.expect = Expect::spawn;
  request.token = token();
  request.secret = secret();
  const std::string plain = line(request.token, request.secret, enclave_path_);
  switch (below(6)) {
    case 0:
      request.kind = "valid";
      request.bytes = plain + "\n";
      break;
    case 1:
      request.kind = "valid CR LF";
      request.bytes = plain + "\r\n";
      break;
    case 2:
      // Space, tab and U+00A0 NO-BREAK SPACE are all trailing white space.
      request.kind = "valid trailing white space";
      request.bytes = plain + " \t\xC2\xA0 \n";
      break;
    case 3:
      request.kind = "valid, more after the line feed";
      request.bytes = plain + "\nSPAWN " + std::string(200, 'z') + "\n";
      break;
    case 4:
      request.kind = "valid, path in capitals";
      request.bytes = line(request.token, request.secret, upper_ascii(enclave_path_)) + "\n";
      break;
    default:
      request.kind = "valid, lower-case secret";
      for (char& c : request.secret) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      }
      request.bytes = line(request.token, request.secret, enclave_path_) + "\n";
      break;
  }
  return request;
}

Request RequestMaker::malformed() {
  const std::string t = token();
  const std::string s = secret();
  const std::string& p = enclave_path_;
  switch (below(launches_possible_ ? 18 : 17)) {
    case 0: {
      constexpr std::array<std::string_view, 4> verbs = {"spawn", "Spawn", "SPAWn", "SPAWNS"};
      return exact("malformed verb", std::string(verbs[below(verbs.size())]) + " " + t + " " + s + " " + p + "\n",
                   std::string(invalid_format));
    }
    case 1:
      return exact("three fields", "SPAWN " + t + " " + s + "\n", std::string(invalid_format));
    case 2:
      return exact("leading space", " " + line(t, s, p) + "\n", std::string(invalid_format));
    case 3:
      return exact("tab separator", "SPAWN\t" + t + " " + s + " " + p + "\n", std::string(invalid_format));
    case 4: {
      constexpr std::array<std::string_view, 4> lines = {"SPAWN", "HELLO", "\r", "SPAWN  "};
      return exact("short line", std::string(lines[below(lines.size())]) + "\n", std::string(invalid_format));
    }
    case 5: {
      std::size_t length = below(48);
      if (length == 32) length = 0;
      return exact("token length", line(hex(length, true), s, p) + "\n", token_message(length));
    }
    case 6: {
      constexpr std::array<char, 4> strangers = {'g', 'z', '-', 'G'};
      std::string bad = t;
      bad[below(bad.size())] = strangers[below(strangers.size())];
      return exact("token not hex", line(bad, s, p) + "\n", token_message(32));
    }
    case 7:
      // 31 digits and a two-byte character: 33 bytes.
      return exact("token multi-byte", line(hex(31, true) + "\xC3\xA9", s, p) + "\n", token_message(33));
    case 8: {
      std::size_t length = below(80);
      if (length == 64) length = 0;
      return exact("secret length", line(t, hex(length, true), p) + "\n", secret_message(length));
    }
    case 9:
      return exact("wrong enclave name", line(t, s, enclave_folder_ + "other-enclave.exe") + "\n",
                   std::string(bad_name));
    case 10:
      return exact("outside the roots", line(t, s, "C:\\Windows\\vault-enclave.exe") + "\n", std::string(bad_location));
    case 11: {
      std::string slashes = p;
      for (char& c : slashes) {
        if (c == '\\') c = '/';
      }
      return exact("forward slashes", line(t, s, slashes) + "\n", std::string(bad_location));
    }
    case 12:
      return exact("parent component", line(t, s, enclave_folder_ + "..\\vault-enclave.exe") + "\n",
                   std::string(bad_location));
    case 13:
      return exact("double quote in path", line(t, s, enclave_folder_ + "a\"b\\vault-enclave.exe") + "\n",
                   std::string(bad_characters));
    case 14: {
      constexpr std::array<char, 4> strangers = {'g', 'z', '-', 'G'};
      const char stranger = strangers[below(strangers.size())];
      std::string bad = s;
      bad[below(bad.size())] = stranger;
      return exact("secret not hex", line(t, bad, p) + "\n",
                   std::string("ERR Bad ipc_secret hex: Invalid hex char: ") + stranger);
    }
    case 15: {
      // 62 digits and the two bytes of U+00E9; the first of them, 0xC3, is
      // reported as the character U+00C3.
      std::string bad = hex(62, true);
      bad.insert(below(63), "\xC3\xA9");
      return exact("secret multi-byte", line(t, bad, p) + "\n", "ERR Bad ipc_secret hex: Invalid hex char: \xC3\x83");
    }
    case 16:
      // The second space in front of the path makes it begin with a space.
      return exact("path with leading space", "SPAWN " + t + " " + s + "  " + p + "\n", std::string(bad_location));
    default:
      // Passes every check; the start fails, since there is no such file.
      return exact("missing enclave file", line(t, s, enclave_folder_ + "missing-vault-enclave.exe") + "\n",
                   "ERR CreateProcessAsUser failed: error 2");
  }
}

Request RequestMaker::over_long_field() {
  const std::string t = token();
  const std::string s = secret();
  switch (below(4)) {
    case 0: {
      const std::size_t length = 33 + below(2000);
      return exact("long token", line(hex(length, false), s, enclave_path_) + "\n", token_message(length));
    }
    case 1: {
      const std::size_t length = 65 + below(4000);
      return exact("long secret", line(t, hex(length, false), enclave_path_) + "\n", secret_message(length));
    }
    case 2:
      return exact("long path",
                   line(t, s, enclave_folder_ + std::string(300 + below(3000), 'x') + "\\vault-enclave.ex") + "\n",
                   std::string(bad_name));
    default:
      return exact("long verb", std::string(100 + below(3000), 'S') + " " + t + " " + s + " " + enclave_path_ + "\n",
                   std::string(invalid_format));
  }
}

Request RequestMaker::empty() {
  if (below(2) == 0) return silent("empty line", "\n");
  Request request = silent("hang-up without a byte", "");
  request.hang_up = true;
  return request;
}

Request RequestMaker::non_utf8() {
  constexpr std::array<std::string_view, 8> lines = {
      "\xFF",                   // never a UTF-8 byte
      "\x80",                   // a continuation byte with no lead
      "SPAWN \xC3",             // cut off at the end
      "\xC0\xAF",               // over-long encoding of '/'
      "\xED\xA0\x80",           // a surrogate
      "\xF4\x90\x80\x80",       // beyond U+10FFFF
      "SPAWN abc\xE2\x82",      // three-byte sequence cut off
      "SPAWN \xFE\xFE\xFE\xFE"  // never UTF-8 bytes
  };
  const std::size_t pick = below(lines.size() + 1);
  if (pick < lines.size()) return silent("non-UTF-8", std::string(lines[pick]) + "\n");
  // A whole request with one bad byte inside the path.
  std::string bytes = line(token(), secret(), enclave_folder_ + "\xA0vault-enclave.exe") + "\n";
  return silent("non-UTF-8 in the path", std::move(bytes));
}

Request RequestMaker::over_long_line(std::size_t length) {
  std::string bytes = "SPAWN " + token() + " " + secret() + " " + enclave_folder_;
  bytes.append(length - bytes.size(), 'x');
  bytes += "\\vault-enclave.exe\n";
  return silent("line over 64 KiB", std::move(bytes));
}

Request RequestMaker::token_length_probe(std::size_t length) {
  return exact("probe", line(hex(length, true), secret(), enclave_path_) + "\n", token_message(length));
}

Request RequestMaker::from_rejected_caller(std::string_view reason) {
  Request request;
  switch (below(5)) {
    case 0:
      request = valid();
      break;
    case 1:
    case 2:
      request = malformed();
      break;
    case 3:
      request = over_long_field();
      break;
    default:
      request = below(2) == 0 ? empty() : non_utf8();
      break;
  }
  request.kind = "rejected caller, " + request.kind;
  if (request.expect != Expect::silence) {
    request.expect = Expect::exact;
    request.reply = std::string(not_authorized) + std::string(reason);
  }
  return request;
}

}  // namespace bv::soak
