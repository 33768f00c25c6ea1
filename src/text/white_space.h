#pragma once

// The Unicode White_Space property (PropList.txt), which differs from
// std::isspace: it includes NEL, NO-BREAK SPACE and the typographic spaces,
// and excludes ZERO WIDTH SPACE and MONGOLIAN VOWEL SEPARATOR.

#include <string_view>

namespace bv::text {

bool is_white_space(char32_t cp) noexcept;

// `utf8` without its trailing White_Space characters; leading ones stay. A
// multi-byte character is removed only as a whole, well-formed sequence, so
// the result never ends in a partial character that was not already there.
std::string_view trim_trailing_white_space(std::string_view utf8) noexcept;

}  // namespace bv::text
