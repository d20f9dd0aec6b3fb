// The volume finder: where a disk's volumes stand, one per partition of
// its MBR, or one for a disk that is a volume whole, as a floppy is, and
// the FAT file system each holds. Pure: sectors only through sector_io.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "disk/fat.hpp"
#include "disk/sector_io.hpp"

namespace blankimg {

struct found_volume {
  std::uint64_t start_sector;
  std::uint64_t sectors;
  bool partition;  // in a partition table, with a type and a flag
  std::uint8_t type;
  bool active;
  bool fat;  // a FAT file system, of this type and label
  fat_type file_system;
  volume_label label;
};

struct found_volumes {
  std::array<found_volume, 4> volumes;
  std::size_t count;
};

// The volumes the disk's first sector shows: a FAT boot sector makes the
// whole disk one; a valid partition table, one per partition in use; any
// other first sector, or a disk whose sectors cannot be read, none.
[[nodiscard]] found_volumes find_volumes(const sector_io &disk);

}  // namespace blankimg
