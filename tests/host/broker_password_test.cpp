#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "broker/password.h"
#include "fake/fake_platform.h"

namespace bv::broker {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

// The little-endian bytes of UTF-16 units.
Bytes utf16le(std::u16string_view units) {
  Bytes bytes;
  for (char16_t u : units) {
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return bytes;
}

Bytes with(Bytes bytes, std::initializer_list<std::uint8_t> more) {
  bytes.insert(bytes.end(), more);
  return bytes;
}

struct DataCase {
  const char* name;
  Bytes data;
  std::string password;
};

void PrintTo(const DataCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodePasswordDataTest : public ::testing::TestWithParam<DataCase> {};

TEST_P(DecodePasswordDataTest, Decodes) {
  const auto& c = GetParam();
  EXPECT_EQ(decode_password_data(c.data).get(), c.password);
}

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& p) const {
    return p.param.name;
  }
};

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodePasswordDataTest,
    ::testing::Values(DataCase{"AsProvisioned", utf16le(std::u16string(u"0123456789ABCDEF0123Bv!9") + u'\0'),
                               "0123456789ABCDEF0123Bv!9"},
                      DataCase{"NoTerminatorKeepsAll", utf16le(u"abc"), "abc"},
                      DataCase{"StopsAtFirstZeroUnit", utf16le(std::u16string(u"ab\0cd", 5)), "ab"},
                      DataCase{"OddFinalByteIgnored", with(utf16le(u"ab"), {'c'}), "ab"},
                      DataCase{"OddFinalByteAfterTerminator", with(utf16le(std::u16string(u"ab\0", 3)), {0x41}), "ab"},
                      DataCase{"EmptyString", utf16le(std::u16string(1, u'\0')), ""}, DataCase{"NoData", Bytes{}, ""},
                      DataCase{"SingleByte", Bytes{0x41}, ""},
                      DataCase{"ZeroNeedsBothBytes", Bytes{0x00, 0x01, 0x41, 0x00}, "\u0100A"},
                      DataCase{"NonAscii", utf16le(u"\u00e9\u20ac"), "\u00e9\u20ac"},
                      DataCase{"SurrogatePair", utf16le(u"x\U0001F600y"), "x\U0001F600y"},
                      DataCase{"LoneHighSurrogate", utf16le(std::u16string{u'a', char16_t(0xD83D), u'b'}), "a\ufffdb"},
                      DataCase{"LoneLowSurrogate", utf16le(std::u16string{char16_t(0xDE00), u'b'}), "\ufffdb"},
                      DataCase{"HighSurrogateAtEnd", utf16le(std::u16string{u'a', char16_t(0xD83D)}), "a\ufffd"},
                      DataCase{"HighSurrogateBeforeTerminator",
                               utf16le(std::u16string{char16_t(0xD83D), 0, char16_t(0xDE00)}), "\ufffd"},
                      DataCase{"ReversedPair", utf16le(std::u16string{char16_t(0xDE00), char16_t(0xD83D)}),
                               "\ufffd\ufffd"}),
    CaseName{});

class ReadAccountPasswordTest : public ::testing::Test {
 protected:
  fake::FakePlatform fake;
};

TEST_F(ReadAccountPasswordTest, MakesTheThreeCallsInOrderAndClosesTheKey) {
  fake.security.value = {platform::reg_sz, utf16le(std::u16string(u"0123456789ABCDEF0123Bv!9") + u'\0')};

  const auto password = read_account_password(fake.security);

  ASSERT_TRUE(password.has_value()) << password.error();
  EXPECT_EQ(password->get(), "0123456789ABCDEF0123Bv!9");
  EXPECT_EQ(fake.log.calls(), (Calls{
                                  "RegOpenKeyExW(HKLM, SOFTWARE\\Brisvander, 1)",
                                  "RegQueryValueExW(SvcUserPwd, size)",
                                  "RegQueryValueExW(SvcUserPwd, 50)",
                                  "RegCloseKey",
                              }));
}

TEST_F(ReadAccountPasswordTest, EmptyValueIsAValidPassword) {
  fake.security.value = {platform::reg_sz, Bytes{0, 0}};
  const auto password = read_account_password(fake.security);
  ASSERT_TRUE(password.has_value());
  EXPECT_EQ(password->get(), "");
}

struct FailureCase {
  const char* name;
  std::int32_t open_status;
  std::optional<std::pair<std::uint32_t, Bytes>> value;
  std::string message;
  bool key_opened;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class ReadAccountPasswordFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ReadAccountPasswordFailureTest, GivesTheMessageAndClosesWhatItOpened) {
  const auto& c = GetParam();
  fake::FakePlatform fake;
  fake.security.open_key_status = c.open_status;
  fake.security.value = c.value;

  const auto password = read_account_password(fake.security);

  ASSERT_FALSE(password.has_value());
  EXPECT_EQ(password.error(), c.message);
  if (c.key_opened) {
    EXPECT_EQ(fake.log.calls().back(), "RegCloseKey");
    EXPECT_EQ(fake.log.count("RegQueryValueExW"), 2u);
  } else {
    EXPECT_EQ(fake.log.calls(), Calls{"RegOpenKeyExW(HKLM, SOFTWARE\\Brisvander, 1)"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReadAccountPasswordFailureTest,
    ::testing::Values(
        FailureCase{"NoKey", 2, std::nullopt,
                    "RegOpenKeyExW failed: 2 (key may not exist \u2014 run provision-user.ps1 as admin)", false},
        FailureCase{"NoRightToRead", 5, std::nullopt,
                    "RegOpenKeyExW failed: 5 (key may not exist \u2014 run provision-user.ps1 as admin)", false},
        FailureCase{"StatusInSignedDecimal", -1, std::nullopt,
                    "RegOpenKeyExW failed: -1 (key may not exist \u2014 run provision-user.ps1 as admin)", false},
        FailureCase{"NoValue", 0, std::nullopt, "RegQueryValueExW failed: 2", true},
        FailureCase{"ExpandString", 0, std::pair{2u, utf16le(u"pw")}, "Registry value is not REG_SZ (type=2)", true},
        FailureCase{"Number", 0, std::pair{4u, Bytes{1, 0, 0, 0}}, "Registry value is not REG_SZ (type=4)", true}),
    CaseName{});

TEST(LogPasswordFailure, WritesTheCauseThenTheAdvice) {
  fake::FakeConsole console;
  Log log(console);
  log_password_failure(log, "RegQueryValueExW failed: 2");
  EXPECT_EQ(console.err,
            "[BrisvanderSvc] Cannot read SvcUserPwd: RegQueryValueExW failed: 2\n"
            "[BrisvanderSvc] Run provision-user.ps1 as Administrator first.\n");
}

// What the secret-holding buffers rely on: wiping zeroes every byte the
// container owns, past its size up to its capacity, and keeps the memory.
TEST(Wipe, ZeroesTheWholeCapacity) {
  std::string text(40, 's');
  text.resize(10);
  const char* memory = text.data();
  const std::size_t capacity = text.capacity();
  wipe(text);
  EXPECT_TRUE(text.empty());
  ASSERT_EQ(text.data(), memory);
  for (std::size_t i = 0; i < capacity; ++i) EXPECT_EQ(memory[i], '\0') << i;

  std::vector<std::uint8_t> bytes(32, 0xA5);
  const auto* raw = bytes.data();
  wipe(bytes);
  ASSERT_EQ(bytes.data(), raw);
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(raw[i], 0) << i;
}

}  // namespace
}  // namespace bv::broker
