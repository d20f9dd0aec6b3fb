#include "tool/write_image.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/file.hpp"

namespace blankimg {

namespace {

[[nodiscard]] bool write_block_map(output_stream &stream, const image_plan &plan) {
  static std::array<std::uint8_t, map_buffer_size> buffer;
  constexpr std::uint32_t entries_per_buffer = map_buffer_size / map_entry_size;
  const std::uint32_t block_count = plan.header.block_count;
  std::uint64_t data_offset = data_area_offset(block_count);
  std::uint64_t write_position = block_map_offset;
  for (std::uint32_t written = 0; written < block_count;) {
    const std::uint32_t entries = std::min(block_count - written, entries_per_buffer);
    const std::uint32_t bytes = entries * map_entry_size;
    data_offset = put_block_map(std::span(buffer).first(bytes), data_offset, plan.block_bytes);
    if (fseekwrite(stream, write_position, bytes, buffer.data()) != bytes)
      return false;
    write_position += bytes;
    written += entries;
  }
  return true;
}

[[nodiscard]] bool write_end_marker(output_stream &stream, std::uint32_t block_count) {
  return fseekwrite(stream, end_marker_offset(block_count), map_entry_size,
                    end_of_list_marker.data()) == map_entry_size;
}

// One function per mode. Each gives [offset, offset + length) its zeros and
// leaves the file offset + length bytes long.

[[nodiscard]] bool write_zeros(output_stream &stream, std::uint64_t offset, std::uint64_t length) {
  // Not const: a constant array would be a megabyte of the executable, while
  // static storage costs nothing until read, and then only the zero page.
  static std::array<std::uint8_t, zero_buffer_size> zeros{};
  for (std::uint64_t left = length; left > 0;) {
    const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, zeros.size()));
    if (fseekwrite(stream, offset, piece, zeros.data()) != piece)
      return false;
    offset += piece;
    left -= piece;
  }
  return true;
}

// Where the file system cannot reserve space, the zeros are written.
[[nodiscard]] bool reserve_zeros(output_stream &stream, std::uint64_t offset,
                                 std::uint64_t length) {
  switch (platform::reserve_space(stream.file, offset, length)) {
  case platform::space_result::done:
    return true;
  case platform::space_result::unsupported:
    return write_zeros(stream, offset, length);
  case platform::space_result::failed:
    break;
  }
  return false;
}

// Where the destination has no length to set, the zeros are written.
[[nodiscard]] bool leave_hole(output_stream &stream, std::uint64_t offset, std::uint64_t length) {
  switch (platform::extend_sparse(stream.file, offset + length)) {
  case platform::space_result::done:
    return true;
  case platform::space_result::unsupported:
    return write_zeros(stream, offset, length);
  case platform::space_result::failed:
    break;
  }
  return false;
}

[[nodiscard]] bool give_data_area_zeros(output_stream &stream, const image_plan &plan) {
  const std::uint64_t offset = data_area_offset(plan.header.block_count);
  const std::uint64_t length = std::uint64_t{plan.header.block_count} * plan.block_bytes;
  if (length == 0)
    return true;
  // What was written so far must reach the file before the file is sized.
  if (std::fflush(stream.file) != 0)
    return false;
  switch (plan.options.mode) {
  case preallocation::off:
    return leave_hole(stream, offset, length);
  case preallocation::falloc:
    return reserve_zeros(stream, offset, length);
  case preallocation::full:
    return write_zeros(stream, offset, length);
  }
  return false;
}

}  // namespace

bool open_image(const char *dest, output_stream &stream) {
  std::FILE *file = std::fopen(dest, "wb");
  if (file == nullptr)
    return false;
  // Unbuffered can only be refused for want of memory, and a buffered
  // stream writes the same bytes.
  static_cast<void>(std::setvbuf(file, nullptr, _IONBF, 0));
  stream = output_stream{.file = file, .position = 0};
  return true;
}

run_status write_image(output_stream &stream, const image_plan &plan) {
  const bool written = write_header(stream, plan.header) == 0 && write_block_map(stream, plan) &&
                       write_end_marker(stream, plan.header.block_count) &&
                       give_data_area_zeros(stream, plan);
  return written ? run_status::ok : run_status::write_error;
}

bool close_image(output_stream &stream) {
  const bool closed = std::fclose(stream.file) == 0;
  stream = output_stream{};
  return closed;
}

}  // namespace blankimg
