#include "enclave/hand_over.h"

#include <algorithm>

#include "brisvander/enclave.h"
#include "enclave/command_line.h"
#include "text/utf.h"

namespace bv::enclave_side {

namespace {

std::unexpected<Refusal> refuse(int code, std::string message) {
  return std::unexpected(Refusal{code, std::move(message)});
}

std::string error_text(std::uint32_t error) {
  return "error " + std::to_string(error);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes a secret line into `secret`; false when `line` is not exactly 64
// lowercase hexadecimal digits and a line feed.
bool decode_secret_line(std::string_view line, std::array<std::uint8_t, secret_size>& secret) {
  if (line.size() != secret_line_size || line.back() != '\n') return false;
  for (std::size_t i = 0; i < secret_size; ++i) {
    const int high = hex_value(line[2 * i]);
    const int low = hex_value(line[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    secret[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

// Whether two lines are the same, in a time that does not depend on where
// they differ.
bool same_line(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference =
        static_cast<unsigned char>(difference | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
  }
  return difference == 0;
}

// The secret line from standard input, decoded into `secret`; the line
// itself stays in `line` for the comparison with the file.
std::expected<void, Refusal> take_secret_line(EnclaveSystem& system, SecretString& line,
                                              std::array<std::uint8_t, secret_size>& secret) {
  const InputLimits limits{.max_bytes = secret_line_size + 1,
                           .deadline_ms = system.now_ms() + secret_line_timeout_ms,
                           .stop_at_line_feed = true};
  const InputRead read = read_standard_input(system, limits, line);
  const std::string prefix = "standard input: ";
  switch (read.stop) {
    case InputRead::Stop::no_input:
      return refuse(BV_ENCLAVE_E_SECRET_LINE, prefix + "there is none");
    case InputRead::Stop::console:
      return refuse(BV_ENCLAVE_E_SECRET_LINE, prefix + "a console, not the pipe of the service");
    case InputRead::Stop::error:
      return refuse(BV_ENCLAVE_E_SECRET_LINE, prefix + "reading failed: " + error_text(read.error));
    case InputRead::Stop::time_out:
      return refuse(BV_ENCLAVE_E_SECRET_LINE,
                    prefix + "no secret line within " + std::to_string(secret_line_timeout_ms) + " ms");
    case InputRead::Stop::end:
    case InputRead::Stop::limit:
    case InputRead::Stop::line_feed:
      break;
  }
  if (!decode_secret_line(line.get(), secret)) {
    return refuse(BV_ENCLAVE_E_SECRET_LINE,
                  prefix + std::to_string(line.get().size()) +
                      " bytes that are not one secret line (64 lowercase hexadecimal digits and a line feed)");
  }
  return {};
}

// The hand-over file must hold the same line as standard input; once it
// does, it is deleted through the handle it was read with.
std::expected<void, Refusal> take_hand_over_file(EnclaveSystem& system, std::u16string_view path,
                                                 std::string_view line) {
  const std::string prefix = "hand-over file " + text::to_utf8(path) + ": ";
  auto file = system.open_hand_over_file(path);
  if (!file) return refuse(BV_ENCLAVE_E_HAND_OVER_FILE, prefix + "cannot open it: " + error_text(file.error()));
  SecretString content;
  content.get().reserve(secret_line_size + 1);
  if (auto read = read_file(**file, secret_line_size + 1, content); !read) {
    return refuse(BV_ENCLAVE_E_HAND_OVER_FILE, prefix + "reading failed: " + error_text(read.error()));
  }
  if (!same_line(content.get(), line)) {
    return refuse(BV_ENCLAVE_E_HAND_OVER_FILE, prefix + "it does not hold the secret line of standard input");
  }
  if (auto deleted = (*file)->delete_on_close(); !deleted) {
    return refuse(BV_ENCLAVE_E_HAND_OVER_FILE, prefix + "cannot delete it: " + error_text(deleted.error()));
  }
  file->reset();
  return {};
}

}  // namespace

InputRead read_standard_input(EnclaveSystem& system, const InputLimits& limits, SecretString& into) {
  const InputKind kind = system.standard_input_kind();
  if (kind == InputKind::none) return {InputRead::Stop::no_input};
  if (kind == InputKind::console) return {InputRead::Stop::console};
  std::string& bytes = into.get();
  for (;;) {
    if (limits.stop_at_line_feed && bytes.find('\n') != std::string::npos) return {InputRead::Stop::line_feed};
    if (bytes.size() >= limits.max_bytes) return {InputRead::Stop::limit};
    std::size_t wanted = limits.max_bytes - bytes.size();
    if (kind == InputKind::pipe) {
      const auto available = system.input_available();
      if (!available) {
        if (available.error() == win32_error::broken_pipe) return {InputRead::Stop::end};
        return {InputRead::Stop::error, available.error()};
      }
      if (*available == 0) {
        if (limits.deadline_ms && system.now_ms() >= *limits.deadline_ms) return {InputRead::Stop::time_out};
        system.sleep_ms(input_poll_ms);
        continue;
      }
      wanted = std::min<std::size_t>(wanted, *available);
    }
    // Within the capacity reserved up front: no reallocation.
    const std::size_t before = bytes.size();
    bytes.resize(before + wanted);
    const auto read = system.read_input(std::span<char>(bytes.data() + before, wanted));
    bytes.resize(before + (read ? *read : 0));
    if (!read) {
      if (read.error() == win32_error::broken_pipe) return {InputRead::Stop::end};
      return {InputRead::Stop::error, read.error()};
    }
    if (*read == 0) return {InputRead::Stop::end};
  }
}

std::expected<void, std::uint32_t> read_file(HandOverFile& file, std::size_t max_bytes, SecretString& into) {
  std::string& bytes = into.get();
  while (bytes.size() < max_bytes) {
    const std::size_t before = bytes.size();
    bytes.resize(max_bytes);
    const auto read = file.read(std::span<char>(bytes.data() + before, max_bytes - before));
    bytes.resize(before + (read ? *read : 0));
    if (!read) return std::unexpected(read.error());
    if (*read == 0) break;
  }
  return {};
}

std::expected<std::unique_ptr<HandOver>, Refusal> begin_hand_over(EnclaveSystem& system) {
  auto arguments = parse_enclave_command_line(system.command_line());
  if (!arguments) return refuse(BV_ENCLAVE_E_COMMAND_LINE, std::move(arguments.error()));

  auto hand_over = std::make_unique<HandOver>();
  hand_over->pipe_token = arguments->pipe_token;
  hand_over->allowed_sid = arguments->allowed_sid;

  SecretString line;
  line.get().reserve(secret_line_size + 1);
  if (auto taken = take_secret_line(system, line, hand_over->secret.get()); !taken) {
    return std::unexpected(std::move(taken.error()));
  }
  if (arguments->ipc_secret_file) {
    if (auto taken = take_hand_over_file(system, *arguments->ipc_secret_file, line.get()); !taken) {
      return std::unexpected(std::move(taken.error()));
    }
  }
  wipe(line.get());

  if (arguments->shutdown_event) {
    auto event = system.open_shutdown_event(*arguments->shutdown_event);
    if (!event) {
      return refuse(BV_ENCLAVE_E_SHUTDOWN_EVENT, "shutdown event " + text::to_utf8(*arguments->shutdown_event) +
                                                     ": cannot open it: " + error_text(event.error()));
    }
    hand_over->shutdown_event = std::move(*event);
  }
  return hand_over;
}

}  // namespace bv::enclave_side
