#pragma once
// Base64 with the standard alphabet and '=' padding (RFC 4648, section 4).

#include <string>
#include <string_view>

namespace bv::text {

// The bytes as Base64: four characters for every three bytes, the last group
// padded with '=' to four.
std::string to_base64(std::string_view bytes);

}  // namespace bv::text
