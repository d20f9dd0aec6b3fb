// A disk as its BIOS sees it: cylinders, heads, sectors per track and the
// bytes of each sector, whatever container holds it. Pure.
#pragma once

#include <cstdint>
#include <optional>

namespace blankimg {

struct disk_geometry {
  std::uint64_t cylinders;
  std::uint32_t heads;
  std::uint32_t sectors_per_track;
  std::uint32_t bytes_per_sector;
};

// The disk's sectors; none where their count passes 64 bits.
[[nodiscard]] constexpr std::optional<std::uint64_t> sector_count(const disk_geometry &disk) {
  const std::uint64_t per_cylinder = std::uint64_t{disk.heads} * disk.sectors_per_track;
  if (per_cylinder != 0 && disk.cylinders > UINT64_MAX / per_cylinder)
    return std::nullopt;
  return disk.cylinders * per_cylinder;
}

}  // namespace blankimg
