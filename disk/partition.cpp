#include "disk/partition.hpp"

#include <algorithm>

#include "disk/boot_code.hpp"
#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::size_t table_at = 446;
constexpr std::size_t entry_size = 16;
constexpr std::uint64_t most_chs_cylinder = 1023;
constexpr std::uint32_t most_chs_heads = 255;
constexpr std::uint32_t most_chs_sectors = 63;
// Cylinder 1023, head 254, sector 63: "past what CHS can say".
constexpr std::array<std::uint8_t, 3> largest_chs = {0xfe, 0xff, 0xff};

bool chs_can_say(const disk_shape &disk) {
  return disk.heads <= most_chs_heads && disk.sectors_per_track <= most_chs_sectors;
}

// The three CHS bytes of sector lba, or the largest where CHS cannot say it.
std::array<std::uint8_t, 3> chs_of(const disk_shape &disk, std::uint64_t lba) {
  const std::uint64_t per_cylinder = std::uint64_t{disk.heads} * disk.sectors_per_track;
  const std::uint64_t cylinder = lba / per_cylinder;
  if (!chs_can_say(disk) || cylinder > most_chs_cylinder)
    return largest_chs;
  const auto head = static_cast<std::uint8_t>(lba / disk.sectors_per_track % disk.heads);
  const auto sector = static_cast<std::uint32_t>(lba % disk.sectors_per_track + 1);
  return {head, static_cast<std::uint8_t>(sector | (cylinder >> 8) << 6),
          static_cast<std::uint8_t>(cylinder & 0xff)};
}

}  // namespace

std::optional<mbr_partition> whole_disk_partition(const disk_shape &disk) {
  const std::uint64_t total = disk.cylinders * disk.heads * disk.sectors_per_track;
  const std::uint64_t first = disk.sectors_per_track;
  if (total <= first || total - first > 0xffffffff)
    return std::nullopt;
  return mbr_partition{.active = true,
                       .type = 0,
                       .first_sector = static_cast<std::uint32_t>(first),
                       .sectors = static_cast<std::uint32_t>(total - first),
                       .first_chs = chs_of(disk, first),
                       .last_chs = chs_of(disk, total - 1)};
}

bool ends_past_chs(const mbr_partition &partition, const disk_shape &disk) {
  const std::uint64_t last = std::uint64_t{partition.first_sector} + partition.sectors - 1;
  const std::uint64_t per_cylinder = std::uint64_t{disk.heads} * disk.sectors_per_track;
  return !chs_can_say(disk) || last / per_cylinder > most_chs_cylinder;
}

void type_partition(mbr_partition &partition, const disk_shape &disk, fat_type file_system,
                    std::uint32_t bytes_per_sector) {
  const bool within_chs = !ends_past_chs(partition, disk);
  constexpr std::uint64_t small_fat16_bytes = std::uint64_t{32} << 20;
  switch (file_system) {
  case fat_type::fat12:
    partition.type = 0x01;
    break;
  case fat_type::fat16:
    partition.type =
        !within_chs
            ? 0x0e
            : (std::uint64_t{partition.sectors} * bytes_per_sector < small_fat16_bytes ? 0x04
                                                                                       : 0x06);
    break;
  case fat_type::fat32:
    partition.type = within_chs ? 0x0b : 0x0c;
    break;
  }
}

void render_mbr(const mbr_partition &partition, std::uint32_t disk_signature,
                std::span<std::uint8_t> out) {
  std::ranges::copy(mbr_loader, out.begin());
  put_little_endian<4>(out, 440, disk_signature);
  const std::span<std::uint8_t> entry = out.subspan(table_at, entry_size);
  entry[0] = partition.active ? 0x80 : 0x00;
  std::ranges::copy(partition.first_chs, entry.begin() + 1);
  entry[4] = partition.type;
  std::ranges::copy(partition.last_chs, entry.begin() + 5);
  put_little_endian<4>(entry, 8, partition.first_sector);
  put_little_endian<4>(entry, 12, partition.sectors);
  out[510] = 0x55;
  out[511] = 0xaa;
}

std::optional<partition_table> read_partition_table(std::span<const std::uint8_t> sector,
                                                    std::uint64_t disk_sectors) {
  if (sector.size() < 512 || sector[510] != 0x55 || sector[511] != 0xaa)
    return std::nullopt;
  partition_table table{.entries = {}, .count = 0};
  for (std::size_t i = 0; i < table.entries.size(); ++i) {
    const std::span<const std::uint8_t> entry =
        sector.subspan(table_at + i * entry_size, entry_size);
    const std::uint8_t status = entry[0];
    const std::uint8_t type = entry[4];
    const auto first = static_cast<std::uint32_t>(get_little_endian<4>(entry, 8));
    const auto sectors = static_cast<std::uint32_t>(get_little_endian<4>(entry, 12));
    if (type == 0 && sectors == 0)
      continue;
    if ((status != 0 && status != 0x80) || type == 0 || sectors == 0 || first == 0 ||
        std::uint64_t{first} + sectors > disk_sectors)
      return std::nullopt;
    mbr_partition &found = table.entries[table.count++];
    found = {.active = status == 0x80,
             .type = type,
             .first_sector = first,
             .sectors = sectors,
             .first_chs = {},
             .last_chs = {}};
    std::ranges::copy(entry.subspan(1, 3), found.first_chs.begin());
    std::ranges::copy(entry.subspan(5, 3), found.last_chs.begin());
  }
  return table;
}

}  // namespace blankimg
