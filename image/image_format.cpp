#include "image/image_format.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "platform/system.hpp"

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

// Each write on a file that can seek is placed by a seek of its own, so the
// position is the file's own whatever else has written to it. A pipe cannot
// seek; it takes the write that follows on from the last one.
[[nodiscard]] bool move_to(output_stream &stream, std::uint64_t position) {
  const bool placed = platform::seek(stream.file, position);
  if (!placed && stream.position != position) {
    stream.position.reset();
    return false;
  }
  stream.position = position;
  return true;
}

// The stream has one owner in a process of one thread, so the lock stdio
// takes on every call buys nothing.
std::size_t write_bytes(const void *data, std::uint32_t count, std::FILE *file) {
#if BLANKIMG_HAVE_FWRITE_UNLOCKED
  return fwrite_unlocked(data, 1, count, file);
#else
  return std::fwrite(data, 1, count, file);
#endif
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

std::uint32_t fseekwrite(output_stream &stream, std::uint64_t position, std::uint32_t count,
                         const void *data) {
  if (!move_to(stream, position))
    return 0;
  const std::size_t written = write_bytes(data, count, stream.file);
  if (written == count)
    stream.position = position + count;
  else
    stream.position.reset();  // a short write leaves the stream position unknown
  return static_cast<std::uint32_t>(written);
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

int write_header(output_stream &stream, const image_header &header) {
  std::array<std::uint8_t, header_length> buffer{};
  const std::span<std::uint8_t, header_length> out(buffer);
  std::ranges::copy(magic_tag, out.begin());
  // The constant, not the record's field: readers find the map at 80.
  put_bigendian_uint32(out.subspan<8, 4>(), header_length);
  put_bigendian_uint32(out.subspan<12, 4>(), header.fixed_word_a);
  put_bigendian_uint32(out.subspan<16, 4>(), header.fixed_word_b);
  put_bigendian_uint32(out.subspan<20, 4>(), header.fixed_word_c);
  put_bigendian_uint32(out.subspan<24, 4>(), header.blocksize);
  put_bigendian_uint32(out.subspan<28, 4>(), header.block_count);
  put_bigendian_uint32(out.subspan<32, 4>(), header.cylinders);
  put_bigendian_uint32(out.subspan<36, 4>(), header.heads);
  put_bigendian_uint32(out.subspan<40, 4>(), header.sectors);
  std::ranges::copy(header.zero_block_a, out.subspan<44, 16>().begin());
  std::ranges::copy(header.zero_block_b, out.subspan<60, 16>().begin());
  put_bigendian_uint32(out.subspan<76, 4>(), header.bytes_per_sector);
  return fseekwrite(stream, 0, header_length, buffer.data()) == header_length ? 0 : 1;
}

}  // namespace blankimg
