#pragma once
// Everything the logic reaches the system through. The process entry builds
// the Win32 implementations and hands this down; host tests hand down fakes.

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/pipes_files.h"
#include "platform/processes_tokens.h"
#include "platform/security_registry.h"
#include "platform/service_control.h"
#include "platform/trust.h"

namespace bv::platform {

struct Platform {
  ServiceControl& services;
  PipesFiles& files;
  ProcessesTokens& processes;
  SecurityRegistry& security;
  Trust& trust;
  Clock& clock;
  Console& console;
  EventLog& events;
};

}  // namespace bv::platform
