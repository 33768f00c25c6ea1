// The full lower-case mapping on well-formed UTF-8: the result is well-formed
// and already lower case (a second mapping changes nothing), ASCII text maps
// byte for byte like the C locale's tolower, and every character maps as the
// Unicode Character Database says (read at start-up from the unicode-data
// package's files when they are installed: UnicodeData.txt, the
// unconditional entries of SpecialCasing.txt, and the Cased and
// Case_Ignorable properties for the final-sigma rule). Ill-formed input must
// only not break anything.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fuzz_support.h"
#include "text/lowercase.h"

namespace {

using namespace bv::fuzz;

struct CaseData {
  bool loaded = false;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> lower;
  std::vector<bool> cased = std::vector<bool>(0x110000);
  std::vector<bool> ignorable = std::vector<bool>(0x110000);
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = line.find(separator, start);
    fields.push_back(trim(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start)));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

std::vector<std::uint32_t> code_points(std::string_view hex_list) {
  std::vector<std::uint32_t> cps;
  std::istringstream in{std::string(hex_list)};
  std::string word;
  while (in >> word) cps.push_back(static_cast<std::uint32_t>(std::stoul(word, nullptr, 16)));
  return cps;
}

CaseData load_case_data(const std::string& directory) {
  CaseData data;
  std::ifstream unicode_data(directory + "/UnicodeData.txt");
  std::ifstream special(directory + "/SpecialCasing.txt");
  std::ifstream derived(directory + "/DerivedCoreProperties.txt");
  if (!unicode_data || !special || !derived) return data;

  std::string line;
  while (std::getline(unicode_data, line)) {
    const auto fields = split(line, ';');
    if (fields.size() > 13 && !fields[13].empty()) data.lower[code_points(fields[0])[0]] = code_points(fields[13]);
  }
  while (std::getline(special, line)) {
    const std::string_view content = std::string_view(line).substr(0, line.find('#'));
    if (trim(content).empty()) continue;
    const auto fields = split(content, ';');
    // code; lower; title; upper; [conditions;] -- only entries without
    // conditions apply everywhere.
    if (fields.size() >= 5 && fields[4].empty()) data.lower[code_points(fields[0])[0]] = code_points(fields[1]);
  }
  while (std::getline(derived, line)) {
    const std::string_view content = std::string_view(line).substr(0, line.find('#'));
    const auto fields = split(content, ';');
    if (fields.size() < 2) continue;
    std::vector<bool>* property = fields[1] == "Cased"            ? &data.cased
                                  : fields[1] == "Case_Ignorable" ? &data.ignorable
                                                                  : nullptr;
    if (property == nullptr) continue;
    const std::size_t dots = fields[0].find("..");
    const auto first = static_cast<std::uint32_t>(std::stoul(std::string(fields[0].substr(0, dots)), nullptr, 16));
    const auto last =
        dots == std::string_view::npos
            ? first
            : static_cast<std::uint32_t>(std::stoul(std::string(fields[0].substr(dots + 2)), nullptr, 16));
    for (std::uint32_t cp = first; cp <= last; ++cp) (*property)[cp] = true;
  }
  data.loaded = !data.lower.empty();
  return data;
}

const CaseData& case_data() {
  static const CaseData data = load_case_data("/usr/share/unicode");
  return data;
}

std::string encode(const std::vector<std::uint32_t>& cps) {
  std::string out;
  for (std::uint32_t cp : cps) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// Final_Sigma, with a character that is both case-ignorable and cased taken
// as case-ignorable (skipped), as ICU and Rust read the rule.
bool is_final_sigma(const CaseData& data, const std::vector<std::uint32_t>& cps, std::size_t at) {
  bool preceded = false;
  for (std::size_t i = at; i-- > 0;) {
    if (data.ignorable[cps[i]]) continue;
    preceded = data.cased[cps[i]];
    break;
  }
  if (!preceded) return false;
  for (std::size_t i = at + 1; i < cps.size(); ++i) {
    if (data.ignorable[cps[i]]) continue;
    return !data.cased[cps[i]];
  }
  return true;
}

std::string reference_lower(const CaseData& data, std::string_view utf8) {
  const std::vector<std::uint32_t> cps = ref_code_points(utf8);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    if (cps[i] == 0x03A3) {
      out.push_back(is_final_sigma(data, cps, i) ? 0x03C2 : 0x03C3);
    } else if (auto it = data.lower.find(cps[i]); it != data.lower.end()) {
      out.insert(out.end(), it->second.begin(), it->second.end());
    } else {
      out.push_back(cps[i]);
    }
  }
  return encode(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!case_data().loaded) {
    std::fprintf(stderr, "lowercase fuzz: /usr/share/unicode not readable; checking without the database\n");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string lower = bv::text::to_lower(input);
  if (!ref_validate_utf8(input).valid) return 0;

  BV_FUZZ_CHECK(ref_validate_utf8(lower).valid, "input " + printable(input) + " gave " + printable(lower));
  const std::string twice = bv::text::to_lower(lower);
  BV_FUZZ_CHECK(twice == lower,
                "input " + printable(input) + ": once " + printable(lower) + ", twice " + printable(twice));

  bool ascii = true;
  for (char c : input) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string expected(input);
    for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    BV_FUZZ_CHECK(lower == expected, "input " + printable(input) + " gave " + printable(lower));
  }

  if (case_data().loaded) {
    const std::string expected = reference_lower(case_data(), input);
    BV_FUZZ_CHECK(lower == expected,
                  "input " + printable(input) + " gave " + printable(lower) + ", database says " + printable(expected));
  }
  return 0;
}
