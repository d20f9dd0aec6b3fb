// Reading an image back: the header from its 80 bytes, then the block map
// and the marker from pieces of the file, checked against what the header
// says. Pure functions over buffers; nothing here touches a file, and
// nothing read from one is trusted as a count to allocate or loop by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/image_format.hpp"

namespace blankimg {

enum class finding_kind : std::uint8_t {
  wrong_header_length,  // other than 80
  wrong_blocksize,      // 0, or above max_blocksize
  zero_geometry,        // a cylinder, head or sector count of 0
  wrong_block_count,    // not the count the geometry and block size give
  too_short,            // the file ends before the map and marker do
  marker,               // the marker slot does not hold "EndOfLis"
  entry_in_layout,      // a block's bytes lie in the header, map or marker
  entry_past_end,       // a block's bytes reach past the end of the file
  entry_too_long,       // a block's entry is longer than a block
};

struct finding {
  finding_kind kind;
  std::uint32_t block;  // for the entry_ kinds
};

// A damaged image may have millions of findings: the first few are kept,
// the rest only counted.
inline constexpr std::size_t max_listed_findings = 10;

struct image_findings {
  std::array<finding, max_listed_findings> listed;
  std::size_t listed_count;
  std::uint64_t unlisted_count;
};

struct image_check {
  image_header header;
  std::uint64_t file_size;
  std::uint64_t block_bytes;  // blocksize * bytes_per_sector
  std::uint64_t map_end;      // where the marker's slot begins
  std::uint64_t data_start;   // where the first block begins
  // Blocks whose bytes, laid out as this tool lays them, end within the file.
  std::uint64_t blocks_in_file;
  std::uint64_t checked_to;  // the map and marker are checked up to here
  bool as_created;           // so far, exactly what this tool writes
  image_findings findings;
};

// The header's bytes hold the magic tag.
[[nodiscard]] bool has_magic_tag(std::span<const std::uint8_t, header_length> header_bytes);

[[nodiscard]] image_header read_header(std::span<const std::uint8_t, header_length> header_bytes);

// Checks the header of a file of file_size bytes, and readies the check of
// its map.
[[nodiscard]] image_check start_check(std::span<const std::uint8_t, header_length> header_bytes,
                                      std::uint64_t file_size);

// Where the map and marker end, as far as the file holds them: the bytes
// from block_map_offset up to here are to be passed to check_map_piece.
[[nodiscard]] std::uint64_t map_bytes_end(const image_check &check);

// Checks the entries and the marker among the bytes that stand at offset
// in the file. Pieces come in file order, each starting where the last
// ended, and every piece but the last is a multiple of 8 bytes long.
void check_map_piece(image_check &check, std::uint64_t offset, std::span<const std::uint8_t> bytes);

// Ends the check, once every piece is in.
void finish_check(image_check &check);

[[nodiscard]] std::uint64_t finding_count(const image_findings &findings);

}  // namespace blankimg
