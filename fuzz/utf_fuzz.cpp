// The strict UTF-8 decoder and the UTF-8/UTF-16 conversions. The input is
// read twice: as bytes of (possibly ill-formed) UTF-8, and as little-endian
// UTF-16 units (possibly with unpaired surrogates).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "text/utf.h"

namespace {

using namespace bv::fuzz;
namespace text = bv::text;

std::u16string ref_utf16_of(const std::vector<std::uint32_t>& code_points) {
  std::u16string out;
  for (std::uint32_t cp : code_points) {
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

void check_utf8(std::string_view bytes) {
  const RefUtf8Verdict verdict = ref_validate_utf8(bytes);
  const auto decoded = text::decode_utf8(bytes);
  BV_FUZZ_CHECK(decoded.has_value() == verdict.valid, "input " + printable(bytes));

  if (decoded) {
    BV_FUZZ_CHECK(*decoded == bytes, "decode_utf8 changed " + printable(bytes));
    const std::u16string units = text::to_utf16(bytes);
    BV_FUZZ_CHECK(units == ref_utf16_of(ref_code_points(bytes)), "code points of " + printable(bytes));
    BV_FUZZ_CHECK(text::to_utf8(units) == bytes, "round trip of " + printable(bytes));
    const auto strict = text::to_utf8_strict(units);
    BV_FUZZ_CHECK(strict && *strict == bytes, "strict round trip of " + printable(bytes));
  } else {
    const std::string index = std::to_string(verdict.prefix);
    const std::string expected =
        verdict.first_bad.kind == RefUtf8Item::incomplete
            ? "incomplete utf-8 byte sequence from index " + index
            : "invalid utf-8 sequence of " + std::to_string(verdict.first_bad.length) + " bytes from index " + index;
    BV_FUZZ_CHECK(decoded.error() == expected,
                  "input " + printable(bytes) + ": got '" + decoded.error() + "', expected '" + expected + "'");
  }

  // The lossy conversion of any bytes gives well-formed UTF-16, so both ways
  // back agree.
  const std::u16string lossy = text::to_utf16(bytes);
  std::size_t lone = 0;
  ref_replace_lone_surrogates(lossy, lone);
  BV_FUZZ_CHECK(lone == 0, "to_utf16 made an unpaired surrogate from " + printable(bytes));
  const std::string back = text::to_utf8(lossy);
  BV_FUZZ_CHECK(ref_validate_utf8(back).valid, "to_utf8(to_utf16(x)) ill-formed for " + printable(bytes));
  BV_FUZZ_CHECK(text::to_utf16(back) == lossy, "lossy conversion not stable for " + printable(bytes));
}

void check_utf16(std::u16string_view units) {
  std::size_t lone = 0;
  const std::u16string replaced = ref_replace_lone_surrogates(units, lone);

  const std::string utf8 = text::to_utf8(units);
  BV_FUZZ_CHECK(ref_validate_utf8(utf8).valid, "to_utf8 gave ill-formed UTF-8 for " + printable(units));
  // Each unpaired surrogate became U+FFFD and everything else came through.
  BV_FUZZ_CHECK(text::to_utf16(utf8) == replaced, "units " + printable(units));

  const auto strict = text::to_utf8_strict(units);
  BV_FUZZ_CHECK(strict.has_value() == (lone == 0), "units " + printable(units));
  if (strict) BV_FUZZ_CHECK(*strict == utf8, "strict and lossy differ for " + printable(units));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_utf8(std::string_view(reinterpret_cast<const char*>(data), size));

  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  check_utf16(units);
  return 0;
}
