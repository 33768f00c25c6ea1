#include "platform/win32/win32_platform.h"

namespace bv::platform::win32 {

Win32Platform::Win32Platform()
    : platform_{.services = services_,
                .files = files_,
                .processes = processes_,
                .security = security_,
                .trust = trust_,
                .clock = clock_,
                .console = console_} {}

}  // namespace bv::platform::win32
