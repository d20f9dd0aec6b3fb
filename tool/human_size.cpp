#include "tool/human_size.hpp"

#include <cstddef>
#include <cstdio>

namespace blankimg {

void format_size(size_text &text, double bytes) {
  constexpr std::array<const char *, 7> units = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  std::size_t unit = 0;
  for (; bytes >= 1024 && unit + 1 < units.size(); ++unit)
    bytes /= 1024;
  static_cast<void>(std::snprintf(text.data(), text.size(), "%.1f %s", bytes, units[unit]));
}

}  // namespace blankimg
