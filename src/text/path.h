#pragma once
#include <string>
#include <string_view>

namespace bv::text {

// `directory` and `name` joined with one backslash, unless the directory is
// empty (the name alone) or already ends with a backslash or a slash.
std::u16string join_path(std::u16string_view directory, std::u16string_view name);

}  // namespace bv::text
