#pragma once
// Registration and removal of the service, run once from an elevated console.

#include <string>

#include "common/fatal.h"
#include "platform/platform.h"

namespace bv::admin {

// Registers the running executable as an automatically started LocalSystem
// service, unless a service of that name is already registered. A new
// registration also gets, as far as the system takes them (a setting that
// cannot be applied is named on standard error, and the install goes on): a
// description, recovery actions (restart after 10 s on the first and second
// failure, nothing after that, the count reset after a day, a stop with an
// error code counting as a failure), and the executable as the message file
// of its event source. Exit status 0 when it ran to its end.
CommandResult install_service(platform::Platform& platform);

// Marks the registration for deletion and removes its event source; a
// service that cannot be opened for deletion counts as not registered. Exit
// status 0 when it ran to its end.
CommandResult uninstall_service(platform::Platform& platform);

// The description that services.msc shows for the service (UTF-8).
std::string service_description();

// The event source's key under HKEY_LOCAL_MACHINE: the source is the
// service's name, in the Application log.
std::u16string event_source_key();

}  // namespace bv::admin
