#include "engine/convert_raw.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "disk/geometry.hpp"
#include "engine/copy_engine.hpp"
#include "platform/system.hpp"

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
                                     std::uint64_t disk_length,
                                     std::span<std::uint8_t, read_piece> buffer) {
  disk_run pending{.from = 0, .to = 0, .length = 0};
  run_status copied = run_status::ok;
  const auto flush = [&] {
    if (copied == run_status::ok && pending.length > 0)
      copied = copy_bytes(engine, pending.from, pending.to, pending.length);
    pending.length = 0;
  };
  const std::uint64_t map_end = block_map_offset + entries_in_file(check) * map_entry_size;
  const bool read = read_pieces(
      *engine.source, buffer, block_map_offset, map_end,
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

run_status copy_image_to_raw(const to_raw_request &request, const platform::image_source &image,
                             const image_check &check, job_memory &memory, failure_reason &why) {
  const std::uint64_t disk_length = disk_bytes(check.header).value_or(0);
  if (platform::is_same_file(request.raw, image)) {
    why.cause = failure_cause::own_source;  // the copy would wipe it
    return run_status::cant_open_dest;
  }
  platform::hold_stop_signals();
  open_image raw{};
  if (!open_destination(request.raw, request.no_clobber, raw)) {
    why = system_reason(request.raw);
    platform::release_stop_signals();
    return run_status::cant_open_dest;
  }
  progress_count progress = start_count(request.progress, disk_length);
  // A pipe takes every byte in order. Anything else is given its zeros
  // first, holes and all, and then the image's data alone; full's zeros
  // are then the work the progress counts.
  const bool positioned = raw.stream.positioned;
  const bool full = request.mode == preallocation::full;
  progress_count unshown = start_count(no_progress, 0);
  run_status status = run_status::ok;
  if (positioned)
    status =
        give_zeros(raw.stream, request.mode, 0, disk_length, full ? progress : unshown, memory);
  const copy_mode mode =
      !positioned ? copy_mode::every_byte
                  : (full ? copy_mode::data_runs : copy_mode_for(raw.stream, request.mode));
  copy_engine engine = start_copy(image, raw.stream, mode, full && positioned ? unshown : progress,
                                  memory.data, platform::is_in_memory(image));
  if (status == run_status::ok)
    status = finish_copy(engine, copy_blocks(engine, check, disk_length, memory.map));
  if (status != run_status::ok)
    static_cast<void>(platform::cut_back(raw.stream.handle, 0));  // gives back what it took
  const bool closed = close_destination(raw, request.raw, request.sync && status == run_status::ok);
  if (status == run_status::ok && !closed)
    status = run_status::write_error;
  count_done(progress, status == run_status::ok ? disk_length - progress.done : 0);
  finish_count(progress, status == run_status::ok);
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

run_status open_raw_disk(const char *path, raw_disk &raw, failure_reason &why) {
  raw = raw_disk{};
  if (!platform::open_source(path, raw.source, true)) {
    why = system_reason(path);
    return run_status::cant_open_raw;
  }
  // The first sector, the last (where a VHD keeps its footer), and the boot
  // sector the first points at where it is a partition table.
  std::array<std::uint8_t, raw_sector> last{};
  const std::uint64_t size = raw.source.size;
  const auto read = static_cast<std::size_t>(std::min<std::uint64_t>(size, raw.first.size()));
  raw.first_length = read;
  bool readable = platform::read_at(raw.source, 0, std::span(raw.first).first(read)) &&
                  platform::read_at(raw.source, size - read, std::span(last).first(read));
  run_status status = readable ? run_status::ok : run_status::read_error;
  if (const char *format =
          readable ? foreign_format(std::span(raw.first).first(read), std::span(last).first(read))
                   : nullptr) {
    why = {.cause = failure_cause::not_raw, .subject = path, .subject_length = 0, .detail = format};
    status = run_status::cant_open_raw;
  }
  const std::optional<std::uint64_t> boot_lba =
      geometry_boot_sector(std::span(raw.first).first(read));
  if (status == run_status::ok && boot_lba && *boot_lba < size / raw_sector) {
    raw.boot_length = raw.boot.size();
    if (!platform::read_at(raw.source, *boot_lba * raw_sector, raw.boot))
      status = run_status::read_error;
  }
  if (status != run_status::ok)
    close_raw_disk(raw);
  return status;
}

void close_raw_disk(raw_disk &raw) {
  platform::close_source(raw.source);
  raw.source = {};
}

raw_geometry geometry_of_raw_disk(const raw_disk &raw) {
  return geometry_of_raw(raw.source.size, std::span(raw.first).first(raw.first_length),
                         std::span(raw.boot).first(raw.boot_length));
}

run_status write_raw_disk(const to_raw_request &request, job_memory &memory,
                          image_inspection &found, failure_reason &why) {
  platform::image_source image{};
  if (!platform::open_source(request.image, image, true)) {
    why = system_reason(request.image);
    return run_status::cant_open_image;
  }
  run_status status = inspect_source(image, memory, found.check, found.disk);
  found.allocated = image.allocated;
  // A disk that no file can hold is refused as such, before its damage.
  const std::optional<std::uint64_t> disk_length = disk_bytes(found.check.header);
  if (status == run_status::ok && (!disk_length || *disk_length > max_file_bytes))
    status = run_status::image_too_large;
  if (status == run_status::ok && finding_count(found.check.findings) > 0)
    status = run_status::damaged;
  if (status == run_status::ok)
    status = copy_image_to_raw(request, image, found.check, memory, why);
  platform::close_source(image);
  return status;
}

}  // namespace blankimg
