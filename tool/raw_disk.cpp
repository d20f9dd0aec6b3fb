#include "tool/raw_disk.hpp"

#include <algorithm>
#include <array>

#include "tool/copy_disk.hpp"
#include "tool/describe.hpp"
#include "tool/inspect_image.hpp"
#include "tool/write_image.hpp"

namespace blankimg {

namespace {

// A run of the image file that is a run of the disk: blocks that follow
// each other in both are copied as one.
struct disk_run {
  std::uint64_t from;  // in the image file
  std::uint64_t to;    // in the disk
  std::uint64_t length;
};

[[nodiscard]] bool copy_blocks(const platform::image_source &image, const image_check &check,
                               std::uint64_t disk_length, output_stream &raw,
                               progress_meter &progress) {
  disk_run pending{.from = 0, .to = 0, .length = 0};
  bool copied = true;
  const auto flush = [&] {
    copied =
        copied && (pending.length == 0 || copy_bytes(image, pending.from, raw, pending.to,
                                                     pending.length, raw.positioned, progress));
    pending.length = 0;
  };
  const std::uint64_t map_end = block_map_offset + entries_in_file(check) * map_entry_size;
  const bool read = read_pieces(
      image, block_map_offset, map_end,
      [&](std::uint64_t offset, std::span<const std::uint8_t> piece) {
        std::uint64_t block = (offset - block_map_offset) / map_entry_size;
        for (std::size_t at = 0; at + map_entry_size <= piece.size();
             at += map_entry_size, ++block) {
          const map_entry entry = get_bigendian(piece.subspan(at).first<map_entry_size>());
          const std::uint64_t to = block * check.block_bytes;
          if (to >= disk_length)
            return;
          const std::uint64_t length =
              std::min({entry >> entry_offset_bits, check.block_bytes, disk_length - to});
          const std::uint64_t from = entry & entry_offset_mask;
          if (pending.length > 0 && pending.from + pending.length == from &&
              pending.to + pending.length == to) {
            pending.length += length;
            continue;
          }
          flush();
          pending = {.from = from, .to = to, .length = length};
        }
      });
  flush();
  return read && copied;
}

run_status copy_image_to_raw(const image_plan &plan, const platform::image_source &image,
                             const image_check &check) {
  const std::uint64_t disk_length = disk_bytes(check.header);
  const platform::destination opened =
      platform::open_destination(plan.options.to_raw, plan.options.no_clobber);
  if (!opened.opened)
    return run_status::cant_open_dest;
  image_file raw{
      .stream = {.handle = opened.handle, .positioned = opened.positioned, .position = 0},
      .created = opened.created};
  progress_meter progress = start_progress(plan.options.progress, 2 * disk_length);
  // A destination that reads as zeros first, holes and all, takes the
  // image's data alone; a pipe takes every byte in order.
  bool written =
      !raw.stream.positioned || give_zeros(raw.stream, plan.options.mode, 0, disk_length, progress);
  if (!raw.stream.positioned)
    advance_progress(progress, disk_length);
  written = written && copy_blocks(image, check, disk_length, raw.stream, progress);
  if (!written)
    static_cast<void>(platform::cut_back(raw.stream.handle, 0));  // gives back what it took
  const bool closed = close_image(raw, plan.options.to_raw, plan.options.sync && written);
  finish_progress(progress, written && closed);
  return written && closed ? run_status::ok : run_status::write_error;
}

}  // namespace

run_status open_raw(image_plan &plan, platform::image_source &raw) {
  if (!platform::open_source(plan.options.from_raw, raw, true))
    return run_status::cant_open_raw;
  run_status status = run_status::ok;
  if (plan.geometry_from_raw) {
    std::array<std::uint8_t, 512> first{};
    const auto read = static_cast<std::size_t>(std::min<std::uint64_t>(raw.size, first.size()));
    status = platform::read_at(raw, 0, std::span(first).first(read))
                 ? plan_from_raw(plan, raw.size, std::span(first).first(read))
                 : run_status::read_error;
  }
  if (status == run_status::ok && raw.size > disk_bytes(plan.header))
    status = run_status::image_too_large;
  if (status != run_status::ok)
    platform::close_source(raw);
  return status;
}

run_status write_raw(const image_plan &plan) {
  platform::image_source image{};
  if (!platform::open_source(plan.dest, image, true))
    return run_status::cant_open_image;
  image_check check{};
  disk_view disk{};
  run_status status = inspect_source(image, check, disk);
  if (status == run_status::ok && finding_count(check.findings) > 0) {
    status = print_description(describe_check(plan.dest, check, image.allocated, disk),
                               plan.options.output)
                 ? run_status::damaged
                 : run_status::write_error;
  }
  if (status == run_status::ok)
    status = copy_image_to_raw(plan, image, check);
  platform::close_source(image);
  return status;
}

}  // namespace blankimg
