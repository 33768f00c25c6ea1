#include "admin/quoting.h"

namespace bv::admin {

std::string quote_argument(std::string_view argument) {
  std::string quoted;
  quoted.reserve(argument.size() + 2);
  quoted += '"';
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
    } else {
      if (c == '"') quoted.append(backslashes + 1, '\\');
      backslashes = 0;
    }
    quoted += c;
  }
  quoted.append(backslashes, '\\');
  quoted += '"';
  return quoted;
}

std::string quote_binary_path(std::string_view path) {
  if (!path.empty() && path.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(path);
  return quote_argument(path);
}

}  // namespace bv::admin
