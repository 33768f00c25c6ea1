#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "text/lowercase.h"
#include "text/utf.h"

namespace bv::text {
namespace {

struct LowerCase {
  const char* name;
  std::string input;
  std::string expected;
};

void PrintTo(const LowerCase& c, std::ostream* os) {
  *os << c.name;
}

class ToLowerTest : public ::testing::TestWithParam<LowerCase> {};

TEST_P(ToLowerTest, Maps) {
  EXPECT_EQ(to_lower(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ToLowerTest,
    ::testing::Values(
        LowerCase{"Empty", "", ""}, LowerCase{"Ascii", "Hello, WORLD 42 [@`{~]", "hello, world 42 [@`{~]"},
        LowerCase{"Latin1", "\u00C0\u00C9\u00DE\u00D7\u00DF", "\u00E0\u00E9\u00FE\u00D7\u00DF"},
        LowerCase{"LatinExtendedA", "\u0100\u0101\u0139\u0178", "\u0101\u0101\u013A\u00FF"},
        LowerCase{"Cyrillic", "\u041C\u041E\u0421\u041A\u0412\u0410 \u0400\u040F",
                  "\u043C\u043E\u0441\u043A\u0432\u0430 \u0450\u045F"},
        LowerCase{"Armenian", "\u0531\u0556", "\u0561\u0586"},
        LowerCase{"GeorgianMtavruli", "\u1C90\u1CBF", "\u10D0\u10FF"},
        LowerCase{"GeorgianAsomtavruli", "\u10A0", "\u2D00"}, LowerCase{"Cherokee", "\u13A0\u13F5", "\uAB70\u13FD"},
        LowerCase{"Deseret", "\U00010400\U00010427", "\U00010428\U0001044F"},
        LowerCase{"Osage", "\U000104B0", "\U000104D8"}, LowerCase{"Adlam", "\U0001E900", "\U0001E922"},
        LowerCase{"FullwidthLatin", "\uFF21\uFF3A", "\uFF41\uFF5A"}, LowerCase{"DottedCapitalI", "\u0130", "i\u0307"},
        LowerCase{"DottedCapitalIInWord", "\u0130STANBUL", "i\u0307stanbul"}, LowerCase{"KelvinSign", "\u212A", "k"},
        LowerCase{"AngstromSign", "\u212B", "\u00E5"}, LowerCase{"CapitalSharpS", "\u1E9E", "\u00DF"},
        LowerCase{"TitlecaseDigraph", "\u01C5\u01C4\u01C6", "\u01C6\u01C6\u01C6"},
        LowerCase{"GreekProsgegrammeni", "\u1F88\u1FBC", "\u1F80\u1FB3"}, LowerCase{"RomanNumeral", "\u2160", "\u2170"},
        LowerCase{"CircledLetter", "\u24B6", "\u24D0"},
        // Plain I/J stay language-neutral: no Turkish dotless i, no
        // Lithuanian dot above.
        LowerCase{"NoLanguageTailoring", "I\u0307J\u00CC", "i\u0307j\u00EC"},
        LowerCase{"Unmapped", "123 \u00DF\u4E2D\u6587\U0001F600\u0131", "123 \u00DF\u4E2D\u6587\U0001F600\u0131"},
        LowerCase{"InvalidBytesPassThrough",
                  "A\xFF"
                  "B\xC3",
                  "a\xFF"
                  "b\xC3"},
        LowerCase{"InvalidSubpartPassThrough",
                  "\xF0\x9F\x98"
                  "A\xED\xA0\x80",
                  "\xF0\x9F\x98"
                  "a\xED\xA0\x80"}),
    [](const ::testing::TestParamInfo<LowerCase>& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FinalSigma, ToLowerTest,
    ::testing::Values(LowerCase{"WordEnd", "\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},
                      LowerCase{"Alone", "\u03A3", "\u03C3"}, LowerCase{"WordStart", "\u03A3\u0391", "\u03C3\u03B1"},
                      LowerCase{"Middle", "\u0391\u03A3\u0391", "\u03B1\u03C3\u03B1"},
                      LowerCase{"BeforeSpace", "\u039F\u03A3 \u039F\u03A3", "\u03BF\u03C2 \u03BF\u03C2"},
                      LowerCase{"BeforePunctuation", "\u039F\u03A3.", "\u03BF\u03C2."},
                      LowerCase{"ApostropheThenEnd", "\u039F\u03A3'", "\u03BF\u03C2'"},
                      LowerCase{"ApostropheThenLetter", "\u039F\u03A3'\u0391", "\u03BF\u03C3'\u03B1"},
                      LowerCase{"IgnorableBefore", "\u0391'\u03A3", "\u03B1'\u03C2"},
                      LowerCase{"CombiningMarkBefore", "\u0391\u0301\u03A3", "\u03B1\u0301\u03C2"},
                      LowerCase{"OnlyIgnorableBefore", "'\u03A3", "'\u03C3"},
                      LowerCase{"DigitBefore", "1\u03A3", "1\u03C3"},
                      LowerCase{"LatinCasedBefore", "A\u03A3", "a\u03C2"},
                      LowerCase{"DoubleSigma", "\u0391\u03A3\u03A3", "\u03B1\u03C3\u03C2"},
                      LowerCase{"CasedAfterMarks", "\u0391\u03A3\u0301\u0301b", "\u03B1\u03C3\u0301\u0301b"},
                      LowerCase{"InvalidByteAfter",
                                "\u0391\u03A3\xFF"
                                "A",
                                "\u03B1\u03C2\xFF"
                                "a"},
                      LowerCase{"InvalidByteBefore", "\u0391\xFF\u03A3", "\u03B1\xFF\u03C3"},
                      // U+02B0 and U+0345 are both Cased and Case_Ignorable: they are
                      // skipped like any other case-ignorable character.
                      LowerCase{"CasedIgnorableBeforeOnly", "\u02B0\u03A3", "\u02B0\u03C3"},
                      LowerCase{"CasedIgnorableAfterOnly", "\u0391\u03A3\u0345", "\u03B1\u03C2\u0345"},
                      LowerCase{"SmallSigmaUntouched", "\u03C3\u03C2", "\u03C3\u03C2"}),
    [](const ::testing::TestParamInfo<LowerCase>& p) { return std::string(p.param.name); });

TEST(CaseProperties, Samples) {
  struct Sample {
    char32_t cp;
    bool cased;
    bool ignorable;
  };
  const std::vector<Sample> samples = {
      {U'A', true, false},      {U'z', true, false},    {U'1', false, false},   {U' ', false, false},
      {U'\'', false, true},     {U'.', false, true},    {0x00AA, true, false},  {0x0301, false, true},
      {0x0345, true, true},     {0x02B0, true, true},   {0x03A3, true, false},  {0x05D0, false, false},
      {0x200D, false, true},    {0x4E2D, false, false}, {0x10400, true, false}, {0xE0001, false, true},
      {0x10FFFF, false, false},
  };
  for (const Sample& s : samples) {
    EXPECT_EQ(is_cased(s.cp), s.cased) << std::hex << static_cast<std::uint32_t>(s.cp);
    EXPECT_EQ(is_case_ignorable(s.cp), s.ignorable) << std::hex << static_cast<std::uint32_t>(s.cp);
  }
}

// The lookups rely on binary search; an unsorted or overlapping table would
// silently miss entries rather than fail.
TEST(LowercaseTable, SortedAndDisjoint) {
  const auto runs = detail::lower_runs();
  ASSERT_FALSE(runs.empty());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_LE(runs[i].first, runs[i].last);
    EXPECT_TRUE(runs[i].stride == 1 || runs[i].stride == 2);
    if (i > 0) {
      EXPECT_LT(runs[i - 1].last, runs[i].first);
    }
  }
  const auto expansions = detail::lower_expansions();
  for (std::size_t i = 1; i < expansions.size(); ++i) {
    EXPECT_LT(expansions[i - 1].code_point, expansions[i].code_point);
  }
  for (const auto ranges : {detail::cased_ranges(), detail::case_ignorable_ranges()}) {
    ASSERT_FALSE(ranges.empty());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_LE(ranges[i].first, ranges[i].last);
      if (i > 0) {
        EXPECT_LT(ranges[i - 1].last + 1, ranges[i].first);
      }
    }
  }
}

// Splits on '\n'; no lower-case mapping produces or consumes a line feed.
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

TEST(ToLowerSweep, EveryCodePointIsIdempotentAndWellFormed) {
  // One scalar value per line, lowered as a single text: a line feed is
  // neither cased nor case-ignorable, so every character is seen on its own
  // (U+03A3 included), and one call avoids a million small allocations.
  std::string input;
  std::vector<char32_t> code_points;
  for (char32_t cp = 0; cp <= max_code_point; ++cp) {
    if (!is_scalar_value(cp) || cp == U'\n') continue;
    append_utf8(input, cp);
    input.push_back('\n');
    code_points.push_back(cp);
  }
  const std::string once = to_lower(input);
  EXPECT_TRUE(decode_utf8(once).has_value());

  const auto before = lines(input);
  const auto after = lines(once);
  const std::string twice = to_lower(once);
  const auto again = lines(twice);
  ASSERT_EQ(after.size(), code_points.size());
  ASSERT_EQ(again.size(), code_points.size());
  std::size_t changed = 0;
  int failures = 0;
  for (std::size_t i = 0; i < code_points.size() && failures < 10; ++i) {
    if (after[i] != before[i]) ++changed;
    if (again[i] != after[i]) {
      ++failures;
      ADD_FAILURE() << "not idempotent at U+" << std::hex << static_cast<std::uint32_t>(code_points[i]);
    }
  }
  // Unicode 15 lower-cases about 1,400 code points; a broken table lookup
  // shows up here as far fewer (or far more).
  EXPECT_GT(changed, 1300u);
  EXPECT_LT(changed, 2000u);
}

}  // namespace
}  // namespace bv::text
