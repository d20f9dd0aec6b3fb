#include "tool/inspect_image.hpp"

#include <array>

#include "platform/system.hpp"
#include "tool/io_buffer.hpp"

namespace blankimg {

namespace {

run_status check_source(const platform::image_source &source, image_check &check) {
  std::array<std::uint8_t, header_length> header{};
  if (source.size < header_length)
    return run_status::not_an_image;
  if (!platform::read_at(source, 0, header))
    return run_status::read_error;
  if (!has_magic_tag(header))
    return run_status::not_an_image;
  check = start_check(header, source.size);
  // Nothing the header says sets how much is read: only what the file holds.
  // Half the buffer a read: every page of it read into counts in the
  // resident set, and 256 KiB reads take no longer than 512 KiB ones.
  constexpr std::uint32_t read_size = io_buffer_size / 2;
  const io_buffer_span buffer = io_buffer();
  const std::uint64_t end = map_bytes_end(check);
  for (std::uint64_t offset = block_map_offset; offset < end;) {
    const auto piece =
        buffer.first(static_cast<std::size_t>(piece_to_boundary(offset, end - offset, read_size)));
    if (!platform::read_at(source, offset, piece))
      return run_status::read_error;
    check_map_piece(check, offset, piece);
    offset += piece.size();
  }
  finish_check(check);
  return run_status::ok;
}

}  // namespace

run_status inspect_image(const char *path, image_check &check, std::uint64_t &allocated) {
  platform::image_source source{};
  if (!platform::open_source(path, source))
    return run_status::cant_open_image;
  const run_status status = check_source(source, check);
  allocated = source.allocated;
  platform::close_source(source);
  return status;
}

}  // namespace blankimg
