// The blank-image container: an 80-byte header, one 8-byte map entry per
// block, an end-of-list marker and the blocks, every integer big-endian.
// Pure: bytes in, bytes out; writing them is the tool's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace blankimg {

inline constexpr std::uint32_t header_length = 80;
inline constexpr std::array<std::uint8_t, 8> magic_tag = {'T', 'a', 'v', 'r', 'e', 'l', 'i', 'n'};
// The first eight bytes of "EndOfListCookie", in the slot after the last entry.
inline constexpr std::array<std::uint8_t, 8> end_of_list_marker = {'E', 'n', 'd', 'O',
                                                                   'f', 'L', 'i', 's'};

using map_entry = std::uint64_t;
inline constexpr std::uint32_t map_entry_size = sizeof(map_entry);
inline constexpr unsigned entry_offset_bits = 44;
inline constexpr unsigned entry_length_bits = 20;
static_assert(end_of_list_marker.size() == map_entry_size, "the marker fills one entry's slot");
inline constexpr std::uint64_t entry_offset_mask = (std::uint64_t{1} << entry_offset_bits) - 1;
inline constexpr std::uint32_t max_entry_length = (std::uint32_t{1} << entry_length_bits) - 1;
// Every offset must fit the entry's 44-bit field, so no image may outgrow it.
inline constexpr std::uint64_t max_image_bytes = std::uint64_t{1} << entry_offset_bits;

inline constexpr std::uint32_t max_blocksize = 2047;  // sectors

// Blocks needed to hold every sector of the disk, the last one rounded up;
// none when a 32-bit count cannot hold them.
[[nodiscard]] std::optional<std::uint32_t> count_blocks(std::uint32_t cylinders,
                                                        std::uint32_t heads, std::uint32_t sectors,
                                                        std::uint32_t blocksize);

// Where each part of an image of block_count blocks begins.
inline constexpr std::uint64_t block_map_offset = header_length;
[[nodiscard]] constexpr std::uint64_t end_marker_offset(std::uint32_t block_count) {
  return block_map_offset + std::uint64_t{map_entry_size} * block_count;
}
[[nodiscard]] constexpr std::uint64_t data_area_offset(std::uint32_t block_count) {
  return end_marker_offset(block_count) + map_entry_size;
}
// The length of the whole file, the data area being the last part.
[[nodiscard]] constexpr std::uint64_t image_end(std::uint32_t block_count,
                                                std::uint64_t block_bytes) {
  return data_area_offset(block_count) + block_bytes * block_count;
}

// In-memory header. Field order is not file order: bytes_per_sector is stored
// after the two 16-byte blocks.
struct image_header {
  std::uint32_t header_length;
  std::uint32_t fixed_word_a;
  std::uint32_t fixed_word_b;
  std::uint32_t fixed_word_c;
  std::uint32_t blocksize;  // sectors per block
  std::uint32_t block_count;
  std::uint32_t cylinders;
  std::uint32_t heads;
  std::uint32_t sectors;  // sectors per track
  std::uint32_t bytes_per_sector;
  std::array<std::uint8_t, 16> zero_block_a;
  std::array<std::uint8_t, 16> zero_block_b;

  bool operator==(const image_header &) const = default;
};

// The most bytes a file can hold, and so a disk copied out of an image.
inline constexpr std::uint64_t max_file_bytes = (std::uint64_t{1} << 63) - 1;

// The disk's sectors and bytes by the header's geometry; none where the
// count passes 64 bits, as a damaged header's may.
[[nodiscard]] constexpr std::optional<std::uint64_t> disk_sectors(const image_header &header) {
  std::uint64_t sectors = header.cylinders;
  for (const std::uint32_t factor : {header.heads, header.sectors}) {
    if (factor != 0 && sectors > UINT64_MAX / factor)
      return std::nullopt;
    sectors *= factor;
  }
  return sectors;
}
[[nodiscard]] constexpr std::optional<std::uint64_t> disk_bytes(const image_header &header) {
  if (header.bytes_per_sector == 0)
    return 0;  // however many sectors of nothing
  const std::optional<std::uint64_t> sectors = disk_sectors(header);
  if (!sectors || (header.bytes_per_sector != 0 && *sectors > UINT64_MAX / header.bytes_per_sector))
    return std::nullopt;
  return *sectors * header.bytes_per_sector;
}

