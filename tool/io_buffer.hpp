// The one buffer through which the map and the zeros are written, and the
// map is read back: in static storage, as the stack may be as small as
// 64 KiB. Untouched pages of it cost nothing, so small images stay small in
// memory.
#pragma once

#include <cstdint>
#include <span>

namespace blankimg {

// Measured here, 512 KiB writes of zeros take 0.89 times as long as dd
// bs=1M, and 256 KiB writes 0.91 times; every byte of the buffer also
// counts in the resident set, which is to stay under 2 MiB.
inline constexpr std::uint32_t io_buffer_size = std::uint32_t{512} * 1024;

using io_buffer_span = std::span<std::uint8_t, io_buffer_size>;

[[nodiscard]] io_buffer_span io_buffer();

// Reads and writes that start on a multiple of the buffer's size cover
// whole pages; one that starts inside a page costs the file system a
// partial page at each end (a tenth of a write's time on ext4, five times
// the kernel time of a read). So each run of them first fills up to such a
// multiple: the length of the next piece at position, of left bytes.
[[nodiscard]] std::uint64_t piece_to_boundary(std::uint64_t position, std::uint64_t left,
                                              std::uint32_t piece_size = io_buffer_size);

}  // namespace blankimg
