// Reading an image back: the header from its 80 bytes, then the block map
// and the marker from pieces of the file, checked against what the header
// says. Pure functions over buffers; nothing here touches a file, and
// nothing read from one is trusted as a count to allocate or loop by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
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
// overlap. When they do not, the overlaps are found a range of offsets at
// a time, in memory for a bounded number of entries, so that no map costs
// memory of its own size:
// - furthest_entry_end over every piece of the map gives the end of the
//   offsets any entry reaches;
// - count_range_piece over every piece fills the plan's count of the
//   entries that start in each of its buckets of offsets;
// - for each range next_overlap_range gives, collect_range_piece over
//   every piece gathers the entries that reach into the range, and
//   find_overlaps_in_range sorts them and counts the overlaps whose later
//   entry starts there;
// - name_overlapping_blocks then reads the map again, piece by piece as
//   check_map_piece does, to name the blocks involved.
// Every piece but the last is a multiple of 8 bytes long.
[[nodiscard]] bool entries_ascend(const image_check &check);

inline constexpr std::size_t overlap_buckets = 4096;
struct overlap_plan {
  std::uint64_t bucket_width;  // bytes of offsets, at least an entry's longest length
  std::array<std::uint64_t, overlap_buckets> starts;  // entries with bytes, by bucket
};
struct offset_range {
  std::uint64_t from;
  std::uint64_t to;
  std::size_t end_bucket;  // the bucket the next range starts at
  std::uint64_t entries;   // at most: those starting in it, and those reaching into it
};

[[nodiscard]] std::uint64_t furthest_entry_end(std::uint64_t so_far,
                                               std::span<const std::uint8_t> bytes);
[[nodiscard]] overlap_plan start_overlap_plan(std::uint64_t furthest_end);
void count_range_piece(overlap_plan &plan, std::span<const std::uint8_t> bytes);
// The range from first_bucket on of the most buckets whose entries fit in
// room entries; none where the first bucket alone does not fit, or none is
// left.
[[nodiscard]] std::optional<offset_range> next_overlap_range(const overlap_plan &plan,
                                                             std::size_t first_bucket,
                                                             std::uint64_t room);
// Appends to gathered, from count on, the entries with bytes among bytes
// that reach into the range; returns the new count.
[[nodiscard]] std::size_t collect_range_piece(const offset_range &range,
                                              std::span<const std::uint8_t> bytes,
                                              std::span<map_entry> gathered, std::size_t count);
// Before the first range: forgets the overlaps check_map_piece noted.
void start_overlap_ranges(image_check &check);
void find_overlaps_in_range(image_check &check, const offset_range &range,
                            std::span<map_entry> entries);
void name_overlapping_blocks(image_check &check, std::uint64_t offset,
                             std::span<const std::uint8_t> bytes);

// Ends the check, once every piece is in.
void finish_check(image_check &check);

[[nodiscard]] std::uint64_t finding_count(const image_findings &findings);

}  // namespace blankimg
