#include "tool/write_image.hpp"

#include <algorithm>
#include <array>

#include "platform/system.hpp"
#include "tool/copy_disk.hpp"
#include "tool/io_buffer.hpp"

namespace blankimg {

namespace {

[[nodiscard]] run_status write_block_map(output_stream &stream, const image_plan &plan,
                                         io_buffer_span buffer, progress_meter &progress) {
  std::uint64_t data_offset = data_area_offset(plan.header.block_count);
  std::uint64_t write_position = block_map_offset;
  const std::uint64_t map_end = end_marker_offset(plan.header.block_count);
  while (write_position < map_end) {
    if (platform::stop_signal_waiting())
      return run_status::interrupted;
    // Both ends are multiples of an entry's size, and so is every boundary.
    const auto bytes =
        static_cast<std::uint32_t>(piece_to_boundary(write_position, map_end - write_position));
    data_offset = put_block_map(buffer.first(bytes), data_offset, plan.block_bytes);
    if (fseekwrite(stream, write_position, bytes, buffer.data()) != bytes)
      return run_status::write_error;
    write_position += bytes;
    advance_progress(progress, bytes);
  }
  return run_status::ok;
}

[[nodiscard]] bool write_end_marker(output_stream &stream, std::uint32_t block_count) {
  return fseekwrite(stream, end_marker_offset(block_count), map_entry_size,
                    end_of_list_marker.data()) == map_entry_size;
}

// Each mode gives [offset, offset + length) its zeros and leaves the file
// offset + length bytes long.

[[nodiscard]] run_status write_zeros(output_stream &stream, std::uint64_t offset,
                                     std::uint64_t length, io_buffer_span buffer,
                                     progress_meter &progress) {
  // The map was encoded in the buffer; only as much as is written is cleared.
  const std::span<std::uint8_t> zeros =
      buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size())));
  std::ranges::fill(zeros, std::uint8_t{0});
  // No piece is longer than the zeros, as none is longer than what is left.
  for (std::uint64_t left = length; left > 0;) {
    if (platform::stop_signal_waiting())
      return run_status::interrupted;
    const auto count = static_cast<std::uint32_t>(piece_to_boundary(offset, left));
    if (fseekwrite(stream, offset, count, zeros.data()) != count)
      return run_status::write_error;
    offset += count;
    left -= count;
    advance_progress(progress, count);
  }
  return run_status::ok;
}

// The file system sizes the data area itself where it can (falloc reserves
// the space, off leaves a hole); where it cannot, the zeros are written.
[[nodiscard]] run_status write_zeros_unless_sized(platform::space_result sized,
                                                  output_stream &stream, std::uint64_t offset,
                                                  std::uint64_t length, io_buffer_span zeros,
                                                  progress_meter &progress) {
  switch (sized) {
  case platform::space_result::done:
    advance_progress(progress, length);
    return run_status::ok;
  case platform::space_result::unsupported:
    return write_zeros(stream, offset, length, zeros, progress);
  case platform::space_result::failed:
    break;
  }
  return run_status::write_error;
}

}  // namespace

run_status give_zeros(output_stream &stream, preallocation mode, std::uint64_t offset,
                      std::uint64_t length, progress_meter &progress) {
  const io_buffer_span buffer = io_buffer();
  if (length == 0)
    return run_status::ok;
  switch (mode) {
  case preallocation::off:
    return write_zeros_unless_sized(platform::extend_sparse(stream.handle, offset + length), stream,
                                    offset, length, buffer, progress);
  case preallocation::falloc:
    return write_zeros_unless_sized(platform::reserve_space(stream.handle, offset, length), stream,
                                    offset, length, buffer, progress);
  case preallocation::full:
    return write_zeros(stream, offset, length, buffer, progress);
  }
  return run_status::write_error;
}

copy_mode copy_mode_for(const output_stream &stream, preallocation mode) {
  if (!stream.positioned || mode == preallocation::full)
    return copy_mode::every_byte;
  return mode == preallocation::off ? copy_mode::nonzero_data : copy_mode::data_runs;
}

