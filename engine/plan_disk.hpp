// The disk a create job makes, worked out from numbers before anything is
// opened: the image's header and block length, and the disk's format.
#pragma once

#include <cstdint>

#include "disk/format.hpp"
#include "disk/geometry.hpp"
#include "engine/status.hpp"
#include "image/image_format.hpp"

namespace blankimg {

struct disk_plan {
  image_header header;
  std::uint32_t block_bytes;  // blocksize * bytes_per_sector
  bool formatted;
  disk_format format;  // where formatted
};

// The image of a disk of this geometry in blocks of blocksize sectors:
// ok, invalid_blocksize for a block longer than a map entry can say, or
// image_too_large for counts or offsets past the format's fields.
[[nodiscard]] run_status plan_layout(std::uint32_t blocksize, std::uint64_t cylinders,
                                     std::uint32_t heads, std::uint32_t sectors,
                                     std::uint32_t bytes_per_sector, disk_plan &plan);

struct format_choice {
  fat_request type;
  partition_scheme partitions;
  const char *label;            // or none, for NO NAME
  const floppy_format *floppy;  // the floppy format named, or none: then found by geometry
  std::uint64_t made_at;        // seconds since 1970: the serial number and the label's date
};

// The format of the planned disk, checked in this order: a geometry a BIOS
// has (invalid_geometry), the label (invalid_label), then whether the file
// system fits (fat_does_not_fit); why says more where it can.
[[nodiscard]] run_status plan_disk_format(const format_choice &choice, disk_plan &plan,
                                          failure_reason &why);

}  // namespace blankimg
