#include "common/log.h"

#include <string>

namespace bv {

void Log::write(const EventKind& kind, std::span<const std::string_view> inserts) {
  if (kind.on_stderr) {
    // The tagged lines are the lines of the kind's text, each filled on its
    // own; an insert is written as it is.
    std::string framed;
    std::string_view rest = kind.text;
    for (;;) {
      const auto end = rest.find('\n');
      framed += "[BrisvanderSvc] ";
      framed += fill_inserts(rest.substr(0, end), inserts);
      framed += '\n';
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
    console_.write_stderr(framed);
  }
  if (events_) events_->report(kind, inserts);
}

}  // namespace bv
