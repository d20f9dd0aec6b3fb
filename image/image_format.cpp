#include "image/image_format.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace blankimg {

namespace {

constexpr std::uint8_t low_byte(std::uint64_t value) {
  return static_cast<std::uint8_t>(value & 0xffU);
}

template <std::size_t size>
void put_bigendian(std::span<std::uint8_t, size> dest, std::uint64_t value) {
  for (std::size_t i = 0; i < size; ++i)
    dest[i] = low_byte(value >> (8 * (size - 1 - i)));
}

}  // namespace

std::optional<std::uint32_t> count_blocks(std::uint32_t cylinders, std::uint32_t heads,
                                          std::uint32_t sectors, std::uint32_t blocksize) {
  const std::uint64_t per_cylinder = std::uint64_t{heads} * sectors;
  if (cylinders != 0 && per_cylinder > std::numeric_limits<std::uint64_t>::max() / cylinders)
    return std::nullopt;
  const std::uint64_t total = per_cylinder * cylinders;
  const std::uint64_t blocks = total / blocksize + (total % blocksize != 0 ? 1 : 0);
  if (blocks > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  return static_cast<std::uint32_t>(blocks);
}

image_header make_header(std::uint32_t blocksize, std::uint32_t block_count,
                         std::uint32_t cylinders, std::uint32_t heads, std::uint32_t sectors,
                         std::uint32_t bytes_per_sector) {
  return {.header_length = header_length,
          .fixed_word_a = 2,
          .fixed_word_b = 2,
          .fixed_word_c = 0,
          .blocksize = blocksize,
          .block_count = block_count,
          .cylinders = cylinders,
          .heads = heads,
          .sectors = sectors,
          .bytes_per_sector = bytes_per_sector,
          .zero_block_a = {},
          .zero_block_b = {}};
}

void put_bigendian_uint32(std::span<std::uint8_t, 4> dest, std::uint32_t value) {
  put_bigendian(dest, value);
}

void put_mapentry(std::span<std::uint8_t, map_entry_size> dest, map_entry entry) {
  put_bigendian(dest, entry);
}

std::uint64_t put_block_map(std::span<std::uint8_t> dest, std::uint64_t data_offset,
                            std::uint32_t block_bytes) {
  for (std::size_t at = 0; at + map_entry_size <= dest.size(); at += map_entry_size) {
    put_mapentry(dest.subspan(at).first<map_entry_size>(),
                 encode_mapentry(data_offset, block_bytes));
    data_offset += block_bytes;
  }
  return data_offset;
}

header_image serialise_header(const image_header &header) {
  header_image bytes{};
  const std::span<std::uint8_t, header_length> out(bytes);
  std::ranges::copy(magic_tag, out.begin());
  for (const header_word &word : header_words) {
    const std::uint32_t value =
        word.field == &image_header::header_length ? header_length : header.*word.field;
    put_bigendian_uint32(out.subspan(word.offset).first<4>(), value);
  }
  for (const header_block &block : header_blocks)
    std::ranges::copy(header.*block.field, out.subspan(block.offset).begin());
  return bytes;
}

bool has_magic_tag(std::span<const std::uint8_t, header_length> bytes) {
  return std::ranges::equal(bytes.first<magic_tag.size()>(), magic_tag);
}

image_header read_header(std::span<const std::uint8_t, header_length> bytes) {
  image_header header{};
  for (const header_word &word : header_words)
    header.*word.field =
        static_cast<std::uint32_t>(get_bigendian(bytes.subspan(word.offset).first<4>()));
  for (const header_block &block : header_blocks)
    std::ranges::copy(bytes.subspan(block.offset).first<16>(), (header.*block.field).begin());
  return header;
}

disk_layout lay_out_disk(std::uint32_t blocksize, std::uint64_t cylinders, std::uint32_t heads,
                         std::uint32_t sectors, std::uint32_t bytes_per_sector) {
  constexpr disk_layout too_large = {
      .refusal = layout_refusal::too_large, .header = {}, .block_bytes = 0};
  // No block may outgrow the 20-bit length of a map entry.
  const std::uint64_t block_bytes = std::uint64_t{blocksize} * bytes_per_sector;
  if (block_bytes > max_entry_length)
    return {.refusal = layout_refusal::block_too_long, .header = {}, .block_bytes = 0};
  if (cylinders > std::numeric_limits<std::uint32_t>::max())
    return too_large;
  const auto block_count =
      count_blocks(static_cast<std::uint32_t>(cylinders), heads, sectors, blocksize);
  // Every data offset must fit the 44-bit field of a map entry.
  if (!block_count || image_end(*block_count, block_bytes) > max_image_bytes)
    return too_large;
  return {.refusal = layout_refusal::none,
          .header = make_header(blocksize, *block_count, static_cast<std::uint32_t>(cylinders),
                                heads, sectors, bytes_per_sector),
          .block_bytes = static_cast<std::uint32_t>(block_bytes)};
}

}  // namespace blankimg
