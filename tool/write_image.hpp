// Writing one image: open the destination, write its parts in order, close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image_format.hpp"
#include "tool/command_line.hpp"
#include "tool/copy_disk.hpp"
#include "tool/output_stream.hpp"
#include "tool/progress.hpp"

namespace blankimg {

struct image_file {
  output_stream stream;
  bool created;  // dest did not exist before this run
};

// Creates dest, or locks and cuts the file there, as the options say.
[[nodiscard]] bool open_image(const image_plan &plan, image_file &image);

// Writes header, block map and end-of-list marker, then gives the data area
// its zeros as the plan's mode says, and RAW's bytes where raw is given
// (the marker then last), stopping at the first failure: write_error,
// read_error of RAW, or interrupted by a stop signal. A failure in the
// data area gives its room back.
[[nodiscard]] run_status write_image(image_file &image, const image_plan &plan,
                                     progress_meter &progress,
                                     const platform::image_source *raw = nullptr);

// Gives [offset, offset + length) its zeros as mode says: reserved, a hole,
// or written; the file is then at least offset + length bytes long.
// Returns ok, write_error, or interrupted where a stop signal waits.
[[nodiscard]] run_status give_zeros(output_stream &stream, preallocation mode, std::uint64_t offset,
                                    std::uint64_t length, progress_meter &progress);

// How a copy onto a destination given its zeros in mode is made: each byte
// in order into a pipe or for full; otherwise its data alone, less the
// blocks of zeros for off, which stay holes.
[[nodiscard]] copy_mode copy_mode_for(const output_stream &stream, preallocation mode);

// Flushes and closes the image, first syncing it to stable storage when
// asked; false when any of that fails. The stream is closed in any case.
[[nodiscard]] bool close_image(image_file &image, const char *dest, bool sync);

}  // namespace blankimg
