#include "companion/request.h"

#include <cstring>

#include "companion/exchange.h"
#include "shared/text.h"
#include "shared/wipe.h"
#include "text/utf.h"
#include "text/white_space.h"

namespace bv::companion_side {

namespace {

constexpr std::string_view verb = "SPAWN";
constexpr std::size_t token_bytes = 16;
constexpr std::size_t secret_bytes = 32;

std::string status_text(std::uint32_t status) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += digits[(status >> shift) & 0x0F];
  return text;
}

}  // namespace

std::optional<std::string> enclave_path_fault(std::u16string_view path) {
  if (path.empty()) return "the enclave path is empty";
  for (const char16_t unit : path) {
    if (unit < 0x20) return "the enclave path holds a control character";
    if (unit == u'"') return "the enclave path holds a double quote";
  }
  if (!text::to_utf8_strict(path)) return "the enclave path holds an unpaired surrogate";
  if (text::is_white_space(path.back())) return "the enclave path ends in white space, which the service would drop";
  return std::nullopt;
}

std::expected<void, std::string> write_random_hex(CompanionSystem& system, std::span<char> out) {
  sides::SecretBytes<secret_bytes> random;
  const std::span<std::uint8_t> bytes = std::span(random.get()).first(out.size() / 2);
  if (auto made = system.random(bytes); !made)
    return std::unexpected("BCryptGenRandom failed: status " + status_text(made.error()));
  sides::write_hex(bytes, out.data());
  return {};
}

Reply classify_reply(std::string_view line) {
  if (line.starts_with("ERR ")) return Reply{.kind = Reply::Kind::refused, .message = line.substr(4)};
  if (!line.starts_with("OK ")) return {};
  const std::string_view digits = line.substr(3);
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return {};
  std::uint64_t value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return {};
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  if (value > 0xFFFFFFFFu) return {};
  return Reply{.kind = Reply::Kind::ok, .enclave_pid = static_cast<std::uint32_t>(value)};
}

RequestResult request_enclave(CompanionSystem& system, std::u16string_view enclave_path, std::uint32_t timeout_ms,
                              bv_grant& grant) {
  secure_zero(&grant, sizeof grant);
  if (auto fault = enclave_path_fault(enclave_path)) return {BV_E_ARGUMENT, std::move(*fault)};
  const std::string path = text::to_utf8(enclave_path);

  // The token and the secret are made straight into a grant of this
  // function's own, copied to the caller's only for an "OK {pid}", and
  // zeroed here whatever happens.
  bv_grant candidate{};
  const sides::WipeOnExit<bv_grant> wipe_candidate(candidate);
  for (const std::span<char> hex : {std::span<char>(candidate.pipe_token, 2 * token_bytes),
                                    std::span<char>(candidate.ipc_secret, 2 * secret_bytes)}) {
    if (auto made = write_random_hex(system, hex); !made) return {BV_E_SYSTEM, std::move(made.error())};
  }

  SecretString line;
  line.get().reserve(verb.size() + 1 + 2 * token_bytes + 1 + 2 * secret_bytes + 1 + path.size() + 1);
  line.get().append(verb).append(" ").append(candidate.pipe_token).append(" ").append(candidate.ipc_secret);
  line.get().append(" ").append(path).append("\n");

  const ExchangeSettings settings{.connect_timeout_ms = timeout_ms, .reply_timeout_ms = timeout_ms};
  ExchangeOutcome outcome = exchange(system, settings, line.get());
  wipe(line.get());
  if (outcome.code != BV_OK) {
    if (outcome.write_error) {
      outcome.message =
          "writing the request failed: error " + std::to_string(*outcome.write_error) + "; " + outcome.message;
    }
    return {outcome.code, std::move(outcome.message)};
  }

  const Reply reply = classify_reply(*outcome.reply);
  switch (reply.kind) {
    case Reply::Kind::ok:
      candidate.enclave_pid = reply.enclave_pid;
      std::memcpy(&grant, &candidate, sizeof grant);
      return {BV_OK, {}};
    case Reply::Kind::refused:
      return {BV_E_REFUSED, std::string(reply.message)};
    case Reply::Kind::other:
      break;
  }
  return {BV_E_NO_REPLY, "the reply is neither \"OK {pid}\" nor \"ERR {message}\": " + *outcome.reply};
}

}  // namespace bv::companion_side
