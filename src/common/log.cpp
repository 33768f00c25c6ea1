#include "common/log.h"

#include <string>

namespace bv {

void Log::line(std::string_view text) {
  std::string framed;
  framed.reserve(text.size() + 18);
  framed += "[BrisvanderSvc] ";
  framed += text;
  framed += '\n';
  console_.write_stderr(framed);
}

}  // namespace bv
