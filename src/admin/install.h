#pragma once
// Registration and removal of the service, run once from an elevated console.

#include "common/fatal.h"
#include "platform/platform.h"

namespace bv::admin {

// Registers the running executable as an automatically started LocalSystem
// service, unless a service of that name is already registered. Exit status 0
// when it ran to its end.
CommandResult install_service(platform::Platform& platform);

// Marks the registration for deletion; a service that cannot be opened for
// deletion counts as not registered. Exit status 0 when it ran to its end.
CommandResult uninstall_service(platform::Platform& platform);

}  // namespace bv::admin
