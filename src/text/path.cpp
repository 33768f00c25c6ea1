#include "text/path.h"

namespace bv::text {

std::u16string join_path(std::u16string_view directory, std::u16string_view name) {
  std::u16string path(directory);
  if (!directory.empty() && directory.back() != u'\\' && directory.back() != u'/') path += u'\\';
  path += name;
  return path;
}

}  // namespace bv::text
