// What a disk is: its geometry by size, by floppy format, or as a raw
// disk's own sectors show it. Pure: numbers and names in, numbers out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace blankimg {

// A disk given by its size gets the ATA convention PC emulators expect:
// 16 heads, 63 sectors per track.
inline constexpr std::uint32_t size_heads = 16;
inline constexpr std::uint32_t size_sectors = 63;
inline constexpr std::uint32_t default_sector_size = 512;

// 512, 1024, 2048 or 4096: the sector sizes a disk given by size may have.
[[nodiscard]] bool is_sector_size(std::uint32_t bytes);

// The fewest cylinders of size_heads and size_sectors that hold bytes.
[[nodiscard]] std::uint64_t cylinders_for_size(std::uint64_t bytes, std::uint32_t sector_size);

struct floppy_format {
  std::string_view kilobytes;  // its name in K, as in "1440K"
  std::string_view megabytes;  // its name in M, as in "1.44M", where it has one
  std::uint32_t cylinders;
  std::uint32_t heads;
  std::uint32_t sectors;
  // The file system every PC formats it with: FAT12 of these parameters.
  std::uint8_t media;
  std::uint32_t sectors_per_cluster;
  std::uint32_t root_entries;
  std::uint32_t fat_sectors;
};
inline constexpr std::uint32_t floppy_sector_size = 512;

// The PC format by any of the names people give it: "1.44M", "1.44MB",
// "1440K", "1440KB" or "1440", in either case; none for a name of none.
[[nodiscard]] const floppy_format *find_floppy(std::string_view name);

// The PC floppy format of this geometry, or none.
[[nodiscard]] const floppy_format *find_floppy_geometry(std::uint64_t cylinders,
                                                        std::uint32_t heads, std::uint32_t sectors,
                                                        std::uint32_t bytes_per_sector);

// Where a raw disk's geometry comes from, with none given: its length is a
// floppy format's; its MBR's partitions end on cylinder boundaries, whose
// CHS fields then show the heads and sectors per track; the boot sector of
// its first partition, or of the disk, names them; or the size rule.
enum class raw_geometry_source : std::uint8_t { given, floppy, partition_table, boot_sector, size };

struct raw_geometry {
  raw_geometry_source source;
  std::uint64_t cylinders;
  std::uint32_t heads;
  std::uint32_t sectors;
  const floppy_format *floppy;  // for floppy
};

// The sector whose boot sector geometry_of_raw takes as a witness, where
// the first sector is a DOS partition table: its first partition's first.
[[nodiscard]] std::optional<std::uint64_t> geometry_boot_sector(
    std::span<const std::uint8_t> first_sector);

// The geometry of a raw disk of length bytes of 512-byte sectors, its first
// sector being first_sector and boot_sector the one geometry_boot_sector
// names (each shorter, or empty, where the disk is). Only a geometry a
// BIOS could have given is taken from the disk: at most 255 heads, 9 to 63
// sectors per track, and entries whose CHS and LBA fields agree. A GPT's
// protective entry describes no DOS disk, and says nothing.
[[nodiscard]] raw_geometry geometry_of_raw(std::uint64_t length,
                                           std::span<const std::uint8_t> first_sector,
                                           std::span<const std::uint8_t> boot_sector);

}  // namespace blankimg
