#include "support/text.h"

#include <windows.h>

namespace bv::test {

std::string from_hex(std::string_view hex) {
  const auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
  };
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1])));
  }
  return bytes;
}

}  // namespace bv::test
