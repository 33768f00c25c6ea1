#include "common/events.h"

namespace bv {

std::string fill_inserts(std::string_view text, std::span<const std::string_view> inserts) {
  std::string filled;
  filled.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      const auto index = static_cast<std::size_t>(text[i + 1] - '1');
      if (index < inserts.size()) filled += inserts[index];
      ++i;
    } else {
      filled += text[i];
    }
  }
  return filled;
}

}  // namespace bv
