#pragma once
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "common/log.h"
#include "enclave/account_password.h"
#include "platform/security_registry.h"
#include "secret/secret.h"

namespace bv::broker {

// Reads the isolation account's password from
// HKLM\SOFTWARE\Brisvander\SvcUserPwd, or gives the failure message.
std::expected<SecretString, std::string> read_account_password(platform::SecurityRegistry& registry);

// The password held in a REG_SZ value's data: little-endian UTF-16 units (a
// final odd byte ignored) up to the first zero unit, or all of them when
// there is none; an unpaired surrogate becomes U+FFFD.
SecretString decode_password_data(std::span<const std::uint8_t> data);

// The two log lines of a failed read, the cause and then the operator's
// advice, reported as one event.
void log_password_failure(Log& log, std::string_view message);

// The same read made again while the service runs, for a logon that was
// refused: a failure is logged as at start, and gives none.
enclave::AccountPassword::Reader stored_password_reader(platform::SecurityRegistry& registry, Log& log);

}  // namespace bv::broker
