// The three FAT file systems, which the partition table names too.
#pragma once

#include <cstdint>

namespace blankimg {

enum class fat_type : std::uint8_t { fat12, fat16, fat32 };

}  // namespace blankimg
