// One run of the tool: read and check the command line, then write the image
// in one forward pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "image/image_format.hpp"

namespace blankimg {

enum class run_status {
  ok,
  usage,
  invalid_blocksize,
  invalid_geometry,
  image_too_large,
  cant_open_dest,
  write_error,
};

inline constexpr std::size_t argument_count = 6;  // after the program's name
inline constexpr std::uint32_t max_blocksize = 2047;
inline constexpr std::uint32_t zero_sector_size = 2048;  // longer sectors go in pieces
// Each full buffer costs one write system call. Here a 256 KiB buffer keeps
// the run near dd with 1 MiB blocks; 64 KiB costs a third more wall time.
inline constexpr std::size_t stream_buffer_size = std::size_t{256} * 1024;

// Everything the writer needs, worked out before the destination is opened.
struct image_plan {
  const char *dest;
  image_header header;
  std::uint32_t block_bytes;  // blocksize * bytes_per_sector
};

// Reads a decimal number the way atoi does: leading C-locale white space, one
// optional sign, then digits up to the first other character; no digits read
// as 0. The value is taken modulo 2^32, so "-1" reads 4294967295. Digits that
// name a value outside -2147483648..4294967295 are refused.
[[nodiscard]] std::optional<std::uint32_t> read_number(const char *text);

// Checks the whole command line, program name included, and fills the plan.
// Returns the first failure found, or ok.
[[nodiscard]] run_status plan_image(std::span<const char *const> command_line, image_plan &plan);

// The name for the usage line: the invoked name, or "blankimg" without one.
[[nodiscard]] const char *program_name(std::span<const char *const> command_line);

// The fixed line for a failure other than usage; nullptr for ok and usage.
[[nodiscard]] const char *message_for(run_status status);

// Creates or truncates dest, with the caller's storage as its buffer.
[[nodiscard]] bool open_image(const char *dest, std::span<char, stream_buffer_size> buffer,
                              output_stream &stream);

// Writes header, block map, end-of-list marker and data area, in that order,
// stopping at the first write that falls short.
[[nodiscard]] run_status write_image(output_stream &stream, const image_plan &plan);

// Closes the stream; false when the buffered rest of the image could not be
// written.
[[nodiscard]] bool close_image(output_stream &stream);

}  // namespace blankimg
