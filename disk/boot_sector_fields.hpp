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

// Whether the sector starts as a boot sector does: a jump to its code.
[[nodiscard]] constexpr bool starts_with_jump(std::span<const std::uint8_t> sector) {
  return sector[0] == 0xeb || sector[0] == 0xe9;
}

}  // namespace blankimg
