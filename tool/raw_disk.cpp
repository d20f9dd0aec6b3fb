#include "tool/raw_disk.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "disk/geometry.hpp"
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

[[nodiscard]] run_status copy_blocks(copy_engine &engine, const image_check &check,
                                     std::uint64_t disk_length) {
  disk_run pending{.from = 0, .to = 0, .length = 0};
  run_status copied = run_status::ok;
  const auto flush = [&] {
    if (copied == run_status::ok && pending.length > 0)
      copied = copy_bytes(engine, pending.from, pending.to, pending.length);
    pending.length = 0;
  };
  const std::uint64_t map_end = block_map_offset + entries_in_file(check) * map_entry_size;
  const bool read = read_pieces(
      *engine.source, block_map_offset, map_end,
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
  return read ? copied : run_status::read_error;
}

run_status copy_image_to_raw(image_plan &plan, const platform::image_source &image,
                             const image_check &check) {
  const std::uint64_t disk_length = disk_bytes(check.header).value_or(0);
  if (platform::is_same_file(plan.options.to_raw, image)) {
    plan.why.cause = failure_cause::own_source;  // the copy would wipe it
    return run_status::cant_open_dest;
  }
  platform::hold_stop_signals();
  const platform::destination opened =
      platform::open_destination(plan.options.to_raw, plan.options.no_clobber);
  if (!opened.opened) {
    plan.why = system_reason(plan.options.to_raw);
    platform::release_stop_signals();
    return run_status::cant_open_dest;
  }
  image_file raw{
      .stream = {.handle = opened.handle, .positioned = opened.positioned, .position = 0},
      .created = opened.created};
  progress_meter progress = start_progress(plan.options.progress, disk_length);
  // A pipe takes every byte in order. Anything else is given its zeros
  // first, holes and all, and then the image's data alone; full's zeros
  // are then the work the progress counts.
  const bool positioned = raw.stream.positioned;
  const bool full = plan.options.mode == preallocation::full;
  progress_meter unshown = start_progress(false, 0);
  run_status status = run_status::ok;
  if (positioned)
    status = give_zeros(raw.stream, plan.options.mode, 0, disk_length, full ? progress : unshown);
  const copy_mode mode =
      !positioned ? copy_mode::every_byte
                  : (full ? copy_mode::data_runs : copy_mode_for(raw.stream, plan.options.mode));
  copy_engine engine = start_copy(image, raw.stream, mode, full && positioned ? unshown : progress);
  if (status == run_status::ok)
    status = finish_copy(engine, copy_blocks(engine, check, disk_length));
  if (status != run_status::ok)
    static_cast<void>(platform::cut_back(raw.stream.handle, 0));  // gives back what it took
  const bool closed =
      close_image(raw, plan.options.to_raw, plan.options.sync && status == run_status::ok);
  if (status == run_status::ok && !closed)
    status = run_status::write_error;
  advance_progress(progress, status == run_status::ok ? disk_length - progress.done : 0);
  finish_progress(progress, status == run_status::ok);
  platform::release_stop_signals();
  return status;
}

// Disk images of other formats, by the signature each starts with (or,
// for a VHD, ends with): never raw, though any bytes could be. Each says
// how to get its disk out.
struct image_signature {
  std::size_t at;  // in the first sector, or in the last where in_footer
  std::string_view bytes;
  bool in_footer;
  const char *format;
};
// This tool's own tag, as image_format.hpp has it.
constexpr std::string_view own_tag = "Tavrelin";
static_assert(std::ranges::equal(own_tag, magic_tag, {}, {},
                                 [](std::uint8_t b) { return static_cast<char>(b); }));
constexpr std::array<image_signature, 8> image_signatures = {{
    {0, own_tag, false,
     "an image of blankimg's already, not a raw disk: blankimg --to-raw=RAW IMAGE gives its "
     "disk"},
    {0, "QFI\xfb", false, "a qcow2 image, not a raw disk: qemu-img convert -O raw gives its disk"},
    {0, "KDMV", false, "a VMDK image, not a raw disk: qemu-img convert -O raw gives its disk"},
    {0, "# Disk DescriptorFile", false,
     "a VMDK descriptor, not a raw disk: qemu-img convert -O raw gives its disk"},
    {0x40, "\x7f\x10\xda\xbe", false,
     "a VDI image, not a raw disk: qemu-img convert -O raw, or VBoxManage clonemedium --format "
     "RAW, gives its disk"},
    {0, "vhdxfile", false, "a VHDX image, not a raw disk: qemu-img convert -O raw gives its disk"},
    {0, "conectix", false,
     "a VHD image, not a raw disk: qemu-img convert -f vpc -O raw gives its disk"},
    {0, "conectix", true,
     "a VHD image, not a raw disk: qemu-img convert -f vpc -O raw gives its disk"},
}};

// The format a source that is no raw disk is in, by its first and last
// sectors; nullptr for a raw disk.
const char *foreign_format(std::span<const std::uint8_t> first,
                           std::span<const std::uint8_t> last) {
  for (const image_signature &signature : image_signatures) {
    const std::span<const std::uint8_t> sector = signature.in_footer ? last : first;
    if (sector.size() >= signature.at + signature.bytes.size() &&
        std::ranges::equal(sector.subspan(signature.at, signature.bytes.size()), signature.bytes,
                           {}, {}, [](char c) { return static_cast<std::uint8_t>(c); }))
      return signature.format;
  }
  return nullptr;
}

}  // namespace

