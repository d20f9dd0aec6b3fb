// A FAT file system on a new, zero-filled volume: its parameters, chosen as
// FORMAT chooses them, and the few sectors that are not zero. Pure: the
// numbers come in, the bytes of each sector go out. Every number here is a
// fact of the published FAT file system specification.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "disk/fat_type.hpp"
#include "disk/geometry.hpp"

namespace blankimg {

// What was asked for: a type picked by the volume's size, or one forced.
enum class fat_request : std::uint8_t { by_size, fat12, fat16, fat32 };

using volume_label = std::array<char, 11>;
inline constexpr volume_label no_name = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};

// A label as FAT allows one: 1 to 11 printable ASCII characters, none of
// them one of " * + , . / : ; < = > ? [ \ ] |, not starting with a space;
// letters are made upper case and the rest filled with spaces.
[[nodiscard]] std::optional<volume_label> read_volume_label(std::string_view text);

// A moment as a FAT directory entry and FORMAT's serial number keep it,
// from seconds since 1970 in UTC; before 1980, 1980 begins.
struct fat_moment {
  std::uint16_t date;    // year - 1980 << 9 | month << 5 | day
  std::uint16_t time;    // hour << 11 | minute << 5 | seconds / 2
  std::uint32_t serial;  // the volume serial number DOS's FORMAT makes of it
};
[[nodiscard]] fat_moment fat_moment_of(std::uint64_t unix_seconds);

// Seconds since 1970 in UTC of a directory entry's date and time, as
// fat_moment_of makes them; a day or month of 0 is taken as the 1st.
[[nodiscard]] std::uint64_t unix_seconds_of(std::uint16_t date, std::uint16_t time);

// The latest moment FAT can keep: 2107-12-31 23:59:58.
inline constexpr std::uint64_t latest_fat_moment = 4354819198;

struct fat_volume {
  fat_type type;
  std::uint32_t bytes_per_sector;
  std::uint32_t sectors_per_cluster;
  std::uint32_t reserved_sectors;
  std::uint32_t fat_count;
  std::uint32_t root_entries;  // 0 for FAT32, whose root is cluster 2
  std::uint32_t sectors;       // the whole volume
  std::uint32_t fat_sectors;   // of one FAT
  std::uint32_t clusters;
  std::uint8_t media;
  std::uint8_t drive_number;     // 0x00 a floppy, 0x80 a hard disk
  std::uint32_t hidden_sectors;  // before the volume: the partition's start
  std::uint32_t sectors_per_track;
  std::uint32_t heads;
  volume_label label;
  bool labelled;  // a label was given: the root directory names it too
  fat_moment made;
};

// Where a volume stands on the disk and what it is: by the geometry of the
// disk it is on (sectors per track and heads go into its boot sector), its
// first sector and its length.
struct volume_place {
  std::uint32_t bytes_per_sector;
  std::uint32_t sectors_per_track;
  std::uint32_t heads;
  std::uint64_t first_sector;
  std::uint64_t sectors;
  const floppy_format *floppy;  // a floppy's standard parameters, or none
  // Its partition ends past what CHS can address: only an LBA partition
  // type can say where it is, and FAT12 has none.
  bool past_chs;
};

// The volume FORMAT would make there, or none where the type asked for
// cannot hold it: FAT12 below 4085 clusters and within CHS, FAT16 from
// 4087 to 65524 and within 2 GiB, FAT32 from 65529 clusters on and on no
// floppy; the counts between, which readers take for either type, never.
// By size, FAT12 for floppies and volumes of up to 32680 sectors of 512
// bytes (16 MiB), FAT16 up to 2 GiB, FAT32 above; where that type cannot
// hold the volume, the next larger that can, else the next smaller.
// Sectors of 512 to 4096 bytes only.
[[nodiscard]] std::optional<fat_volume> lay_out_fat(const volume_place &place, fat_request request,
                                                    const volume_label &label, bool labelled,
                                                    const fat_moment &made);

// The volume's sectors that are not zero, relative to its first: the boot
// sector, FAT32's FSInfo and their backups, the first sector of each FAT,
// and the root directory's first sector when it holds a label. Returns how
// many it put in sectors.
inline constexpr std::size_t most_fat_sectors = 8;
[[nodiscard]] std::size_t list_fat_sectors(const fat_volume &volume,
                                           std::span<std::uint32_t, most_fat_sectors> sectors);

// Fills out, bytes_per_sector long and all zeros, with what the volume's
// sector at relative holds.
void render_fat_sector(const fat_volume &volume, std::uint32_t relative,
                       std::span<std::uint8_t> out);

// What a sector that begins a volume says of it, read back: its type, by
// its count of clusters as the specification counts them, and the label in
// its boot sector; none where the sector is no FAT boot sector.
struct fat_found {
  fat_type type;
  volume_label label;
};
[[nodiscard]] std::optional<fat_found> read_fat_boot_sector(std::span<const std::uint8_t> sector);

}  // namespace blankimg
