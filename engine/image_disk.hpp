// The disk an image holds, as the disk's code sees it: its geometry, and
// its sectors through the image's block map.
#pragma once

#include "disk/disk_geometry.hpp"
#include "image/image_format.hpp"

namespace blankimg {

[[nodiscard]] constexpr disk_geometry geometry_of(const image_header &header) {
  return {.cylinders = header.cylinders,
          .heads = header.heads,
          .sectors_per_track = header.sectors,
          .bytes_per_sector = header.bytes_per_sector};
}

}  // namespace blankimg
