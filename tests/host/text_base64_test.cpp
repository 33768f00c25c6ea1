#include <gtest/gtest.h>

#include <string>

#include "text/base64.h"

namespace bv::text {
namespace {

TEST(Base64, EncodesTheStandardVectorsWithTheirPadding) {
  struct Case {
    std::string bytes;
    std::string encoded;
  };
  // RFC 4648, section 10, and bytes that reach both ends of the alphabet.
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\x00\x00\x00", 3), "AAAA"},
      {"\xFB\xFF\xFF", "+///"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_base64(c.bytes), c.encoded) << c.encoded;
  }
}

}  // namespace
}  // namespace bv::text
