#include "broker/spawn_request.h"

#include <array>
#include <utility>

#include "enclave/artefacts.h"
#include "text/lowercase.h"
#include "text/utf.h"
#include "text/white_space.h"

namespace bv::broker {
namespace {

constexpr std::string_view spawn_verb = "SPAWN";
constexpr std::size_t pipe_token_length = 32;
constexpr std::size_t ipc_secret_text_length = 64;
constexpr std::array<std::string_view, 2> enclave_names = {"vault-enclave.exe",
                                                           "vault-enclave-x86_64-pc-windows-msvc.exe"};
// Looked up in this order on every request; nothing is cached.
constexpr std::array<std::u16string_view, 3> location_variables = {u"ProgramFiles", u"ProgramFiles(x86)",
                                                                   u"LOCALAPPDATA"};

constexpr std::string_view location_message = "Enclave path must be under %ProgramFiles% or %LOCALAPPDATA%";

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_hex_text(std::string_view text) {
  for (char c : text) {
    if (hex_digit_value(c) < 0) return false;
  }
  return true;
}

// Splits at U+0020 into at most four fields: each of the first three spaces
// ends a field, the fourth field is the rest of the line.
std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (fields.size() < 3) {
    const auto space = line.find(' ', start);
    if (space == std::string_view::npos) break;
    fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

bool has_enclave_name(std::string_view lower_path) {
  for (auto name : enclave_names) {
    if (lower_path.ends_with(name)) return true;
  }
  return false;
}

// A component made only of dots and spaces with two dots or more climbs out
// of (or, with Windows' trailing dot and space stripping, aliases) its
// parent, which a prefix test cannot see.
bool has_parent_component(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    const auto component = path.substr(start, end - start);
    std::size_t dots = 0;
    bool only_dots_and_spaces = true;
    for (char c : component) {
      if (c == '.') {
        ++dots;
      } else if (c != ' ') {
        only_dots_and_spaces = false;
        break;
      }
    }
    if (only_dots_and_spaces && dots >= 2) return true;
    start = end + 1;
  }
  return false;
}

// The lower-cased path lies under `lower_root` when it begins with it and
// the root ends there as a directory: the value ends with a separator, or
// the path goes on with a backslash.
bool is_under(std::string_view lower_path, std::string_view lower_root) {
  if (!lower_path.starts_with(lower_root)) return false;
  if (lower_root.ends_with('\\') || lower_root.ends_with('/')) return true;
  return lower_path.size() > lower_root.size() && lower_path[lower_root.size()] == '\\';
}

bool is_under_accepted_location(std::string_view lower_path, const EnvironmentLookup& environment) {
  bool under_a_root = false;
  for (auto name : location_variables) {
    const auto value = environment(name);
    if (!value || value->empty()) continue;
    const auto utf8 = text::to_utf8_strict(*value);
    if (!utf8) continue;
    if (is_under(lower_path, text::to_lower(*utf8))) under_a_root = true;
  }
  return under_a_root && !has_parent_component(lower_path);
}

// A double quote would end the quoted program name on the enclave's command
// line; control characters and a colon past the drive letter (an alternate
// data stream, a device name) have no place in an executable's path.
bool has_forbidden_character(std::string_view path) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '"' || c < 0x20 || c == 0x7F) return true;
    if (c == ':') {
      const auto first = static_cast<unsigned char>(path[0]);
      const bool drive_letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
      if (i != 1 || !drive_letter) return true;
    }
  }
  return false;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> decode_hex(std::string_view text) {
  if (text.size() % 2 != 0) return std::unexpected(std::string("Odd length hex string"));
  // Partly decoded bytes of a rejected secret are wiped with the buffer.
  SecretBytes bytes;
  bytes.get().reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hex_digit_value(text[i]);
    const int low = high < 0 ? -1 : hex_digit_value(text[i + 1]);
    if (high < 0 || low < 0) {
      std::string message = "Invalid hex char: ";
      // The offending byte shown as the character with that code point.
      text::append_utf8(message, static_cast<unsigned char>(text[high < 0 ? i : i + 1]));
      return std::unexpected(std::move(message));
    }
    bytes.get().push_back(static_cast<std::uint8_t>((high << 4) | low));
  }
  return std::move(bytes.get());
}

std::expected<SpawnRequest, std::string> parse_spawn_request(std::string_view line,
                                                             const EnvironmentLookup& environment) {
  const auto fields = split_fields(text::trim_trailing_white_space(line));
  if (fields.size() < 4 || fields[0] != spawn_verb) return std::unexpected(std::string("Invalid request format"));

  const auto pipe_token = fields[1];
  if (pipe_token.size() != pipe_token_length || !is_hex_text(pipe_token)) {
    return std::unexpected("pipe_token must be 32 hex chars, got " + std::to_string(pipe_token.size()));
  }
  const auto secret_text = fields[2];
  if (secret_text.size() != ipc_secret_text_length) {
    return std::unexpected("ipc_secret must be 64 hex chars, got " + std::to_string(secret_text.size()));
  }

  const auto enclave_path = fields[3];
  const auto lower_path = text::to_lower(enclave_path);
  if (!has_enclave_name(lower_path)) {
    return std::unexpected(std::string("Enclave path must end with 'vault-enclave.exe'"));
  }
  if (!is_under_accepted_location(lower_path, environment)) return std::unexpected(std::string(location_message));
  if (has_forbidden_character(enclave_path)) {
    return std::unexpected(std::string("Enclave path contains characters that are not allowed"));
  }

  auto secret = decode_hex(secret_text);
  if (!secret) return std::unexpected("Bad ipc_secret hex: " + secret.error());
  return SpawnRequest{std::string(pipe_token), SecretBytes(std::move(*secret)), std::string(enclave_path)};
}

std::optional<std::string> lookup_caller_sid(platform::KernelObject& caller_process,
                                             platform::ProcessesTokens& processes) {
  auto token = processes.open_process_token(caller_process, platform::token_query);
  if (!token) return std::nullopt;
  auto sid = enclave::token_user_sid_string(processes, **token);
  token->reset();
  return sid;
}

SpawnOutcome handle_spawn_request(const CallerIdentity& caller, std::string_view line,
                                  enclave::AccountPassword& account_password, platform::Platform& platform, Log& log,
                                  const Launcher& launch) {
  const auto account_sid = lookup_caller_sid(*caller.process, platform.processes);
  const EnvironmentLookup environment = [&](std::u16string_view name) {
    return platform.processes.environment_variable(name);
  };

  SpawnOutcome outcome;
  auto request = parse_spawn_request(line, environment);
  if (!request) {
    outcome.launch = std::unexpected(std::move(request.error()));
  } else {
    const enclave::LaunchInputs inputs{
        .enclave_path = request->enclave_path,
        .pipe_token = request->pipe_token,
        .ipc_secret = request->ipc_secret.get(),
        .account_password = account_password,
        .allowed_sid = account_sid ? std::optional<std::string_view>(*account_sid) : std::nullopt,
    };
    outcome.launch = launch(inputs);
  }

  if (outcome.launch) {
    outcome.reply = "OK " + std::to_string(outcome.launch->process_id);
    log.report(Event::enclave_launched, std::to_string(outcome.launch->process_id), caller.image_path,
               account_sid.value_or("unknown"), request->enclave_path);
  } else {
    log.report(Event::spawn_error, outcome.launch.error());
    outcome.reply = "ERR " + outcome.launch.error();
  }
  return outcome;
}

}  // namespace bv::broker
