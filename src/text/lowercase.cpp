#include "text/lowercase.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "text/utf.h"

namespace bv::text {
namespace {

constexpr char32_t capital_sigma = U'\u03A3';
constexpr char32_t small_sigma = U'\u03C3';
constexpr char32_t small_final_sigma = U'\u03C2';

bool in_ranges(std::span<const detail::CodePointRange> ranges, char32_t cp) noexcept {
  const auto it =
      std::upper_bound(ranges.begin(), ranges.end(), cp,
                       [](char32_t value, const detail::CodePointRange& range) { return value < range.first; });
  return it != ranges.begin() && cp <= std::prev(it)->last;
}

// What the Final_Sigma context looks at. Case_Ignorable wins over Cased:
// characters with both properties (U+0345, modifier letters like U+02B0) are
// skipped, not taken as the cased letter, which is how ICU and Rust's
// str::to_lowercase read the rule as well.
enum class CaseClass : std::uint8_t { other, cased, ignorable };

CaseClass classify(char32_t cp) noexcept {
  if (is_case_ignorable(cp)) return CaseClass::ignorable;
  if (is_cased(cp)) return CaseClass::cased;
  return CaseClass::other;
}

// ASCII dominates real input; classify it once instead of searching the
// tables for every byte.
const std::array<CaseClass, 128>& ascii_classes() noexcept {
  static const std::array<CaseClass, 128> table = [] {
    std::array<CaseClass, 128> classes{};
    for (char32_t cp = 0; cp < 128; ++cp) classes[cp] = classify(cp);
    return classes;
  }();
  return table;
}

CaseClass classify_fast(char32_t cp) noexcept {
  return cp < 128 ? ascii_classes()[cp] : classify(cp);
}

void append_lower(std::string& out, char32_t cp) {
  const auto expansions = detail::lower_expansions();
  const auto expansion =
      std::lower_bound(expansions.begin(), expansions.end(), cp,
                       [](const detail::LowerExpansion& entry, char32_t value) { return entry.code_point < value; });
  if (expansion != expansions.end() && expansion->code_point == cp) {
    for (std::uint32_t i = 0; i < expansion->length; ++i) append_utf8(out, expansion->mapping[i]);
    return;
  }

  const auto runs = detail::lower_runs();
  const auto after = std::upper_bound(runs.begin(), runs.end(), cp,
                                      [](char32_t value, const detail::LowerRun& run) { return value < run.first; });
  if (after != runs.begin()) {
    const detail::LowerRun& run = *std::prev(after);
    if (cp <= run.last && (cp - run.first) % run.stride == 0) {
      cp = static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
    }
  }
  append_utf8(out, cp);
}

// The "not followed by" half of Final_Sigma: skipping case-ignorable
// characters from `pos`, is the next character cased? Ill-formed bytes end
// the search like any other uncased character.
bool followed_by_cased(std::string_view utf8, std::size_t pos) noexcept {
  while (pos < utf8.size()) {
    const Utf8Char c = decode_utf8_char(utf8, pos);
    if (c.status != Utf8Status::ok) return false;
    switch (classify_fast(c.code_point)) {
      case CaseClass::cased:
        return true;
      case CaseClass::other:
        return false;
      case CaseClass::ignorable:
        break;
    }
    pos += c.length;
  }
  return false;
}

}  // namespace

bool is_cased(char32_t cp) noexcept {
  return in_ranges(detail::cased_ranges(), cp);
}

bool is_case_ignorable(char32_t cp) noexcept {
  return in_ranges(detail::case_ignorable_ranges(), cp);
}

std::string to_lower(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  // The "preceded by" half of Final_Sigma, kept up to date while walking
  // forward: the last character that is not case-ignorable was cased.
  bool after_cased = false;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const auto byte = static_cast<unsigned char>(utf8[pos]);
    if (byte < 0x80) {
      const char32_t cp = byte;
      out.push_back(static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte));
      const CaseClass cls = ascii_classes()[cp];
      if (cls != CaseClass::ignorable) after_cased = cls == CaseClass::cased;
      ++pos;
      continue;
    }

    const Utf8Char c = decode_utf8_char(utf8, pos);
    if (c.status != Utf8Status::ok) {
      out.append(utf8.substr(pos, c.length));
      after_cased = false;
      pos += c.length;
      continue;
    }

    if (c.code_point == capital_sigma) {
      const bool word_final = after_cased && !followed_by_cased(utf8, pos + c.length);
      append_utf8(out, word_final ? small_final_sigma : small_sigma);
    } else {
      append_lower(out, c.code_point);
    }
    const CaseClass cls = classify(c.code_point);
    if (cls != CaseClass::ignorable) after_cased = cls == CaseClass::cased;
    pos += c.length;
  }
  return out;
}

}  // namespace bv::text
