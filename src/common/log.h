#pragma once
#include <string_view>

#include "platform/console.h"

namespace bv {

// The service's log: one line on standard error per call, tagged
// "[BrisvanderSvc] " and ended by a line feed.
class Log {
 public:
  explicit Log(platform::Console& console) : console_(console) {}
  void line(std::string_view text);

 private:
  platform::Console& console_;
};

}  // namespace bv
