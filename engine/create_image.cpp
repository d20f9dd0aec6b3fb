#include "engine/create_image.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "engine/convert_raw.hpp"
#include "platform/system.hpp"

namespace blankimg {

namespace {

[[nodiscard]] run_status write_block_map(output_stream &stream, const create_request &request,
                                         std::span<std::uint8_t> buffer, progress_count &progress) {
  std::uint64_t data_offset = data_area_offset(request.header.block_count);
  std::uint64_t write_position = block_map_offset;
  const std::uint64_t map_end = end_marker_offset(request.header.block_count);
  while (write_position < map_end) {
    if (platform::stop_signal_waiting())
      return run_status::interrupted;
    // Both ends are multiples of an entry's size, and so is every boundary.
    const auto bytes = static_cast<std::uint32_t>(
        piece_to_boundary(write_position, map_end - write_position, read_piece));
    data_offset = put_block_map(buffer.first(bytes), data_offset, request.block_bytes);
    if (fseekwrite(stream, write_position, bytes, buffer.data()) != bytes)
      return run_status::write_error;
    write_position += bytes;
    count_done(progress, bytes);
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
                                     std::uint64_t length, job_memory &memory,
                                     progress_count &progress) {
  // Only as much as is written is cleared: untouched pages cost nothing.
  const std::span<std::uint8_t> zeros =
      std::span(memory.data)
          .first(static_cast<std::size_t>(std::min<std::uint64_t>(length, memory.data.size())));
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
    count_done(progress, count);
  }
  return run_status::ok;
}

// The file system sizes the data area itself where it can (falloc reserves
// the space, off leaves a hole); where it cannot, the zeros are written.
[[nodiscard]] run_status write_zeros_unless_sized(platform::space_result sized,
                                                  output_stream &stream, std::uint64_t offset,
                                                  std::uint64_t length, job_memory &memory,
                                                  progress_count &progress) {
  switch (sized) {
  case platform::space_result::done:
    count_done(progress, length);
    return run_status::ok;
  case platform::space_result::unsupported:
    return write_zeros(stream, offset, length, memory, progress);
  case platform::space_result::failed:
    break;
  }
  return run_status::write_error;
}

// The disk's runs, in order: the sectors a format renders, the bytes a raw
// disk gives, and zeros for the rest.
struct disk_pass {
  output_stream *stream;
  std::uint64_t disk_at;       // the file offset of the disk's first byte
  std::uint64_t length;        // of the data area: whole blocks
  std::uint32_t sector_bytes;  // a rendered run's length
  const disk_format *format;
  std::array<std::uint64_t, most_format_sectors> rendered;  // LBAs, ascending
  std::size_t rendered_count;
  copy_engine *copy;         // or none
  std::uint64_t raw_length;  // the bytes it gives from the disk's start
  bool zeros_given;          // the whole area reads as zeros already
};

[[nodiscard]] run_status render_sector(disk_pass &pass, std::uint64_t lba, job_memory &memory,
                                       progress_count &progress) {
  const std::span<std::uint8_t> sector = std::span(memory.data).first(pass.sector_bytes);
  std::ranges::fill(sector, std::uint8_t{0});
  render_format_sector(*pass.format, lba, sector);
  if (fseekwrite(*pass.stream, pass.disk_at + lba * pass.sector_bytes, pass.sector_bytes,
                 sector.data()) != pass.sector_bytes)
    return run_status::write_error;
  count_done(progress, pass.sector_bytes);
  return run_status::ok;
}

// One loop over the disk in order: each run is rendered, copied, or left
// as the zeros the mode gives, which are written here only where every
// byte is to be written in order. The progress counts each byte once.
[[nodiscard]] run_status run_disk_pass(disk_pass &pass, job_memory &memory,
                                       progress_count &progress) {
  std::size_t next_rendered = 0;
  for (std::uint64_t at = 0; at < pass.length;) {
    if (platform::stop_signal_waiting())
      return run_status::interrupted;
    const std::uint64_t rendered_at = next_rendered < pass.rendered_count
                                          ? pass.rendered[next_rendered] * pass.sector_bytes
                                          : pass.length;
    run_status status = run_status::ok;
    std::uint64_t run = 0;
    if (at == rendered_at) {
      status = render_sector(pass, pass.rendered[next_rendered++], memory, progress);
      run = pass.sector_bytes;
    } else if (at < pass.raw_length) {
      run = std::min(pass.raw_length, rendered_at) - at;
      status = copy_bytes(*pass.copy, at, pass.disk_at + at, run);
    } else {
      run = rendered_at - at;
      if (pass.zeros_given)
        count_done(progress, run);
      else
        status = write_zeros(*pass.stream, pass.disk_at + at, run, memory, progress);
    }
    if (status != run_status::ok)
      return status;
    at += run;
  }
  return run_status::ok;
}

// The data area: the disk's runs in one pass, over zeros given at once
// first where the file system can give them and the mode lets it.
[[nodiscard]] run_status fill_data_area(output_stream &stream, const create_request &request,
                                        job_memory &memory, progress_count &progress) {
  const std::uint64_t offset = data_area_offset(request.header.block_count);
  const std::uint64_t length = std::uint64_t{request.header.block_count} * request.block_bytes;
  const copy_mode mode = copy_mode_for(stream, request.mode);
  disk_pass pass{.stream = &stream,
                 .disk_at = offset,
                 .length = length,
                 .sector_bytes = request.header.bytes_per_sector,
                 .format = request.format,
                 .rendered = {},
                 .rendered_count = 0,
                 .copy = nullptr,
                 .raw_length = 0,
                 .zeros_given = false};
  if (request.format != nullptr)
    pass.rendered_count = list_format_sectors(*request.format, pass.rendered);
  if (mode != copy_mode::every_byte) {
    progress_count unshown = start_count(no_progress, 0);
    if (const run_status zeroed = give_zeros(stream, request.mode, offset, length, unshown, memory);
        zeroed != run_status::ok)
      return zeroed;
    pass.zeros_given = true;
  }
  if (request.raw == nullptr)
    return run_disk_pass(pass, memory, progress);
  copy_engine engine = start_copy(request.raw->source, stream, mode, progress, memory.data,
                                  platform::is_in_memory(request.raw->source));
  pass.copy = &engine;
  pass.raw_length = request.raw->source.size;
  return finish_copy(engine, run_disk_pass(pass, memory, progress));
}

[[nodiscard]] run_status write_image(output_stream &stream, const create_request &request,
                                     job_memory &memory, progress_count &progress) {
  const std::uint32_t block_count = request.header.block_count;
  // A copy's marker is written last where it can be, so that a copy ended
  // half way by what no process can catch is no intact image.
  const bool marker_last = request.raw != nullptr && stream.positioned;
  run_status status =
      write_header(stream, request.header) == 0 ? run_status::ok : run_status::write_error;
  if (status == run_status::ok) {
    count_done(progress, header_length);
    // Through the data buffer, whose pages the zeros then use again: the
    // map is done before the data area starts, and a full image's resident
    // set stays that of its zeros.
    status = write_block_map(stream, request, memory.data, progress);
  }
  if (status == run_status::ok && !marker_last) {
    status = write_end_marker(stream, block_count) ? run_status::ok : run_status::write_error;
    count_done(progress, map_entry_size);
  }
  if (status != run_status::ok)
    return status;  // the file is left as far as it got
  status = fill_data_area(stream, request, memory, progress);
  if (status == run_status::ok && marker_last) {
    // Synced first where the image is to be synced: the marker must never
    // reach the disk before the data it vouches for.
    const bool written =
        (!request.sync || platform::sync_to_storage(stream.handle, request.dest, false)) &&
        write_end_marker(stream, block_count);
    status = written ? run_status::ok : run_status::write_error;
    count_done(progress, map_entry_size);
  }
  if (status != run_status::ok) {
    // A data area that did not get all its zeros, its file system or its
    // copy gives back the room it took, reserved or written: the file ends
    // at the marker again, or where the marker was to go.
    static_cast<void>(platform::cut_back(stream.handle, data_area_offset(block_count)));
  }
  return status;
}

}  // namespace

run_status give_zeros(output_stream &stream, preallocation mode, std::uint64_t offset,
                      std::uint64_t length, progress_count &progress, job_memory &memory) {
  if (length == 0)
    return run_status::ok;
  switch (mode) {
  case preallocation::off:
    return write_zeros_unless_sized(platform::extend_sparse(stream.handle, offset + length), stream,
                                    offset, length, memory, progress);
  case preallocation::falloc:
    return write_zeros_unless_sized(platform::reserve_space(stream.handle, offset, length), stream,
                                    offset, length, memory, progress);
  case preallocation::full:
    return write_zeros(stream, offset, length, memory, progress);
  }
  return run_status::write_error;
}

copy_mode copy_mode_for(const output_stream &stream, preallocation mode) {
  if (!stream.positioned || mode == preallocation::full)
    return copy_mode::every_byte;
  return mode == preallocation::off ? copy_mode::nonzero_data : copy_mode::data_runs;
}

bool open_destination(const char *path, bool no_clobber, open_image &image) {
  const platform::destination opened = platform::open_destination(path, no_clobber);
  if (!opened.opened)
    return false;
  image = open_image{
      .stream = {.handle = opened.handle, .positioned = opened.positioned, .position = 0},
      .created = opened.created};
  return true;
}

bool close_destination(open_image &image, const char *path, bool sync) {
  const platform::file_handle file = image.stream.handle;
  const bool synced = !sync || platform::sync_to_storage(file, path, image.created);
  const bool closed = platform::close_destination(file);
  image = open_image{};
  return synced && closed;
}

bool destination_would_open(const char *dest, bool no_clobber) {
  return platform::destination_would_open(dest, no_clobber);
}

run_status create_image(const create_request &request, job_memory &memory, failure_reason &why) {
  if (request.raw != nullptr && platform::is_same_file(request.dest, request.raw->source)) {
    why.cause = failure_cause::own_source;  // the copy would wipe it
    return run_status::cant_open_dest;
  }
  // From the open to the close, a stop signal waits for the run to give
  // back what it took; released, it ends the process.
  platform::hold_stop_signals();
  open_image image{};
  if (!open_destination(request.dest, request.no_clobber, image)) {
    why = system_reason(request.dest);
    platform::release_stop_signals();
    return run_status::cant_open_dest;
  }
  progress_count progress =
      start_count(request.progress, image_end(request.header.block_count, request.block_bytes));
  run_status status = write_image(image.stream, request, memory, progress);
  if (!close_destination(image, request.dest, request.sync && status == run_status::ok) &&
      status == run_status::ok)
    status = run_status::write_error;
  finish_count(progress, status == run_status::ok);
  platform::release_stop_signals();
  return status;
}

}  // namespace blankimg
