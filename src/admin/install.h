#pragma once
// Registration and removal of the service, run once from an elevated console.

#include <cstdint>
#include <string_view>

#include "common/fatal.h"
#include "platform/platform.h"

namespace bv::admin {

inline constexpr std::uint32_t sc_manager_connect = 0x0001;
inline constexpr std::uint32_t sc_manager_create_service = 0x0002;
inline constexpr std::uint32_t service_query_status = 0x0004;
inline constexpr std::uint32_t service_all_access = 0xF01FF;
inline constexpr std::uint32_t delete_access = 0x00010000;
inline constexpr std::uint32_t service_auto_start = 2;
inline constexpr std::uint32_t service_error_normal = 1;

inline constexpr std::u16string_view service_display_name = u"Brisvander Enclave Service";

// Registers the running executable as an automatically started LocalSystem
// service, unless a service of that name is already registered. Exit status 0
// when it ran to its end.
CommandResult install_service(platform::Platform& platform);

// Marks the registration for deletion; a service that cannot be opened for
// deletion counts as not registered. Exit status 0 when it ran to its end.
CommandResult uninstall_service(platform::Platform& platform);

}  // namespace bv::admin
