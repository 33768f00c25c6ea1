#include "text/base64.h"

#include <algorithm>
#include <cstdint>

namespace bv::text {

std::string to_base64(std::string_view bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      group <<= 8;
      if (i < count) group |= static_cast<std::uint8_t>(bytes[at + i]);
    }
    // n bytes fill n + 1 characters; the rest of the four are padding.
    for (std::size_t i = 0; i < 4; ++i) {
      encoded += i <= count ? alphabet[(group >> (18 - 6 * i)) & 0x3F] : '=';
    }
  }
  return encoded;
}

}  // namespace bv::text
