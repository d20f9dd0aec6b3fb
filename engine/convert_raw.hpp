// Raw disks in and out: a raw disk opened to be copied into a new image
// (the create job copies it), and an image's disk given back as a raw file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "disk/geometry.hpp"
#include "engine/create_image.hpp"
#include "engine/inspect_image.hpp"
#include "platform/system.hpp"

namespace blankimg {

inline constexpr std::size_t raw_sector = 512;

struct raw_disk {
  platform::image_source source;
  // Its first sector (or as much as it has), and the boot sector that
  // geometry_boot_sector names (or none): what its geometry is read from.
  std::array<std::uint8_t, raw_sector> first;
  std::size_t first_length;
  std::array<std::uint8_t, raw_sector> boot;
  std::size_t boot_length;
};

// Opens the raw disk at path, locked for reading, and reads the sectors its
// geometry is found from. A file that starts (or, for a VHD, ends) as an
// image of another format does is refused: cant_open_raw, with why
// naming the format; so is one that cannot be opened; read_error. On
// failure nothing is left open.
[[nodiscard]] run_status open_raw_disk(const char *path, raw_disk &raw, failure_reason &why);

void close_raw_disk(raw_disk &raw);

// The geometry the raw disk's length and sectors show.
[[nodiscard]] raw_geometry geometry_of_raw_disk(const raw_disk &raw);

struct to_raw_request {
  const char *image;
  const char *raw;
  preallocation mode;  // how the raw file gets its zeros
  bool no_clobber;
  bool sync;
  progress_hook progress;  // of the disk's bytes
};

// Checks the image as inspect_image does, then writes its disk, block by
// block as its map says, to the raw file. A disk no file can hold is
// image_too_large; a damaged image is not copied: damaged, with found
// saying why.
[[nodiscard]] run_status write_raw_disk(const to_raw_request &request, job_memory &memory,
                                        image_inspection &found, failure_reason &why);

}  // namespace blankimg
