// decode_hex on any bytes: accepted exactly when the length is even and every
// byte is a hexadecimal digit; the output is half as long and encodes back to
// the input in lower case; a refusal names the first offending byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "broker/spawn_request.h"
#include "fuzz_support.h"

using namespace bv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto decoded = bv::broker::decode_hex(input);

  std::size_t first_bad = input.size();
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (ref_hex_value(input[i]) < 0) {
      first_bad = i;
      break;
    }
  }
  const bool even = input.size() % 2 == 0;
  const bool all_hex = first_bad == input.size();
  BV_FUZZ_CHECK(decoded.has_value() == (even && all_hex), "input " + printable(input));

  if (decoded) {
    BV_FUZZ_CHECK(decoded->size() == input.size() / 2, "input " + printable(input));
    BV_FUZZ_CHECK(ref_hex_lower(*decoded) == ref_ascii_lower(input), "input " + printable(input));
  } else if (!even) {
    BV_FUZZ_CHECK(decoded.error() == "Odd length hex string", "got '" + decoded.error() + "'");
  } else {
    const std::string expected =
        "Invalid hex char: " + ref_latin1_character(static_cast<std::uint8_t>(input[first_bad]));
    BV_FUZZ_CHECK(decoded.error() == expected,
                  "input " + printable(input) + ": got '" + printable(decoded.error()) + "'");
  }
  return 0;
}
