// Reading one image back: its header, then its whole block map and marker,
// a buffer at a time, however large the map is.
#pragma once

#include <array>
#include <cstdint>

#include "disk/fat.hpp"
#include "disk/fat_check.hpp"
#include "engine/job_memory.hpp"
#include "engine/status.hpp"
#include "image/image_check.hpp"
#include "platform/system.hpp"

namespace blankimg {

// Where the disk's volumes stand, as the volume finder found them, and
// where each is in the image file.
struct volume_view {
  std::uint64_t start_sector;
  std::uint64_t sectors;
  // Where its first byte is in the image file, through the map; only where
  // all of it is one run of the file, as a tool given an offset reads it.
  bool contiguous;
  std::uint64_t offset;
  bool partition;  // in a partition table, with a type and a flag
  std::uint8_t type;
  bool active;
  bool fat;  // a FAT file system, of this type and label
  fat_type file_system;
  volume_label label;
  volume_findings findings;  // of its file system, where it is FAT
};

struct disk_view {
  std::uint64_t data_offset;  // the file offset of the disk's first byte
  bool contiguous;            // the whole disk is one run of the file from there
  std::array<volume_view, 4> volumes;
  std::size_t volume_count;
};

// The findings of the disk's volumes, all counted.
[[nodiscard]] std::uint64_t volume_finding_count(const disk_view &disk);

// What the inspect job found: the checks' findings, the disk space the file
// takes and where its volumes are.
struct image_inspection {
  image_check check;
  std::uint64_t allocated;
  disk_view disk;
};

// Reads and checks the image at path. Returns ok, whatever the check
// found, or why the image could not be read: cant_open_image (why then
// says more), not_an_image, read_error or out_of_memory.
[[nodiscard]] run_status inspect_image(const char *path, job_memory &memory,
                                       image_inspection &found, failure_reason &why);

// How much of an image is read back.
enum class inspect_depth : std::uint8_t {
  everything,       // the header, the map, the volumes and their file systems
  no_file_systems,  // all but the checks of the volumes' file systems
  just_made,        // by this process, as it lays images out: the header, and where the volumes are
};

// The same, of an image already open.
[[nodiscard]] run_status inspect_source(const platform::image_source &source, job_memory &memory,
                                        image_check &check, disk_view &disk,
                                        inspect_depth depth = inspect_depth::everything);

// Block's map entry, where the file holds it; false where it does not, or
// the read fails.
[[nodiscard]] bool read_map_entry(const platform::image_source &source, const image_check &check,
                                  std::uint64_t block, map_entry &entry);

// Reads [from, to) of the source into buffer, a piece at a time on the
// pieces' boundaries, handing each to take(offset, piece); false when a
// read fails.
template <typename take_piece>
[[nodiscard]] bool read_pieces(const platform::image_source &source,
                               std::span<std::uint8_t, read_piece> buffer, std::uint64_t from,
                               std::uint64_t to, take_piece take) {
  for (std::uint64_t offset = from; offset < to;) {
    const auto piece =
        buffer.first(static_cast<std::size_t>(piece_to_boundary(offset, to - offset, read_piece)));
    if (!platform::read_at(source, offset, piece))
      return false;
    take(offset, piece);
    offset += piece.size();
  }
  return true;
}

}  // namespace blankimg
