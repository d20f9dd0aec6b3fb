#include "tool/inspect_image.hpp"

#include <array>

#include "platform/system.hpp"
#include "tool/io_buffer.hpp"

namespace blankimg {

namespace {

// Reads [from, to) of the source a buffer at a time, on buffer boundaries,
// handing each piece to take.
template <typename take_piece>
bool read_pieces(const platform::image_source &source, std::uint64_t from, std::uint64_t to,
                 take_piece take) {
  // Half the buffer a read: every page of it read into counts in the
  // resident set, and 256 KiB reads take no longer than 512 KiB ones.
  constexpr std::uint32_t read_size = io_buffer_size / 2;
  const io_buffer_span buffer = io_buffer();
  for (std::uint64_t offset = from; offset < to;) {
    const auto piece =
        buffer.first(static_cast<std::size_t>(piece_to_boundary(offset, to - offset, read_size)));
    if (!platform::read_at(source, offset, piece))
      return false;
    take(offset, piece);
    offset += piece.size();
  }
  return true;
}

// A map whose offsets do not ascend is sorted whole to find the blocks that
// share bytes: memory of the map's own size, borrowed for that alone.
run_status find_overlaps_out_of_order(const platform::image_source &source, image_check &check) {
  const std::uint64_t entries = entries_in_file(check);
  const std::span<std::uint8_t> memory = platform::borrow_memory(entries * map_entry_size);
  if (memory.empty())
    return run_status::out_of_memory;
  const bool read = platform::read_at(source, block_map_offset, memory);
  if (read) {
    // Memory from the system is aligned for any type.
    find_overlaps_sorted(check, std::span(reinterpret_cast<map_entry *>(  // NOLINT
                                              memory.data()),
                                          static_cast<std::size_t>(entries)));
  }
  platform::give_back_memory(memory);
  if (!read || !read_pieces(source, block_map_offset, block_map_offset + entries * map_entry_size,
                            [&check](std::uint64_t offset, std::span<const std::uint8_t> piece) {
                              name_overlapping_blocks(check, offset, piece);
                            }))
    return run_status::read_error;
  return run_status::ok;
}

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
  if (!read_pieces(source, block_map_offset, map_bytes_end(check),
                   [&check](std::uint64_t offset, std::span<const std::uint8_t> piece) {
                     check_map_piece(check, offset, piece);
                   }))
    return run_status::read_error;
  if (!entries_ascend(check)) {
    if (const run_status found = find_overlaps_out_of_order(source, check); found != run_status::ok)
      return found;
  }
  finish_check(check);
  // What was found holds for the file as it was from the first read to the
  // last; one cut or lengthened meanwhile was not the file checked. Data
  // written into its blocks, as a running emulator writes, changes neither.
  std::uint64_t size_now = 0;
  if (!platform::current_size(source, size_now) || size_now != source.size)
    return run_status::read_error;
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
