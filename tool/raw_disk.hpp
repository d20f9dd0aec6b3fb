// Raw disks in and out: --from-raw makes an image whose disk holds a raw
// disk's bytes, --to-raw gives an image's disk back as a raw file.
#pragma once

#include "platform/system.hpp"
#include "tool/command_line.hpp"

namespace blankimg {

// Opens RAW for --from-raw, locked for reading, and completes the plan: the
// geometry, where none was given, from RAW itself; then RAW must fit the
// disk. On failure the source is closed and the status says why:
// cant_open_raw, invalid_size or image_too_large.
[[nodiscard]] run_status open_raw(image_plan &plan, platform::image_source &raw);

// --to-raw: checks the image as --info does, then writes its disk, block by
// block as its map says, to RAW. A damaged image is described on standard
// output and not copied: damaged.
[[nodiscard]] run_status write_raw(image_plan &plan);

}  // namespace blankimg
