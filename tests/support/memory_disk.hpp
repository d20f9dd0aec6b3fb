// A disk in memory, reached through sector_io as the disk's code reaches
// any disk: for tests of what is on a disk, with no file and no root.
// Sectors never written read as zeros and take no memory, so a disk of
// terabytes costs what its format writes.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "disk/format.hpp"
#include "disk/sector_io.hpp"

namespace blankimg::test {

struct memory_disk {
  std::uint64_t sectors = 0;
  std::uint32_t bytes_per_sector = 512;
  std::map<std::uint64_t, std::vector<std::uint8_t>> written;
  bool reads_fail = false;

  // The sector's bytes, zeros where it was never written; a sector made
  // so can be changed in place.
  std::span<std::uint8_t> sector(std::uint64_t lba);
};

[[nodiscard]] sector_io io_of(memory_disk &disk);

// A disk of the geometry's sectors with every sector the format renders
// written through io_of, as the create job writes them.
[[nodiscard]] memory_disk formatted_disk(const disk_geometry &geometry, const disk_format &format);

}  // namespace blankimg::test
