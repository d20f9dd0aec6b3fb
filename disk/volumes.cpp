#include "disk/volumes.hpp"

#include <optional>

#include "disk/partition.hpp"

namespace blankimg {

namespace {

// What a boot sector names is in its first 512 bytes, whatever the
// sector's size.
using sector_start = std::array<std::uint8_t, 512>;

found_volume look_at_volume(const sector_io &disk, std::uint64_t first, std::uint64_t sectors) {
  found_volume volume{.start_sector = first,
                      .sectors = sectors,
                      .partition = false,
                      .type = 0,
                      .active = false,
                      .fat = false,
                      .file_system = fat_type::fat12,
                      .label = {}};
  sector_start sector{};
  if (read_sectors(disk, first, sector)) {
    if (const std::optional<fat_found> found = read_fat_boot_sector(sector)) {
      volume.fat = true;
      volume.file_system = found->type;
      volume.label = found->label;
    }
  }
  return volume;
}

}  // namespace

found_volumes find_volumes(const sector_io &disk) {
  found_volumes found{.volumes = {}, .count = 0};
  sector_start sector{};
  if (disk.bytes_per_sector < sector.size() || !read_sectors(disk, 0, sector))
    return found;
  if (read_fat_boot_sector(sector)) {
    found.volumes[found.count++] = look_at_volume(disk, 0, disk.sectors);
    return found;
  }
  const std::optional<partition_table> table = read_partition_table(sector, disk.sectors);
  for (std::size_t i = 0; table && i < table->count; ++i) {
    const mbr_partition &entry = table->entries[i];
    found_volume &volume = found.volumes[found.count++];
    volume = look_at_volume(disk, entry.first_sector, entry.sectors);
    volume.partition = true;
    volume.type = entry.type;
    volume.active = entry.status == active_status;
  }
  return found;
}

}  // namespace blankimg
