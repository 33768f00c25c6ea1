#pragma once
#include "platform/security_registry.h"

namespace bv::platform::win32 {

class Win32SecurityRegistry final : public SecurityRegistry {
 public:
  Result<Descriptor> convert_sddl(std::u16string_view sddl) override;
  std::expected<Key, std::int32_t> open_local_machine_key(std::u16string_view path, std::uint32_t access) override;
  RegistryValue query_value_size(RegistryKey& key, std::u16string_view name) override;
  RegistryValue query_value_data(RegistryKey& key, std::u16string_view name, std::uint32_t size) override;
  std::expected<Key, std::int32_t> create_local_machine_key(std::u16string_view path, std::uint32_t access) override;
  std::int32_t set_expand_string_value(RegistryKey& key, std::u16string_view name, std::u16string_view text) override;
  std::int32_t set_dword_value(RegistryKey& key, std::u16string_view name, std::uint32_t value) override;
  std::int32_t delete_local_machine_key(std::u16string_view path) override;
};

}  // namespace bv::platform::win32
