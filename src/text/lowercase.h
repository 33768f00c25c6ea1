#pragma once

// Unicode full lower-case mapping, independent of language: the simple
// mappings of UnicodeData.txt overridden by the unconditional entries of
// SpecialCasing.txt, plus the Final_Sigma rule for U+03A3. Language-dependent
// (Lithuanian, Turkish, Azeri) tailorings are deliberately not applied, so the
// result does not depend on any locale.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace bv::text {

// Lower-cases UTF-8 text. The output may be longer than the input (U+0130
// becomes U+0069 U+0307). Ill-formed bytes are copied through unchanged.
std::string to_lower(std::string_view utf8);

// The Cased and Case_Ignorable properties of DerivedCoreProperties.txt.
bool is_cased(char32_t cp) noexcept;
bool is_case_ignorable(char32_t cp) noexcept;

namespace detail {

// Members first, first + stride, ... up to last each map to cp + delta; the
// code points skipped by a stride of 2 are not part of the run. Runs are
// sorted by `first` and do not overlap.
struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint32_t stride;
};

// A mapping to more than one code point, sorted by `code_point`. It takes
// precedence over the runs.
struct LowerExpansion {
  char32_t code_point;
  std::uint32_t length;
  std::array<char32_t, 3> mapping;
};

// Inclusive, sorted, non-adjacent and non-overlapping.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Defined in the generated lowercase_table.cpp.
std::span<const LowerRun> lower_runs() noexcept;
std::span<const LowerExpansion> lower_expansions() noexcept;
std::span<const CodePointRange> cased_ranges() noexcept;
std::span<const CodePointRange> case_ignorable_ranges() noexcept;
std::string_view table_unicode_version() noexcept;

}  // namespace detail
}  // namespace bv::text
