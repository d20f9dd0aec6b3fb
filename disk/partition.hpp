// The master boot record: its loader and one partition table of four
// entries, as PC BIOSes and DOS read them. Pure. Every number here is a
// fact of the MBR's public description.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "disk/disk_geometry.hpp"
#include "disk/fat_type.hpp"

namespace blankimg {

inline constexpr std::uint8_t active_status = 0x80;  // the partition the loader boots

struct mbr_partition {
  std::uint8_t status;  // active_status, or 0
  std::uint8_t type;
  std::uint32_t first_sector;  // LBA
  std::uint32_t sectors;
  std::array<std::uint8_t, 3> first_chs;  // head; sector and cylinder's high bits; cylinder
  std::array<std::uint8_t, 3> last_chs;
};

// The one partition DOS's FDISK would make for the whole disk: from the
// second track (cylinder 0, head 1, sector 1) to the end of the last
// cylinder. None where that leaves no room, or more than 2^32 sectors.
[[nodiscard]] std::optional<mbr_partition> whole_disk_partition(const disk_geometry &disk);

// Whether the partition ends past what CHS can address on this disk: past
// cylinder 1023, or on a disk of more heads or sectors than CHS can say.
[[nodiscard]] bool ends_past_chs(const mbr_partition &partition, const disk_geometry &disk);

// The partition's type for the file system on it: 01 FAT12, 04 FAT16 under
// 32 MiB, 06 FAT16, 0B FAT32 where it ends within cylinder 1023 and its
// CHS fields can say where; past that 0E and 0C, which say to use LBA,
// with the CHS fields at their largest, as FDISK writes them.
void type_partition(mbr_partition &partition, const disk_geometry &disk, fat_type file_system);

// The master boot record's sector: the loader, the disk's signature at 440,
// the table at 446, 55AA at 510; out is zeros, a sector long.
void render_mbr(const mbr_partition &partition, std::uint32_t disk_signature,
                std::span<std::uint8_t> out);

// Whether the sector ends in the boot signature 55AA.
[[nodiscard]] bool has_boot_signature(std::span<const std::uint8_t> sector);

// The four entries of a partition table as they stand in the sector (512
// bytes or more), field by field, checked for nothing.
[[nodiscard]] std::array<mbr_partition, 4> read_mbr_entries(std::span<const std::uint8_t> sector);

// Whether an entry is in use: any type and any length. FDISK leaves unused
// ones all zeros.
[[nodiscard]] constexpr bool entry_in_use(const mbr_partition &entry) {
  return entry.type != 0 || entry.sectors != 0;
}

// The entries of a partition table read back, where sector 0 holds one:
// the 55AA signature, and entries that are empty or lie within the disk.
struct partition_table {
  std::array<mbr_partition, 4> entries;
  std::size_t count;  // entries in use, in the table's order
};
[[nodiscard]] std::optional<partition_table> read_partition_table(
    std::span<const std::uint8_t> sector, std::uint64_t disk_sectors);

}  // namespace blankimg
