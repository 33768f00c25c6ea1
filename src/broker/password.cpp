#include "broker/password.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "text/utf.h"

namespace bv::broker {
namespace {

constexpr std::u16string_view key_path = u"SOFTWARE\\Brisvander";
constexpr std::u16string_view value_name = u"SvcUserPwd";

}  // namespace

SecretString decode_password_data(std::span<const std::uint8_t> data) {
  const std::size_t unit_count = data.size() / 2;
  const auto unit_at = [&](std::size_t i) {
    return static_cast<char16_t>(data[2 * i] | (static_cast<unsigned>(data[2 * i + 1]) << 8));
  };
  std::size_t length = 0;
  while (length < unit_count && unit_at(length) != 0) ++length;

  // Both containers are reserved in full before anything goes in (one UTF-16
  // unit never takes more than three UTF-8 bytes), so no reallocation leaves
  // a copy of the password behind.
  SecretU16String units;
  units.get().reserve(length);
  for (std::size_t i = 0; i < length; ++i) units.get().push_back(unit_at(i));
  SecretString password;
  password.get().reserve(length * 3);
  text::append_utf8(password.get(), units.get());
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
  log.report(Event::password_unreadable, message);
}

enclave::AccountPassword::Reader stored_password_reader(platform::SecurityRegistry& registry, Log& log) {
  return [&registry, &log]() -> std::optional<SecretString> {
    auto read = read_account_password(registry);
    if (!read) {
      log_password_failure(log, read.error());
      return std::nullopt;
    }
    return std::move(*read);
  };
}

}  // namespace bv::broker
