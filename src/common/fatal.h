#pragma once
// A step of an administrative command (or the dispatcher start) that cannot
// go on. The command hands it back as a value; only the process entry turns
// it into the one report on standard error and exit status 101.

#include <expected>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/processes_tokens.h"

namespace bv {

struct FatalError {
  std::string context;                              // the failed step, as the operator reads it
  std::optional<platform::ErrorCode> system_error;  // the code beneath, when there is one
  bool operator==(const FatalError&) const = default;
};

// What an administrative command ends with: its exit status, or a fatal error.
using CommandResult = std::expected<int, FatalError>;

inline constexpr int exit_fatal = 101;

// The report's text, ending with a line feed: the context and, when a system
// error lies beneath, its code and the system's message for it.
std::string fatal_report(const FatalError& error, platform::ProcessesTokens& processes);

// "system error {code}: {the system's message for it}".
std::string describe_system_error(platform::ErrorCode code, platform::ProcessesTokens& processes);

}  // namespace bv
