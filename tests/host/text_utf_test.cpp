#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "text/utf.h"

namespace bv::text {
namespace {

struct DecodeCase {
  const char* name;
  std::string bytes;
  const char* error;  // nullptr: well-formed
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodeUtf8Test : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8Test, ReportsExactError) {
  const DecodeCase& c = GetParam();
  const auto result = decode_utf8(std::string_view(c.bytes));
  if (c.error == nullptr) {
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, c.bytes);
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.error);
  }

  // The byte-span overload must agree.
  const std::vector<std::uint8_t> raw(c.bytes.begin(), c.bytes.end());
  EXPECT_EQ(decode_utf8(std::span<const std::uint8_t>(raw)), result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeUtf8Test,
    ::testing::Values(
        DecodeCase{"Empty", "", nullptr}, DecodeCase{"Ascii", "hello", nullptr},
        DecodeCase{"AllLengths", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", nullptr},
        DecodeCase{"Boundaries",
                   "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"
                   "\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
                   nullptr},
        DecodeCase{"EmbeddedNul", std::string("a\0b", 3), nullptr},
        DecodeCase{"ByteFF", "ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
        DecodeCase{"OverlongC0", "\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"OverlongC1", "x\xC1\xBF", "invalid utf-8 sequence of 1 bytes from index 1"},
        DecodeCase{"OverlongE0", "\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"OverlongF0", "\xF0\x8F\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"Surrogate", "ab\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        DecodeCase{"LowSurrogate", "\xED\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"BadFourthByte", "\xC3\xA9\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 2"},
        DecodeCase{"BadThirdByte", "\xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 0"},
        DecodeCase{"NewLeadInsideSequence", "\xE2\xC3\xA9", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"AboveMaxF4", "\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"LeadF5", "\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"LeadF8", "\xF8", "invalid utf-8 sequence of 1 bytes from index 0"},
        DecodeCase{"LoneContinuation", "abc\x80", "invalid utf-8 sequence of 1 bytes from index 3"},
        DecodeCase{"ExtraContinuation", "\xC3\xA9\xA9", "invalid utf-8 sequence of 1 bytes from index 2"},
        DecodeCase{"CutTwoByte", "ab\xC3", "incomplete utf-8 byte sequence from index 2"},
        DecodeCase{"CutThreeByte", "\xE2\x82", "incomplete utf-8 byte sequence from index 0"},
        DecodeCase{"CutFourByte", "x\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 1"},
        DecodeCase{"CutLeadOnly", "\xF4", "incomplete utf-8 byte sequence from index 0"},
        // The first error wins even when the input is also cut short.
        DecodeCase{"InvalidBeforeCut", "\xFF\xE2\x82", "invalid utf-8 sequence of 1 bytes from index 0"},
        // E0 80 is invalid at the second byte, not an incomplete prefix.
        DecodeCase{"InvalidAtEnd", "\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0"}),
    [](const ::testing::TestParamInfo<DecodeCase>& p) { return std::string(p.param.name); });

struct LossyCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

void PrintTo(const LossyCase& c, std::ostream* os) {
  *os << c.name;
}

class ToUtf16Test : public ::testing::TestWithParam<LossyCase> {};

TEST_P(ToUtf16Test, ReplacesEachMaximalSubpart) {
  EXPECT_EQ(to_utf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToUtf16Test,
                         ::testing::Values(LossyCase{"Empty", "", u""},
                                           LossyCase{"Mixed", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                                     u"a\u00E9\u20AC\U0001F600"},
                                           LossyCase{"MaxCodePoint", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
                                           LossyCase{"StrayBytes", "a\xFF\x80z", u"a\uFFFD\uFFFDz"},
                                           LossyCase{"SubpartOfThree", "\xF0\x9F\x98\x41", u"\uFFFDA"},
                                           LossyCase{"SurrogateBytes", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                                           LossyCase{"OverlongSlash", "\xC0\xAF", u"\uFFFD\uFFFD"},
                                           LossyCase{"CutAtEnd", "ab\xF0\x9F\x98", u"ab\uFFFD"},
                                           LossyCase{"CutThenLead", "\xE2\x82\xC3\xA9", u"\uFFFD\u00E9"}),
                         [](const ::testing::TestParamInfo<LossyCase>& p) { return std::string(p.param.name); });

struct SurrogateCase {
  const char* name;
  std::u16string utf16;
  std::string lossy;
};

void PrintTo(const SurrogateCase& c, std::ostream* os) {
  *os << c.name;
}

class UnpairedSurrogateTest : public ::testing::TestWithParam<SurrogateCase> {};

TEST_P(UnpairedSurrogateTest, ReplacedOrRejected) {
  EXPECT_EQ(to_utf8(GetParam().utf16), GetParam().lossy);
  EXPECT_EQ(to_utf8_strict(GetParam().utf16), std::nullopt);
}

const std::u16string kHigh(1, char16_t{0xD83D});
const std::u16string kLow(1, char16_t{0xDE00});

INSTANTIATE_TEST_SUITE_P(Cases, UnpairedSurrogateTest,
                         ::testing::Values(SurrogateCase{"HighAtStart", kHigh + u"ab",
                                                         "\xEF\xBF\xBD"
                                                         "ab"},
                                           SurrogateCase{"HighInMiddle", u"a" + kHigh + u"b",
                                                         "a\xEF\xBF\xBD"
                                                         "b"},
                                           SurrogateCase{"HighAtEnd", u"ab" + kHigh, "ab\xEF\xBF\xBD"},
                                           SurrogateCase{"LowAtStart", kLow + u"ab",
                                                         "\xEF\xBF\xBD"
                                                         "ab"},
                                           SurrogateCase{"LowInMiddle", u"a" + kLow + u"b",
                                                         "a\xEF\xBF\xBD"
                                                         "b"},
                                           SurrogateCase{"LowAtEnd", u"ab" + kLow, "ab\xEF\xBF\xBD"},
                                           SurrogateCase{"Reversed", kLow + kHigh, "\xEF\xBF\xBD\xEF\xBF\xBD"},
                                           SurrogateCase{"TwoHighsThenLow", kHigh + kHigh + kLow,
                                                         "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
                                           SurrogateCase{"HighBeforeBmp", kHigh + u"\u00E9", "\xEF\xBF\xBD\xC3\xA9"}),
                         [](const ::testing::TestParamInfo<SurrogateCase>& p) { return std::string(p.param.name); });

TEST(Utf16RoundTrip, ValidTextIsIdentity) {
  const std::vector<std::u16string> samples = {
      u"",
      u"plain ascii",
      u"\u00E9\u00DF\u0130\u03A3\u0416\u20AC\uFFFD\uFFFF",
      u"\U00010000\U0001F600\U00010428\U0010FFFF",
      std::u16string(1, char16_t{0}) + u"\uD7FF\uE000",
  };
  for (const auto& sample : samples) {
    const auto strict = to_utf8_strict(sample);
    ASSERT_TRUE(strict.has_value());
    EXPECT_EQ(*strict, to_utf8(sample));
    EXPECT_TRUE(decode_utf8(*strict).has_value());
    EXPECT_EQ(to_utf16(*strict), sample);
  }
}

TEST(Utf16RoundTrip, EveryScalarValue) {
  std::u16string all;
  for (char32_t cp = 0; cp <= max_code_point; ++cp) {
    if (!is_scalar_value(cp)) continue;
    append_utf16(all, cp);
  }
  const auto utf8 = to_utf8_strict(all);
  ASSERT_TRUE(utf8.has_value());
  EXPECT_TRUE(decode_utf8(*utf8).has_value());
  EXPECT_EQ(to_utf16(*utf8), all);
  // 128 one-byte, 1920 two-byte, 61440 three-byte, 1048576 four-byte.
  EXPECT_EQ(utf8->size(), 128u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
}

TEST(AppendUtf8, EncodesBoundariesAndReplacesNonScalars) {
  const std::vector<std::pair<char32_t, std::string>> cases = {
      {0x00, std::string(1, '\0')},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      {0xD800, "\xEF\xBF\xBD"},
      {0x110000, "\xEF\xBF\xBD"},
  };
  for (const auto& [cp, encoded] : cases) {
    std::string out = "x";
    append_utf8(out, cp);
    EXPECT_EQ(out, "x" + encoded) << std::hex << static_cast<std::uint32_t>(cp);
  }
}

}  // namespace
}  // namespace bv::text
