#include "broker/password.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "text/utf.h"

namespace bv::broker {
namespace {

constexpr std::u16string_view key_path = u"SOFTWARE\\Brisvander";
constexpr std::u16string_view value_name = u"SvcUserPwd";

constexpr bool is_high_surrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool is_low_surrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

SecretString decode_password_data(std::span<const std::uint8_t> data) {
  const std::size_t unit_count = data.size() / 2;
  const auto unit_at = [&](std::size_t i) {
    return static_cast<char16_t>(data[2 * i] | (static_cast<unsigned>(data[2 * i + 1]) << 8));
  };
  std::size_t length = 0;
  while (length < unit_count && unit_at(length) != 0) ++length;

  // One UTF-16 unit never takes more than three UTF-8 bytes, so the text is
  // built in place without a reallocation that would leave a copy behind.
  SecretString password;
  password.get().reserve(length * 3);
  for (std::size_t i = 0; i < length; ++i) {
    const char16_t unit = unit_at(i);
    if (is_high_surrogate(unit) && i + 1 < length && is_low_surrogate(unit_at(i + 1))) {
      const char32_t low = unit_at(i + 1);
      text::append_utf8(password.get(), 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      text::append_utf8(password.get(), text::kReplacementCharacter);
    } else {
      text::append_utf8(password.get(), unit);
    }
  }
  return password;
}

std::expected<SecretString, std::string> read_account_password(platform::SecurityRegistry& registry) {
  auto key = registry.open_local_machine_key(key_path, platform::key_query_value);
  if (!key) {
    return std::unexpected("RegOpenKeyExW failed: " + std::to_string(key.error()) +
                           " (key may not exist \u2014 run provision-user.ps1 as admin)");
  }
  // Only the size matters here; a missing value leaves it 0 and the data
  // query then reports why.
  const auto size_query = registry.query_value_size(**key, value_name);
  auto value = registry.query_value_data(**key, value_name, size_query.size);
  key->reset();

  // The data bytes are the password itself: wiped however the read ends.
  SecretBytes data(std::move(value.data));
  if (value.status != 0) return std::unexpected("RegQueryValueExW failed: " + std::to_string(value.status));
  if (value.type != platform::reg_sz) {
    return std::unexpected("Registry value is not REG_SZ (type=" + std::to_string(value.type) + ")");
  }
  const std::size_t returned = std::min<std::size_t>(data.get().size(), value.size);
  return decode_password_data(std::span(data.get()).first(returned));
}

void log_password_failure(Log& log, std::string_view message) {
  log.line("Cannot read SvcUserPwd: " + std::string(message));
  log.line("Run provision-user.ps1 as Administrator first.");
}

}  // namespace bv::broker
