#include "tool/run.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

namespace blankimg {

namespace {

// The values atoi can name, seen as unsigned: -2147483648 upwards, and the
// rest of the unsigned 32-bit range.
constexpr std::uint64_t max_negative_magnitude = std::uint64_t{1} << 31;
constexpr std::uint64_t max_positive_value = std::numeric_limits<std::uint32_t>::max();

constexpr bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Blocks needed to hold every sector of the disk, the last one rounded up;
// none when a 32-bit count cannot hold them.
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

[[nodiscard]] bool write_block_map(output_stream &stream, const image_plan &plan) {
  const std::uint32_t block_count = plan.header.block_count;
  std::array<std::uint8_t, map_entry_size> bytes{};
  std::uint64_t data_offset = data_area_offset(block_count);
  std::uint64_t write_position = block_map_offset;
  for (std::uint32_t block = 0; block < block_count; ++block) {
    put_mapentry(bytes, encode_mapentry(data_offset, plan.block_bytes));
    if (fseekwrite(stream, write_position, map_entry_size, bytes.data()) != map_entry_size)
      return false;
    write_position += map_entry_size;
    data_offset += plan.block_bytes;
  }
  return true;
}

[[nodiscard]] bool write_end_marker(output_stream &stream, std::uint32_t block_count) {
  return fseekwrite(stream, end_marker_offset(block_count), map_entry_size,
                    end_of_list_marker.data()) == map_entry_size;
}

// Sectors longer than the buffer go in pieces, each written and checked.
[[nodiscard]] bool write_zero_sector(output_stream &stream, std::uint64_t &write_position,
                                     std::uint32_t bytes_per_sector,
                                     std::span<const std::uint8_t, zero_sector_size> zero_sector) {
  for (std::uint32_t left = bytes_per_sector; left > 0;) {
    const std::uint32_t piece = std::min(left, zero_sector_size);
    if (fseekwrite(stream, write_position, piece, zero_sector.data()) != piece)
      return false;
    write_position += piece;
    left -= piece;
  }
  return true;
}

[[nodiscard]] bool write_data_area(output_stream &stream, const image_plan &plan) {
  const std::array<std::uint8_t, zero_sector_size> zero_sector{};
  const std::uint32_t bytes_per_sector = plan.header.bytes_per_sector;
  // Sectors of no bytes leave nothing to write, however many there are.
  const std::uint64_t sector_count =
      bytes_per_sector == 0 ? 0 : std::uint64_t{plan.header.block_count} * plan.header.blocksize;
  std::uint64_t write_position = data_area_offset(plan.header.block_count);
  for (std::uint64_t sector = 0; sector < sector_count; ++sector) {
    if (!write_zero_sector(stream, write_position, bytes_per_sector, zero_sector))
      return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint32_t> read_number(const char *text) {
  while (is_c_space(*text))
    ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+')
    ++text;
  const std::uint64_t limit = negative ? max_negative_magnitude : max_positive_value;
  std::uint64_t magnitude = 0;
  for (; is_digit(*text); ++text) {
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(*text - '0');
    if (magnitude > limit)
      return std::nullopt;
  }
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? 0U - value : value;
}

run_status plan_image(std::span<const char *const> command_line, image_plan &plan) {
  if (command_line.size() != 1 + argument_count)
    return run_status::usage;
  const auto blocksize = read_number(command_line[2]);
  const auto cylinders = read_number(command_line[3]);
  const auto heads = read_number(command_line[4]);
  const auto sectors = read_number(command_line[5]);
  const auto bytes_per_sector = read_number(command_line[6]);

  if (!blocksize || *blocksize == 0 || *blocksize > max_blocksize)
    return run_status::invalid_blocksize;
  if (!cylinders || !heads || !sectors || *cylinders == 0 || *heads == 0 || *sectors == 0)
    return run_status::invalid_geometry;
  // Neither a sector nor a block may outgrow the 20-bit length of a map entry.
  if (!bytes_per_sector || *bytes_per_sector > max_entry_length)
    return run_status::invalid_geometry;
  const std::uint64_t block_bytes = std::uint64_t{*blocksize} * *bytes_per_sector;
  if (block_bytes > max_entry_length)
    return run_status::invalid_blocksize;
  const auto block_count = count_blocks(*cylinders, *heads, *sectors, *blocksize);
  if (!block_count)
    return run_status::image_too_large;
  // Every data offset must fit the 44-bit field of a map entry.
  if (data_area_offset(*block_count) + block_bytes * *block_count > max_image_bytes)
    return run_status::image_too_large;

  plan.dest = command_line[1];
  plan.header = image_header{
      .header_length = header_length,
      .fixed_word_a = 2,
      .fixed_word_b = 2,
      .fixed_word_c = 0,
      .blocksize = *blocksize,
      .block_count = *block_count,
      .cylinders = *cylinders,
      .heads = *heads,
      .sectors = *sectors,
      .bytes_per_sector = *bytes_per_sector,
      .zero_block_a = {},
      .zero_block_b = {},
  };
  plan.block_bytes = static_cast<std::uint32_t>(block_bytes);
  return run_status::ok;
}

const char *program_name(std::span<const char *const> command_line) {
  if (command_line.empty() || command_line[0] == nullptr || *command_line[0] == '\0')
    return "blankimg";
  return command_line[0];
}

const char *message_for(run_status status) {
  switch (status) {
  case run_status::invalid_blocksize:
    return "invalid blocksize\n";
  case run_status::invalid_geometry:
    return "invalid geometry\n";
  case run_status::image_too_large:
    return "image too large\n";
  case run_status::cant_open_dest:
    return "can't open dest\n";
  case run_status::write_error:
    return "write error\n";
  case run_status::ok:
  case run_status::usage:
    break;
  }
  return nullptr;
}

bool open_image(const char *dest, std::span<char, stream_buffer_size> buffer,
                output_stream &stream) {
  std::FILE *file = std::fopen(dest, "wb");
  if (file == nullptr)
    return false;
  // Full buffering in the caller's storage: the many small writes reach the
  // file in runs of the buffer's size. Should it be refused, the stream's
  // own buffer serves just as correctly.
  static_cast<void>(std::setvbuf(file, buffer.data(), _IOFBF, buffer.size()));
  stream = output_stream{.file = file, .position = 0};
  return true;
}

run_status write_image(output_stream &stream, const image_plan &plan) {
  const bool written = write_header(stream, plan.header) == 0 && write_block_map(stream, plan) &&
                       write_end_marker(stream, plan.header.block_count) &&
                       write_data_area(stream, plan);
  return written ? run_status::ok : run_status::write_error;
}

bool close_image(output_stream &stream) {
  // The last buffered bytes are written here, so a full disk may show only now.
  const bool closed = std::fclose(stream.file) == 0;
  stream = output_stream{};
  return closed;
}

}  // namespace blankimg
