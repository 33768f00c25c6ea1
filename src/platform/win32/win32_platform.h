#pragma once
// The Win32 implementations of every platform interface, built once by the
// process entry and handed down as one Platform.

#include "platform/platform.h"
#include "platform/win32/clock_console.h"
#include "platform/win32/event_log.h"
#include "platform/win32/pipes_files.h"
#include "platform/win32/processes_tokens.h"
#include "platform/win32/security_registry.h"
#include "platform/win32/service_control.h"
#include "platform/win32/trust.h"

namespace bv::platform::win32 {

class Win32Platform {
 public:
  Win32Platform();
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // Valid for the lifetime of this object.
  platform::Platform& platform() { return platform_; }

 private:
  Win32ServiceControl services_;
  Win32PipesFiles files_;
  Win32ProcessesTokens processes_;
  Win32SecurityRegistry security_;
  Win32Trust trust_;
  Win32Clock clock_;
  Win32Console console_;
  Win32EventLog events_;
  platform::Platform platform_;
};

}  // namespace bv::platform::win32
