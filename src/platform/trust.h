#pragma once
// Authenticode verification.

#include <cstdint>
#include <string_view>

namespace bv::platform {

// WTD_CACHE_ONLY_URL_RETRIEVAL, for WinVerifyTrust's dwProvFlags: whatever
// the signature names by URL (issuer certificates, revocation lists) is
// taken from the machine's cache only, never fetched.
inline constexpr std::uint32_t trust_cache_only_url_retrieval = 0x00001000;

class Trust {
 public:
  virtual ~Trust() = default;
  // WinVerifyTrust(NULL, WINTRUST_ACTION_GENERIC_VERIFY_V2) on the file, no
  // UI, no revocation check, no state kept, dwProvFlags `provider_flags`.
  // 0 when trusted, else the result.
  virtual std::uint32_t verify_file(std::u16string_view path, std::uint32_t provider_flags) = 0;
};

}  // namespace bv::platform
