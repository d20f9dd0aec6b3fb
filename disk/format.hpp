// A new disk made ready to use: partitioned as FDISK would and formatted as
// FORMAT would, on a disk whose every sector is zero. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "disk/disk_geometry.hpp"
#include "disk/fat.hpp"
#include "disk/partition.hpp"

namespace blankimg {

// A hard disk gets an MBR with one primary, active partition; a floppy
// none, as PC floppies have none. Either may be asked for the other way.
enum class partition_scheme : std::uint8_t { as_the_disk_has, mbr, none };

struct format_request {
  fat_request type;
  partition_scheme partitions;
  volume_label label;
  bool labelled;
  fat_moment made;  // the serial number and the label's date
};

struct disk_format {
  bool partitioned;
  mbr_partition partition;
  fat_volume volume;
  std::uint64_t volume_start;  // sector
};

// The format of the disk, whose floppy format is
// floppy (or none); none where the type asked for cannot hold the volume or
// the disk's sectors are no FAT sectors.
[[nodiscard]] std::optional<disk_format> plan_format(const disk_geometry &disk,
                                                     const floppy_format *floppy,
                                                     const format_request &request);

// Whether the partition the disk would get ends past what CHS can address,
// so that FAT12, which has no LBA partition type, cannot be put there.
[[nodiscard]] bool partition_past_chs(const disk_geometry &disk, const floppy_format *floppy,
                                      partition_scheme partitions);

// The disk's sectors that are not zero once formatted, in ascending order.
inline constexpr std::size_t most_format_sectors = 1 + most_fat_sectors;
[[nodiscard]] std::size_t list_format_sectors(
    const disk_format &format, std::span<std::uint64_t, most_format_sectors> sectors);

// Fills out, a sector long and all zeros, with what the disk's sector at
// lba holds once formatted.
void render_format_sector(const disk_format &format, std::uint64_t lba,
                          std::span<std::uint8_t> out);

}  // namespace blankimg
