#pragma once
// Command-line quoting by the rule that CommandLineToArgvW and the C runtime
// undo: inside double quotes, a run of n backslashes before a quote becomes
// 2n+1 backslashes and the quote, a run of n backslashes at the end becomes
// 2n backslashes before the closing quote, and every other character
// (backslashes before it included) is copied as it is.

#include <string>
#include <string_view>

namespace bv::admin {

// The argument enclosed in double quotes by the rule above.
std::string quote_argument(std::string_view argument);

// The service's binary path: unchanged when it is not empty and holds none of
// space, tab, line feed, vertical tab and double quote; quoted otherwise.
std::string quote_binary_path(std::string_view path);

}  // namespace bv::admin
