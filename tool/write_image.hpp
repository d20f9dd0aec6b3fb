// Writing one image: open the destination, write its parts in order, close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image_format.hpp"
#include "tool/command_line.hpp"

namespace blankimg {

// The map goes out in runs of this many bytes, encoded in static storage.
inline constexpr std::size_t map_buffer_size = std::size_t{256} * 1024;
// Zeros go out in writes of this many bytes, straight from static storage:
// large enough that the system call is no longer the cost.
inline constexpr std::uint32_t zero_buffer_size = std::uint32_t{1} << 20;

// Creates or truncates dest. The stream is unbuffered: every write the
// writer makes is already as large as it needs to be.
[[nodiscard]] bool open_image(const char *dest, output_stream &stream);

// Writes header, block map and end-of-list marker, then gives the data area
// its zeros as the plan's mode says, stopping at the first failure.
[[nodiscard]] run_status write_image(output_stream &stream, const image_plan &plan);

// Closes the stream; false when the rest of the image could not be written.
[[nodiscard]] bool close_image(output_stream &stream);

}  // namespace blankimg
