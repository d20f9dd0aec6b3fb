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
  disk_too_large,       // a disk larger than any file can hold
  wrong_block_count,    // not the count the geometry and block size give
  too_short,            // the file ends before the map and marker do
  marker,               // the marker slot does not hold "EndOfLis"
  // What is wrong with a block's entry; every kind from here on names one.
  entry_in_layout,  // a block's bytes lie in the header, map or marker
  entry_past_end,   // a block's bytes reach past the end of the file
  entry_too_long,   // a block's entry is longer than a block
  entry_empty,      // a block of a disk whose blocks hold bytes has none
  entry_overlaps,   // a block's bytes are also another block's
};

struct finding {
  finding_kind kind;
  std::uint32_t block;  // for the entry_ kinds
  std::uint32_t other;  // for entry_overlaps: the block it shares bytes with
};

// Why an image is not laid out exactly as this tool creates it.
enum class layout_difference : std::uint8_t {
  none,
  damaged,         // what the findings say
  other_header,    // a header word other than the tool writes
  too_large,       // blocks or a file larger than an entry can say
  trailing_bytes,  // bytes after the last block
  short_file,      // the file ends before the last block does
  block_order,     // blocks in another order, or of another length
};

// A damaged image may have millions of findings: the first few are kept,
// the rest only counted.
inline constexpr std::size_t max_listed_findings = 10;

struct image_findings {
  std::array<finding, max_listed_findings> listed;
  std::size_t listed_count;
  std::uint64_t unlisted_count;
};

// Blocks that share bytes. While the entries' offsets ascend, as in every
// map this tool writes, each entry need only be held against the one that
// reaches furthest before it. A map in another order is sorted first.
struct overlap_check {
  bool ascending;
  std::uint64_t last_offset;
  std::uint64_t furthest_end;
  std::uint32_t furthest_block;
  // The first overlaps, by block where they are known, else by entry.
  struct pair {
    std::uint32_t block;
    std::uint32_t other;
    map_entry entry;
    map_entry other_entry;
  };
  std::array<pair, max_listed_findings> listed;
  std::size_t listed_count;
  std::uint64_t count;
};

struct image_check {
  image_header header;
  std::uint64_t file_size;
  std::uint64_t block_bytes;  // blocksize * bytes_per_sector
  std::uint64_t map_end;      // where the marker's slot begins
  std::uint64_t data_start;   // where the first block begins
  // Blocks whose bytes, laid out as this tool lays them, end within the file.
  std::uint64_t blocks_in_file;
  std::uint64_t checked_to;      // the map and marker are checked up to here
  bool as_created;               // so far, exactly what this tool writes
  layout_difference difference;  // the first reason it is not
  overlap_check overlaps;
  image_findings findings;
};

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

// The number of entries the file holds, up to the header's count.
[[nodiscard]] std::uint64_t entries_in_file(const image_check &check);

// Whether the map's offsets ascend, so that check_map_piece has found every
// overlap. When they do not, the overlaps are found from all the entries at
// once: find_overlaps_sorted takes them, as read from the file, in a span
// it may reorder, and name_overlapping_blocks then reads the map again,
// piece by piece as check_map_piece does, to name the blocks involved.
[[nodiscard]] bool entries_ascend(const image_check &check);
void find_overlaps_sorted(image_check &check, std::span<map_entry> entries);
void name_overlapping_blocks(image_check &check, std::uint64_t offset,
                             std::span<const std::uint8_t> bytes);

// Ends the check, once every piece is in.
void finish_check(image_check &check);

[[nodiscard]] std::uint64_t finding_count(const image_findings &findings);

}  // namespace blankimg