run_status open_raw(image_plan &plan, platform::image_source &raw) {
  if (!platform::open_source(plan.options.from_raw, raw, true)) {
    plan.why = system_reason(plan.options.from_raw);
    return run_status::cant_open_raw;
  }
  // The first sector, the last (where a VHD keeps its footer), and the boot
  // sector the first points at where it is a partition table.
  std::array<std::uint8_t, 512> first{};
  std::array<std::uint8_t, 512> last{};
  std::array<std::uint8_t, 512> boot{};
  const auto read = static_cast<std::size_t>(std::min<std::uint64_t>(raw.size, first.size()));
  bool readable = platform::read_at(raw, 0, std::span(first).first(read)) &&
                  platform::read_at(raw, raw.size - read, std::span(last).first(read));
  run_status status = readable ? run_status::ok : run_status::read_error;
  if (const char *format =
          readable ? foreign_format(std::span(first).first(read), std::span(last).first(read))
                   : nullptr) {
    plan.why = {.cause = failure_cause::not_raw,
                .subject = plan.options.from_raw,
                .subject_length = 0,
                .detail = format};
    status = run_status::cant_open_raw;
  }
  if (status == run_status::ok && plan.geometry_from_raw && raw.size == 0) {
    plan.why = {.cause = failure_cause::empty_raw,
                .subject = plan.options.from_raw,
                .subject_length = 0,
                .detail = nullptr};
    status = run_status::invalid_size;
  }
  if (status == run_status::ok && plan.geometry_from_raw) {
    std::size_t boot_read = 0;
    const std::optional<std::uint64_t> boot_lba =
        geometry_boot_sector(std::span(first).first(read));
    if (boot_lba && *boot_lba < raw.size / boot.size()) {
      boot_read = boot.size();
      readable = platform::read_at(raw, *boot_lba * boot.size(), boot);
    }
    status = readable ? plan_from_raw(plan, raw.size, std::span(first).first(read),
                                      std::span(boot).first(boot_read))
                      : run_status::read_error;
  }
  if (status == run_status::ok && raw.size > disk_bytes(plan.header).value_or(0))
    status = run_status::image_too_large;
  if (status != run_status::ok)
    platform::close_source(raw);
  return status;
}

run_status write_raw(image_plan &plan) {
  platform::image_source image{};
  if (!platform::open_source(plan.dest, image, true)) {
    plan.why = system_reason(plan.dest);
    return run_status::cant_open_image;
  }
  image_check check{};
  disk_view disk{};
  run_status status = inspect_source(image, check, disk);
  // A disk that no file can hold is refused as such, before its damage.
  const std::optional<std::uint64_t> disk_length = disk_bytes(check.header);
  if (status == run_status::ok && (!disk_length || *disk_length > max_file_bytes))
    status = run_status::image_too_large;
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
