#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "text/utf.h"
#include "text/white_space.h"

namespace bv::text {
namespace {

TEST(IsWhiteSpace, MatchesPropertyOverWholeRange) {
  const std::vector<char32_t> listed = {0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
                                        0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                        0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  std::size_t count = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const bool expected = std::find(listed.begin(), listed.end(), cp) != listed.end();
    if (is_white_space(cp) != expected) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(cp);
    }
    count += is_white_space(cp) ? 1 : 0;
  }
  EXPECT_EQ(count, listed.size());
}

struct TrimCase {
  const char* name;
  std::string input;
  std::string expected;
};

void PrintTo(const TrimCase& c, std::ostream* os) {
  *os << c.name;
}

class TrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, Trims) {
  EXPECT_EQ(trim_trailing_white_space(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimTest,
    ::testing::Values(
        TrimCase{"Empty", "", ""}, TrimCase{"NothingToTrim", "abc", "abc"},
        TrimCase{"OnlyWhiteSpace", " \t\r\n\u3000", ""}, TrimCase{"CrLf", "line\r\n", "line"},
        TrimCase{"AllAsciiControls", "x\t\n\v\f\r ", "x"}, TrimCase{"LeadingStays", "  a b  ", "  a b"},
        TrimCase{"InnerStays", "a \u00A0 b", "a \u00A0 b"}, TrimCase{"NoBreakSpace", "x\u00A0", "x"},
        TrimCase{"NextLine", "x\u0085", "x"}, TrimCase{"Ogham", "x\u1680", "x"},
        TrimCase{"EnQuadToHairSpace", "x\u2000\u2005\u200A", "x"},
        TrimCase{"LineAndParagraphSeparators", "x\u2028\u2029", "x"},
        TrimCase{"NarrowAndMathSpaces", "x\u202F\u205F", "x"}, TrimCase{"IdeographicSpace", "x\u3000", "x"},
        TrimCase{"MixedRun", "x \u00A0\r\n\u3000\t", "x"}, TrimCase{"ZeroWidthSpaceStays", "x\u200B", "x\u200B"},
        TrimCase{"MongolianVowelSeparatorStays", "x\u180E", "x\u180E"},
        TrimCase{"ByteOrderMarkStays", "x\uFEFF", "x\uFEFF"}, TrimCase{"StopsAtNonWhiteSpace", "a \u200B ", "a \u200B"},
        TrimCase{"NonSpaceSharingLastByte", "x\u00E0", "x\u00E0"},  // C3 A0
        TrimCase{"NonSpaceSharingLastBytes", "x\u0100\u0080", "x\u0100\u0080"},
        // An A0 not preceded by its C2 lead is a stray byte, not U+00A0.
        TrimCase{"StrayContinuation", "x\xA0", "x\xA0"},
        TrimCase{"ExtraContinuationAfterSpace", "x\xC2\xA0\xA0", "x\xC2\xA0\xA0"},
        TrimCase{"CutSpaceSequence", "x\xE3\x80", "x\xE3\x80"}, TrimCase{"SpaceAfterInvalidByte", "\xFF ", "\xFF"}),
    [](const ::testing::TestParamInfo<TrimCase>& p) { return std::string(p.param.name); });

TEST(TrimTrailingWhiteSpace, ReturnsPrefixOfInput) {
  const std::string text = "value \u3000";
  const std::string_view trimmed = trim_trailing_white_space(text);
  EXPECT_EQ(trimmed.data(), text.data());
  EXPECT_EQ(trimmed.size(), 5u);
}

TEST(TrimTrailingWhiteSpace, EveryWhiteSpaceCharacterAlone) {
  for (char32_t cp = 0; cp <= 0x3000; ++cp) {
    std::string text = "a";
    append_utf8(text, cp);
    const std::string_view expected = is_white_space(cp) ? std::string_view("a") : text;
    EXPECT_EQ(trim_trailing_white_space(text), expected) << std::hex << static_cast<std::uint32_t>(cp);
  }
}

}  // namespace
}  // namespace bv::text
