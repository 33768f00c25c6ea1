#pragma once
// Security descriptors from SDDL text, and the registry.

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/owned.h"

namespace bv::platform {

// What one RegQueryValueExW call reported.
struct RegistryValue {
  std::int32_t status = 0;       // the LSTATUS the call returned
  std::uint32_t type = 0;        // the type out-variable
  std::uint32_t size = 0;        // the size out-variable
  std::vector<std::uint8_t> data;  // the bytes written into the buffer (data query only)
};

inline constexpr std::uint32_t key_query_value = 0x0001;
inline constexpr std::uint32_t key_set_value = 0x0002;
inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_expand_sz = 2;
inline constexpr std::uint32_t reg_dword = 4;

class SecurityRegistry {
 public:
  virtual ~SecurityRegistry() = default;
  // ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1).
  virtual Result<Descriptor> convert_sddl(std::u16string_view sddl) = 0;

  // RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access). The error is the status.
  virtual std::expected<Key, std::int32_t> open_local_machine_key(std::u16string_view path,
                                                                  std::uint32_t access) = 0;
  // RegQueryValueExW with no buffer: the size query.
  virtual RegistryValue query_value_size(RegistryKey& key, std::u16string_view name) = 0;
  // RegQueryValueExW into a buffer of `size` bytes: the data query.
  virtual RegistryValue query_value_data(RegistryKey& key, std::u16string_view name, std::uint32_t size) = 0;

  // RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, no class, REG_OPTION_NON_VOLATILE,
  // access, no security attributes): opens the key, creating it (and any
  // missing parent) when it is not there. The error is the status.
  virtual std::expected<Key, std::int32_t> create_local_machine_key(std::u16string_view path, std::uint32_t access) = 0;
  // RegSetValueExW(key, name, 0, REG_EXPAND_SZ, the text's UTF-16 units and a
  // terminating zero unit). Returns the status.
  virtual std::int32_t set_expand_string_value(RegistryKey& key, std::u16string_view name,
                                               std::u16string_view text) = 0;
  // RegSetValueExW(key, name, 0, REG_DWORD, the value's four bytes). Returns
  // the status.
  virtual std::int32_t set_dword_value(RegistryKey& key, std::u16string_view name, std::uint32_t value) = 0;
  // RegDeleteKeyW(HKEY_LOCAL_MACHINE, path): the key with its values; a key
  // with subkeys is not deleted. Returns the status (2 for a missing key).
  virtual std::int32_t delete_local_machine_key(std::u16string_view path) = 0;
};

}  // namespace bv::platform
