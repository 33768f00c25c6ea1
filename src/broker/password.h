#pragma once
#include <expected>
#include <string>

#include "common/secret.h"
#include "platform/security_registry.h"

namespace bv::broker {

// Reads the isolation account's password from
// HKLM\SOFTWARE\Brisvander\SvcUserPwd, or gives the failure message.
std::expected<SecretString, std::string> read_account_password(platform::SecurityRegistry& registry);

}  // namespace bv::broker
