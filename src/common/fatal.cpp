#include "common/fatal.h"

#include "text/utf.h"

namespace bv {

std::string fatal_report(const FatalError& error, platform::ProcessesTokens& processes) {
  std::string report = "Error: " + error.context;
  if (error.system_error) {
    const auto code = *error.system_error;
    report += ": system error " + std::to_string(code) + ": " + text::to_utf8(processes.system_message(code));
  }
  report += '\n';
  return report;
}

}  // namespace bv