// The header this tool writes for a disk of the given geometry in
// block_count blocks of blocksize sectors.
[[nodiscard]] image_header make_header(std::uint32_t blocksize, std::uint32_t block_count,
                                       std::uint32_t cylinders, std::uint32_t heads,
                                       std::uint32_t sectors, std::uint32_t bytes_per_sector);

// The unsigned value of size big-endian bytes; inline, as the map check
// reads millions of entries with it.
template <std::size_t size>
[[nodiscard]] constexpr std::uint64_t get_bigendian(std::span<const std::uint8_t, size> bytes) {
  static_assert(size <= sizeof(std::uint64_t));
  std::uint64_t value = 0;
  for (const std::uint8_t byte : bytes)
    value = value << 8 | byte;
  return value;
}

void put_bigendian_uint32(std::span<std::uint8_t, 4> dest, std::uint32_t value);

// Packs the low 20 bits of length above the low 44 bits of offset; higher
// bits of either are dropped.
[[nodiscard]] constexpr map_entry encode_mapentry(std::uint64_t offset, std::uint32_t length) {
  return (std::uint64_t{length} << entry_offset_bits) | (offset & entry_offset_mask);
}

void put_mapentry(std::span<std::uint8_t, map_entry_size> dest, map_entry entry);

// Fills dest with the entries of consecutive blocks of block_bytes each, the
// first at data_offset, as many as whole entries fit. Returns the data offset
// the next entry would carry.
[[nodiscard]] std::uint64_t put_block_map(std::span<std::uint8_t> dest, std::uint64_t data_offset,
                                          std::uint32_t block_bytes);

// Where each field of the header stands in its 80 bytes: the one
// description both serialise_header and read_header follow.
struct header_word {
  std::uint32_t image_header::*field;
  std::size_t offset;  // of its 4 big-endian bytes
};
inline constexpr std::array<header_word, 10> header_words = {{
    {&image_header::header_length, 8},
    {&image_header::fixed_word_a, 12},
    {&image_header::fixed_word_b, 16},
    {&image_header::fixed_word_c, 20},
    {&image_header::blocksize, 24},
    {&image_header::block_count, 28},
    {&image_header::cylinders, 32},
    {&image_header::heads, 36},
    {&image_header::sectors, 40},
    {&image_header::bytes_per_sector, 76},
}};
struct header_block {
  std::array<std::uint8_t, 16> image_header::*field;
  std::size_t offset;
};
inline constexpr std::array<header_block, 2> header_blocks = {{
    {&image_header::zero_block_a, 44},
    {&image_header::zero_block_b, 60},
}};

using header_image = std::array<std::uint8_t, header_length>;

// The header's 80 bytes: the tag, then every field where it stands. The
// header length is stored as the constant 80, whatever the record holds,
// as readers find the map at 80.
[[nodiscard]] header_image serialise_header(const image_header &header);

// The header's bytes hold the magic tag.
[[nodiscard]] bool has_magic_tag(std::span<const std::uint8_t, header_length> bytes);

// The record the header's bytes describe, whatever they hold.
[[nodiscard]] image_header read_header(std::span<const std::uint8_t, header_length> bytes);

enum class layout_refusal {
  none,
  block_too_long,  // a block longer than a map entry can say
  too_large,       // more blocks than a count holds, or past a 44-bit offset
};

struct disk_layout {
  layout_refusal refusal;
  image_header header;        // when none
  std::uint32_t block_bytes;  // blocksize * bytes_per_sector, when none
};

// The image of a disk of this geometry in blocks of blocksize sectors, or
// why the format cannot hold it: the block's length is checked first, then
// the counts and the offsets.
[[nodiscard]] disk_layout lay_out_disk(std::uint32_t blocksize, std::uint64_t cylinders,
                                       std::uint32_t heads, std::uint32_t sectors,
                                       std::uint32_t bytes_per_sector);

}  // namespace blankimg
