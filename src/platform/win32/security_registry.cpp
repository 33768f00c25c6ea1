#include "platform/win32/security_registry.h"

#include <windows.h>
// This needs the types that windows.h declares.
#include <sddl.h>

#include <algorithm>
#include <limits>
#include <string>

#include "platform/win32/owners.h"
#include "platform/win32/wide.h"
#include "secret/secret.h"

namespace bv::platform::win32 {

// The portable header's numbers are the SDK's.
static_assert(key_query_value == KEY_QUERY_VALUE && key_set_value == KEY_SET_VALUE);
static_assert(reg_sz == REG_SZ && reg_expand_sz == REG_EXPAND_SZ && reg_dword == REG_DWORD);

Result<Descriptor> Win32SecurityRegistry::convert_sddl(std::u16string_view sddl) {
  const std::u16string text(sddl);
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(text), SDDL_REVISION_1, descriptor.put(), nullptr)) {
    const ErrorCode error = ::GetLastError();
    descriptor.reset();  // whatever pointer the failed call left behind
    return std::unexpected(error);
  }
  return own<kind::SecurityDescriptor>(std::move(descriptor));
}

std::expected<Key, std::int32_t> Win32SecurityRegistry::open_local_machine_key(std::u16string_view path,
                                                                               std::uint32_t access) {
  const std::u16string key_path(path);
  UniqueKey key;
  const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(key_path), 0, access, key.put());
  if (status != ERROR_SUCCESS) return std::unexpected(static_cast<std::int32_t>(status));
  return own<kind::RegistryKey>(std::move(key));
}

RegistryValue Win32SecurityRegistry::query_value_size(RegistryKey& key, std::u16string_view name) {
  const std::u16string value_name(name);
  DWORD type = 0;
  DWORD size = 0;
  const LSTATUS status = ::RegQueryValueExW(raw(key), wide(value_name), nullptr, &type, nullptr, &size);
  return {.status = static_cast<std::int32_t>(status), .type = type, .size = size, .data = {}};
}

RegistryValue Win32SecurityRegistry::query_value_data(RegistryKey& key, std::u16string_view name, std::uint32_t size) {
  const std::u16string value_name(name);
  std::vector<std::uint8_t> data(size);
  // A buffer of zero bytes is still a buffer: a null pointer would turn this
  // into a size query, which succeeds whatever the value holds.
  BYTE empty_buffer = 0;
  BYTE* buffer = data.empty() ? &empty_buffer : data.data();
  DWORD type = 0;
  DWORD data_size = size;
  const LSTATUS status = ::RegQueryValueExW(raw(key), wide(value_name), nullptr, &type, buffer, &data_size);
  if (status == ERROR_SUCCESS) {
    data.resize(std::min<std::size_t>(data_size, data.size()));
  } else {
    wipe(data);  // the content is undefined after a failed query, and may be part of a secret
  }
  return {.status = static_cast<std::int32_t>(status), .type = type, .size = data_size, .data = std::move(data)};
}

std::expected<Key, std::int32_t> Win32SecurityRegistry::create_local_machine_key(std::u16string_view path,
                                                                                 std::uint32_t access) {
  const std::u16string key_path(path);
  UniqueKey key;
  const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key_path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return std::unexpected(static_cast<std::int32_t>(status));
  return own<kind::RegistryKey>(std::move(key));
}

std::int32_t Win32SecurityRegistry::set_expand_string_value(RegistryKey& key, std::u16string_view name,
                                                            std::u16string_view text) {
  const std::u16string value_name(name);
  const std::u16string data(text);
  // The data's size in bytes counts the terminating zero unit.
  const std::size_t size = (data.size() + 1) * sizeof(char16_t);
  if (size > std::numeric_limits<DWORD>::max()) return ERROR_INVALID_PARAMETER;
  return static_cast<std::int32_t>(::RegSetValueExW(raw(key), wide(value_name), 0, REG_EXPAND_SZ,
                                                    reinterpret_cast<const BYTE*>(data.c_str()),
                                                    static_cast<DWORD>(size)));
}

std::int32_t Win32SecurityRegistry::set_dword_value(RegistryKey& key, std::u16string_view name, std::uint32_t value) {
  const std::u16string value_name(name);
  const DWORD data = value;
  return static_cast<std::int32_t>(
      ::RegSetValueExW(raw(key), wide(value_name), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data));
}

std::int32_t Win32SecurityRegistry::delete_local_machine_key(std::u16string_view path) {
  const std::u16string key_path(path);
  return static_cast<std::int32_t>(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, wide(key_path)));
}

}  // namespace bv::platform::win32
