// The one way the disk's code reaches sectors: reads and writes by LBA
// through calls that whoever holds the disk provides, an image, a raw file
// or memory, so that what is on a disk knows nothing of what holds it.
#pragma once

#include <cstdint>
#include <span>

namespace blankimg {

struct sector_io {
  void *context;
  // Fills out from the start of sector lba on (a sector or part of one, or
  // several); false where the disk does not hold those bytes or they
  // could not be read.
  bool (*read)(void *context, std::uint64_t lba, std::span<std::uint8_t> out);
  // Writes data from the start of sector lba on; false where it failed.
  // None on a disk opened only to be read.
  bool (*write)(void *context, std::uint64_t lba, std::span<const std::uint8_t> data);
  std::uint32_t bytes_per_sector;
  // The sectors the disk says it has; a container may hold bytes past
  // them, or fewer, and its calls tell.
  std::uint64_t sectors;
};

[[nodiscard]] inline bool read_sectors(const sector_io &disk, std::uint64_t lba,
                                       std::span<std::uint8_t> out) {
  return disk.read(disk.context, lba, out);
}

[[nodiscard]] inline bool write_sectors(const sector_io &disk, std::uint64_t lba,
                                        std::span<const std::uint8_t> data) {
  return disk.write != nullptr && disk.write(disk.context, lba, data);
}

}  // namespace blankimg
