// Reading one image back: its header, then its whole block map and marker,
// a buffer at a time, however large the map is.
#pragma once

#include <cstdint>

#include "image/image_check.hpp"
#include "tool/run_status.hpp"

namespace blankimg {

// Reads and checks the image at path, filling check and the disk space the
// file takes. Returns ok, whatever the check found, or why the image could
// not be read: cant_open_image, not_an_image or read_error.
[[nodiscard]] run_status inspect_image(const char *path, image_check &check,
                                       std::uint64_t &allocated);

}  // namespace blankimg
