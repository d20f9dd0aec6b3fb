// Letters as DOS folds them: ASCII only, whatever the locale.
#pragma once

#include <algorithm>
#include <string_view>

namespace blankimg {

[[nodiscard]] constexpr char ascii_upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

[[nodiscard]] constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, {}, ascii_upper, ascii_upper);
}

}  // namespace blankimg
