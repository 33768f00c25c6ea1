#pragma once
// Authenticode verification.

#include <cstdint>
#include <string_view>

namespace bv::platform {

class Trust {
 public:
  virtual ~Trust() = default;
  // WinVerifyTrust(NULL, WINTRUST_ACTION_GENERIC_VERIFY_V2) on the file, no
  // UI, no revocation check, no state kept. 0 when trusted, else the result.
  virtual std::uint32_t verify_file(std::u16string_view path) = 0;
};

}  // namespace bv::platform
