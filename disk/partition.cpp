#include "disk/partition.hpp"

#include <algorithm>

#include "disk/boot_code.hpp"
#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::size_t table_at = 446;
constexpr std::size_t entry_size = 16;
constexpr std::size_t signature_at = 510;

// An entry's fields, where each stands in its 16 bytes; one table for
// writing and reading them.
struct entry_field {
  std::size_t at;
  std::size_t length;
};
constexpr entry_field status_field = {0, 1};
constexpr entry_field first_chs_field = {1, 3};
constexpr entry_field type_field = {4, 1};
constexpr entry_field last_chs_field = {5, 3};
constexpr entry_field first_sector_field = {8, 4};
constexpr entry_field sectors_field = {12, 4};
constexpr std::uint64_t most_chs_cylinder = 1023;
constexpr std::uint32_t most_chs_heads = 255;
constexpr std::uint32_t most_chs_sectors = 63;
// Cylinder 1023, head 254, sector 63: "past what CHS can say".
constexpr std::array<std::uint8_t, 3> largest_chs = {0xfe, 0xff, 0xff};

bool chs_can_say(const disk_geometry &disk) {
  return disk.heads <= most_chs_heads && disk.sectors_per_track <= most_chs_sectors;
}

// The three CHS bytes of sector lba, or the largest where CHS cannot say it.
std::array<std::uint8_t, 3> chs_of(const disk_geometry &disk, std::uint64_t lba) {
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

std::optional<mbr_partition> whole_disk_partition(const disk_geometry &disk) {
  const std::uint64_t total = disk.cylinders * disk.heads * disk.sectors_per_track;
  const std::uint64_t first = disk.sectors_per_track;
  if (total <= first || total - first > 0xffffffff)
    return std::nullopt;
  return mbr_partition{.status = active_status,
                       .type = 0,
                       .first_sector = static_cast<std::uint32_t>(first),
                       .sectors = static_cast<std::uint32_t>(total - first),
                       .first_chs = chs_of(disk, first),
                       .last_chs = chs_of(disk, total - 1)};
}

bool ends_past_chs(const mbr_partition &partition, const disk_geometry &disk) {
  const std::uint64_t last = std::uint64_t{partition.first_sector} + partition.sectors - 1;
  const std::uint64_t per_cylinder = std::uint64_t{disk.heads} * disk.sectors_per_track;
  return !chs_can_say(disk) || last / per_cylinder > most_chs_cylinder;
}

void type_partition(mbr_partition &partition, const disk_geometry &disk, fat_type file_system) {
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
            : (std::uint64_t{partition.sectors} * disk.bytes_per_sector < small_fat16_bytes ? 0x04
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
  entry[status_field.at] = partition.status;
  std::ranges::copy(partition.first_chs, entry.begin() + first_chs_field.at);
  entry[type_field.at] = partition.type;
  std::ranges::copy(partition.last_chs, entry.begin() + last_chs_field.at);
  put_little_endian<first_sector_field.length>(entry, first_sector_field.at,
                                               partition.first_sector);
  put_little_endian<sectors_field.length>(entry, sectors_field.at, partition.sectors);
  out[signature_at] = 0x55;
  out[signature_at + 1] = 0xaa;
}

bool has_boot_signature(std::span<const std::uint8_t> sector) {
  return sector.size() >= 512 && sector[signature_at] == 0x55 && sector[signature_at + 1] == 0xaa;
}

std::array<mbr_partition, 4> read_mbr_entries(std::span<const std::uint8_t> sector) {
  std::array<mbr_partition, 4> entries{};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::span<const std::uint8_t> entry =
        sector.subspan(table_at + i * entry_size, entry_size);
    mbr_partition &read = entries[i];
    read.status = entry[status_field.at];
    read.type = entry[type_field.at];
    read.first_sector = static_cast<std::uint32_t>(
        get_little_endian<first_sector_field.length>(entry, first_sector_field.at));
    read.sectors = static_cast<std::uint32_t>(
        get_little_endian<sectors_field.length>(entry, sectors_field.at));
    std::ranges::copy(entry.subspan(first_chs_field.at, first_chs_field.length),
                      read.first_chs.begin());
    std::ranges::copy(entry.subspan(last_chs_field.at, last_chs_field.length),
                      read.last_chs.begin());
  }
  return entries;
}

std::optional<partition_table> read_partition_table(std::span<const std::uint8_t> sector,
                                                    std::uint64_t disk_sectors) {
  if (!has_boot_signature(sector))
    return std::nullopt;
  partition_table table{.entries = {}, .count = 0};
  for (const mbr_partition &entry : read_mbr_entries(sector)) {
    if (!entry_in_use(entry))
      continue;
    if ((entry.status != 0 && entry.status != active_status) || entry.type == 0 ||
        entry.sectors == 0 || entry.first_sector == 0 ||
        std::uint64_t{entry.first_sector} + entry.sectors > disk_sectors)
      return std::nullopt;
    table.entries[table.count++] = entry;
  }
  return table;
}

}  // namespace blankimg
