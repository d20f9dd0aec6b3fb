// Where the fields of a FAT boot sector stand, as its public description
// gives them: one table for the writer and the readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace blankimg {

struct boot_field {
  std::size_t at;
  std::size_t size;  // bytes, least significant first
};

// The BIOS parameter block, the same for every FAT.
inline constexpr boot_field bytes_per_sector_field = {11, 2};
inline constexpr boot_field sectors_per_cluster_field = {13, 1};
inline constexpr boot_field reserved_sectors_field = {14, 2};
inline constexpr boot_field fat_count_field = {16, 1};
inline constexpr boot_field root_entries_field = {17, 2};
inline constexpr boot_field small_sector_count_field = {19, 2};
inline constexpr boot_field media_field = {21, 1};
inline constexpr boot_field fat16_sectors_field = {22, 2};
inline constexpr boot_field sectors_per_track_field = {24, 2};
inline constexpr boot_field heads_field = {26, 2};
inline constexpr boot_field hidden_sectors_field = {28, 4};
inline constexpr boot_field sector_count_field = {32, 4};
// FAT32's own, after it.
inline constexpr boot_field fat32_sectors_field = {36, 4};
inline constexpr boot_field root_cluster_field = {44, 4};
inline constexpr boot_field fsinfo_sector_field = {48, 2};
inline constexpr boot_field backup_boot_sector_field = {50, 2};
// The extended boot record: at 36, or at 64 on FAT32.
inline constexpr std::size_t extended_at = 36;
inline constexpr std::size_t fat32_extended_at = 64;
inline constexpr std::size_t drive_number_offset = 0;
inline constexpr std::size_t signature_offset = 2;  // 0x29: serial, label and type follow
inline constexpr std::size_t serial_offset = 3;
inline constexpr std::size_t label_offset = 7;
inline constexpr std::size_t type_name_offset = 18;
inline constexpr std::uint8_t extended_signature = 0x29;

constexpr void put_field(std::span<std::uint8_t> sector, boot_field field, std::uint64_t value) {
  for (std::size_t i = 0; i < field.size; ++i)
    sector[field.at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

[[nodiscard]] constexpr std::uint64_t get_field(std::span<const std::uint8_t> sector,
                                                boot_field field) {
  std::uint64_t value = 0;
  for (std::size_t i = field.size; i-- > 0;)
    value = value << 8 | sector[field.at + i];
  return value;
}

// The counts a boot sector's parameter block gives, and what follows from
// them, as readers work them out; nothing here is checked.
struct boot_counts {
  std::uint64_t bytes_per_sector;
  std::uint64_t sectors_per_cluster;
  std::uint64_t reserved_sectors;
  std::uint64_t fat_count;
  std::uint64_t root_entries;
  std::uint64_t sectors;        // the 16-bit count, or the 32-bit one where it is 0
  std::uint64_t fat16_sectors;  // the 16-bit count of a FAT's sectors
  std::uint64_t fat_sectors;    // that, or FAT32's where it is 0
  std::uint64_t
      root_sectors;  // of the root's entries, in whole sectors (with bytes_per_sector not 0)
  std::uint64_t data_start;  // the reserved sectors, the FATs and the root
};

[[nodiscard]] constexpr boot_counts count_boot_sector(std::span<const std::uint8_t> sector) {
  boot_counts counts{.bytes_per_sector = get_field(sector, bytes_per_sector_field),
                     .sectors_per_cluster = get_field(sector, sectors_per_cluster_field),
                     .reserved_sectors = get_field(sector, reserved_sectors_field),
                     .fat_count = get_field(sector, fat_count_field),
                     .root_entries = get_field(sector, root_entries_field),
                     .sectors = get_field(sector, small_sector_count_field),
                     .fat16_sectors = get_field(sector, fat16_sectors_field),
                     .fat_sectors = 0,
                     .root_sectors = 0,
                     .data_start = 0};
  if (counts.sectors == 0)
    counts.sectors = get_field(sector, sector_count_field);
  counts.fat_sectors =
      counts.fat16_sectors != 0 ? counts.fat16_sectors : get_field(sector, fat32_sectors_field);
  if (counts.bytes_per_sector != 0)
    counts.root_sectors =
        (counts.root_entries * 32 + counts.bytes_per_sector - 1) / counts.bytes_per_sector;
  counts.data_start =
      counts.reserved_sectors + counts.fat_count * counts.fat_sectors + counts.root_sectors;
  return counts;
}

// Whether the sector starts as a boot sector does: a jump to its code.
[[nodiscard]] constexpr bool starts_with_jump(std::span<const std::uint8_t> sector) {
  return sector[0] == 0xeb || sector[0] == 0xe9;
}

}  // namespace blankimg
