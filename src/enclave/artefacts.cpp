#include "enclave/artefacts.h"

#include "text/utf.h"

namespace bv::enclave {

std::optional<std::string> token_user_sid_string(platform::ProcessesTokens& processes, platform::KernelObject& token) {
  auto sid = processes.token_user_sid(token);
  if (!sid) return std::nullopt;
  return text::to_utf8(*sid);
}

}  // namespace bv::enclave
