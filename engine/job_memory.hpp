// The memory a job works in: given by its caller (the tool's is static, as
// the stack may be as small as 64 KiB), one buffer for each use. Untouched
// pages cost nothing, so small images stay small in memory.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "disk/fat_volume.hpp"

namespace blankimg {

// Measured here, 512 KiB writes of zeros take 0.89 times as long as dd
// bs=1M, and 256 KiB writes 0.91 times; reads of 256 KiB take no longer
// than reads of 512 KiB. Every page touched counts in the resident set,
// which is to stay under 2 MiB.
inline constexpr std::uint32_t zeros_piece = std::uint32_t{512} * 1024;
inline constexpr std::uint32_t read_piece = std::uint32_t{256} * 1024;
// A volume's sectors cached by a file job: a FAT of 256 sectors of 512
// bytes, as a 1 GiB FAT16 volume has, fits whole.
inline constexpr std::uint32_t volume_cache_bytes = std::uint32_t{128} * 1024;

struct job_memory {
  // The block map, encoded to be written or read back a piece at a time.
  std::array<std::uint8_t, read_piece> map;
  // Zeros, rendered sectors and the bytes of a copy on their way; a file
  // job's volume's sector cache, in the pages a new image's map was
  // written through (its copies go through the map's buffer, which its
  // check read the map through).
  std::array<std::uint8_t, zeros_piece> data;
  std::array<cache_slot, volume_cache_bytes / 512> slots;
};

[[nodiscard]] inline std::span<std::uint8_t> volume_cache(job_memory &memory) {
  return std::span(memory.data).first(volume_cache_bytes);
}

// Reads and writes that start on a multiple of the piece's size cover
// whole pages; one that starts inside a page costs the file system a
// partial page at each end (a tenth of a write's time on ext4, five times
// the kernel time of a read). So each run of them first fills up to such a
// multiple: the length of the next piece at position, of left bytes.
[[nodiscard]] std::uint64_t piece_to_boundary(std::uint64_t position, std::uint64_t left,
                                              std::uint32_t piece_size = zeros_piece);

}  // namespace blankimg
