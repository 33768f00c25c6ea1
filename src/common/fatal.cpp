#include "common/fatal.h"

#include "text/utf.h"

namespace bv {

std::string fatal_report(const FatalError& error, platform::ProcessesTokens& processes) {
  std::string report = "Error: " + error.context;
  if (error.system_error) report += ": " + describe_system_error(*error.system_error, processes);
  report += '\n';
  return report;
}

std::string describe_system_error(platform::ErrorCode code, platform::ProcessesTokens& processes) {
  return "system error " + std::to_string(code) + ": " + text::to_utf8(processes.system_message(code));
}

}  // namespace bv
