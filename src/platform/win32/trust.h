#pragma once
#include "platform/trust.h"

namespace bv::platform::win32 {

class Win32Trust final : public Trust {
 public:
  std::uint32_t verify_file(std::u16string_view path, std::uint32_t provider_flags) override;
};

}  // namespace bv::platform::win32
