// Sizes as people read them.
#pragma once

#include <array>

namespace blankimg {

using size_text = std::array<char, 32>;  // room for a header's 2^128 bytes

// "504.0 MiB": binary units, one decimal.
void format_size(size_text &text, double bytes);

}  // namespace blankimg
