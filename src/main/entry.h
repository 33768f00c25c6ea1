#pragma once
// The process entry: the first argument selects an administrative command or,
// when it is anything else (or absent), service mode under the dispatcher.

#include <string>
#include <vector>

#include "platform/platform.h"

namespace bv::entry {

inline constexpr int exit_success = 0;

// Runs the process and gives its exit status: 0, 1 (a failed provisioning
// script) or 101 (a fatal error, reported once on standard error).
// `arguments` is the command line without the program name; only the first
// one is looked at, and it must equal an option exactly.
int run_process(const std::vector<std::u16string>& arguments, platform::Platform& platform);

}  // namespace bv::entry