namespace {

// The data area's zeros; with --from-raw, RAW's bytes at its start. Where
// every byte is written, RAW's come first, holes as zeros, then the zeros
// after them; otherwise the zeros are given first, at once where the file
// system can, and RAW's data is copied over them. The progress counts the
// data area once.
[[nodiscard]] run_status fill_data_area(output_stream &stream, const image_plan &plan,
                                        const platform::image_source *raw,
                                        progress_meter &progress) {
  const std::uint64_t offset = data_area_offset(plan.header.block_count);
  const std::uint64_t length = std::uint64_t{plan.header.block_count} * plan.block_bytes;
  if (raw == nullptr)
    return give_zeros(stream, plan.options.mode, offset, length, progress);
  const copy_mode mode = copy_mode_for(stream, plan.options.mode);
  copy_engine engine = start_copy(*raw, stream, mode, progress);
  if (mode == copy_mode::every_byte) {
    const run_status copied = finish_copy(engine, copy_bytes(engine, 0, offset, raw->size));
    return copied != run_status::ok
               ? copied
               : write_zeros(stream, offset + raw->size, length - raw->size, io_buffer(), progress);
  }
  progress_meter unshown = start_progress(false, 0);
  if (const run_status zeroed = give_zeros(stream, plan.options.mode, offset, length, unshown);
      zeroed != run_status::ok)
    return zeroed;
  const run_status copied = finish_copy(engine, copy_bytes(engine, 0, offset, raw->size));
  if (copied == run_status::ok)
    advance_progress(progress, length - raw->size);
  return copied;
}

// The few sectors a formatted disk has that are not zero, written where
// the disk's bytes stand in the data area, which already reads as zeros.
[[nodiscard]] bool write_disk_format(output_stream &stream, const image_plan &plan,
                                     io_buffer_span buffer) {
  std::array<std::uint64_t, most_format_sectors> sectors{};
  const std::size_t count = list_format_sectors(plan.format, sectors);
  const std::uint32_t sector_bytes = plan.header.bytes_per_sector;
  const std::span<std::uint8_t> sector = buffer.first(sector_bytes);
  for (const std::uint64_t lba : std::span(sectors).first(count)) {
    std::ranges::fill(sector, std::uint8_t{0});
    render_format_sector(plan.format, lba, sector);
    const std::uint64_t at = data_area_offset(plan.header.block_count) + lba * sector_bytes;
    if (fseekwrite(stream, at, sector_bytes, sector.data()) != sector_bytes)
      return false;
  }
  return true;
}

}  // namespace

bool open_image(const image_plan &plan, image_file &image) {
  const platform::destination opened =
      platform::open_destination(plan.dest, plan.options.no_clobber);
  if (!opened.opened)
    return false;
  image = image_file{
      .stream = {.handle = opened.handle, .positioned = opened.positioned, .position = 0},
      .created = opened.created};
  return true;
}

run_status write_image(image_file &image, const image_plan &plan, progress_meter &progress,
                       const platform::image_source *raw) {
  const io_buffer_span buffer = io_buffer();
  output_stream &stream = image.stream;
  const std::uint32_t block_count = plan.header.block_count;
  // A copy's marker is written last where it can be, so that a copy ended
  // half way by what no process can catch is no intact image.
  const bool marker_last = raw != nullptr && stream.positioned;
  run_status status =
      write_header(stream, plan.header) == 0 ? run_status::ok : run_status::write_error;
  if (status == run_status::ok) {
    advance_progress(progress, header_length);
    status = write_block_map(stream, plan, buffer, progress);
  }
  if (status == run_status::ok && !marker_last) {
    status = write_end_marker(stream, block_count) ? run_status::ok : run_status::write_error;
    advance_progress(progress, map_entry_size);
  }
  if (status != run_status::ok)
    return status;  // the file is left as far as it got
  status = fill_data_area(stream, plan, raw, progress);
  if (status == run_status::ok && plan.formatted && !write_disk_format(stream, plan, buffer))
    status = run_status::write_error;
  if (status == run_status::ok && marker_last) {
    // Synced first where the image is to be synced: the marker must never
    // reach the disk before the data it vouches for.
    const bool written =
        (!plan.options.sync || platform::sync_to_storage(stream.handle, plan.dest, false)) &&
        write_end_marker(stream, block_count);
    status = written ? run_status::ok : run_status::write_error;
    advance_progress(progress, map_entry_size);
  }
  if (status != run_status::ok) {
    // A data area that did not get all its zeros, its file system or its
    // copy gives back the room it took, reserved or written: the file ends
    // at the marker again, or where the marker was to go.
    static_cast<void>(platform::cut_back(stream.handle, data_area_offset(block_count)));
  }
  return status;
}

bool close_image(image_file &image, const char *dest, bool sync) {
  const platform::file_handle file = image.stream.handle;
  const bool synced = !sync || platform::sync_to_storage(file, dest, image.created);
  const bool closed = platform::close_destination(file);
  image = image_file{};
  return synced && closed;
}

}  // namespace blankimg
