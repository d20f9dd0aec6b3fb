#include "engine/inspect_image.hpp"

#include <array>
#include <optional>

#include "disk/volumes.hpp"
#include "platform/system.hpp"

namespace blankimg {

namespace {

// A map whose offsets do not ascend is checked for blocks that share bytes
// a range of offsets at a time, each range's entries sorted in memory
// borrowed for that alone: never more than this, whatever the map, and
// with only as many pages touched as the range has entries. A range that
// cannot fit (more entries at nearly one offset than this holds) is out
// of memory, said before any page is touched.
constexpr std::uint64_t most_sorted_entries = (std::uint64_t{64} << 20) / map_entry_size;

using piece_buffer = std::span<std::uint8_t, read_piece>;

run_status find_overlaps_out_of_order(const platform::image_source &source, piece_buffer buffer,
                                      image_check &check) {
  const std::uint64_t map_end = block_map_offset + entries_in_file(check) * map_entry_size;
  const auto over_map = [&](auto take) {
    return read_pieces(
        source, buffer, block_map_offset, map_end,
        [&](std::uint64_t /*offset*/, std::span<const std::uint8_t> piece) { take(piece); });
  };
  std::uint64_t furthest = 0;
  if (!over_map([&](std::span<const std::uint8_t> piece) {
        furthest = furthest_entry_end(furthest, piece);
      }))
    return run_status::read_error;
  overlap_plan plan = start_overlap_plan(furthest);
  if (!over_map([&](std::span<const std::uint8_t> piece) { count_range_piece(plan, piece); }))
    return run_status::read_error;
  // The largest range decides what is borrowed.
  std::uint64_t most = 0;
  for (std::size_t bucket = 0; bucket < overlap_buckets;) {
    const std::optional<offset_range> range = next_overlap_range(plan, bucket, most_sorted_entries);
    if (!range)
      return run_status::out_of_memory;
    most = std::max(most, range->entries);
    bucket = range->end_bucket;
  }
  const std::span<std::uint8_t> memory =
      platform::borrow_memory(std::max<std::uint64_t>(most, 1) * map_entry_size);
  if (memory.empty())
    return run_status::out_of_memory;
  // Memory from the system is aligned for any type.
  const std::span<map_entry> entries(reinterpret_cast<map_entry *>(memory.data()),  // NOLINT
                                     memory.size() / map_entry_size);
  start_overlap_ranges(check);
  bool read = true;
  for (std::size_t bucket = 0; read && bucket < overlap_buckets;) {
    const offset_range range = *next_overlap_range(plan, bucket, most_sorted_entries);
    std::size_t gathered = 0;
    read = over_map([&](std::span<const std::uint8_t> piece) {
      gathered = collect_range_piece(range, piece, entries, gathered);
    });
    if (read)
      find_overlaps_in_range(check, range, entries.first(gathered));
    bucket = range.end_bucket;
  }
  platform::give_back_memory(memory);
  if (!read || !read_pieces(source, buffer, block_map_offset, map_end,
                            [&check](std::uint64_t offset, std::span<const std::uint8_t> piece) {
                              name_overlapping_blocks(check, offset, piece);
                            }))
    return run_status::read_error;
  return run_status::ok;
}

run_status check_source(const platform::image_source &source, piece_buffer buffer,
                        image_check &check) {
  std::array<std::uint8_t, header_length> header{};
  if (source.size < header_length)
    return run_status::not_an_image;
  if (!platform::read_at(source, 0, header))
    return run_status::read_error;
  if (!has_magic_tag(header))
    return run_status::not_an_image;
  check = start_check(header, source.size);
  // Nothing the header says sets how much is read: only what the file holds.
  if (!read_pieces(source, buffer, block_map_offset, map_bytes_end(check),
                   [&check](std::uint64_t offset, std::span<const std::uint8_t> piece) {
                     check_map_piece(check, offset, piece);
                   }))
    return run_status::read_error;
  if (!entries_ascend(check)) {
    if (const run_status found = find_overlaps_out_of_order(source, buffer, check);
        found != run_status::ok)
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

// The disk's sectors as an emulator finds them, through the map.
struct image_sectors {
  const platform::image_source *source;
  const image_check *check;
};

// Bytes from the start of sector lba on, where one block holds them all.
bool read_image_sectors(void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
  const auto &disk = *static_cast<const image_sectors *>(context);
  const image_check &check = *disk.check;
  if (check.block_bytes == 0)
    return false;
  const std::uint64_t at = lba * check.header.bytes_per_sector;
  map_entry entry = 0;
  if (!read_map_entry(*disk.source, check, at / check.block_bytes, entry))
    return false;
  const std::uint64_t within = at % check.block_bytes;
  return within + out.size() <= (entry >> entry_offset_bits) &&
         platform::read_at(*disk.source, (entry & entry_offset_mask) + within, out);
}

// Where the disk's bytes [at, at + length) begin in the file, where they
// are one run of it: the blocks that hold them follow each other in the
// file, each whole but the last. An image laid out as this tool lays it
// out is one run; any other has its entries read to tell.
std::optional<std::uint64_t> file_offset_of(const platform::image_source &source,
                                            piece_buffer buffer, const image_check &check,
                                            std::uint64_t at, std::uint64_t length) {
  const std::uint64_t block_bytes = check.block_bytes;
  if (length == 0 || block_bytes == 0)
    return std::nullopt;
  if (check.as_created)
    return check.data_start + at;
  const std::uint64_t first = at / block_bytes;
  const std::uint64_t last = (at + length - 1) / block_bytes;
  if (last >= entries_in_file(check) || last < first)
    return std::nullopt;
  std::uint64_t start = 0;
  bool one_run = true;
  const bool read = read_pieces(
      source, buffer, block_map_offset + first * map_entry_size,
      block_map_offset + (last + 1) * map_entry_size,
      [&](std::uint64_t offset, std::span<const std::uint8_t> piece) {
        std::uint64_t block = (offset - block_map_offset) / map_entry_size;
        for (std::size_t i = 0; i + map_entry_size <= piece.size(); i += map_entry_size, ++block) {
          const map_entry entry = get_bigendian(piece.subspan(i).first<map_entry_size>());
          const std::uint64_t entry_offset = entry & entry_offset_mask;
          const std::uint64_t needed =
              block < last ? block_bytes : at + length - block * block_bytes;
          if (block == first)
            start = entry_offset;
          one_run = one_run && entry_offset == start + (block - first) * block_bytes &&
                    (entry >> entry_offset_bits) >= needed;
        }
      });
  if (!read || !one_run)
    return std::nullopt;
  return start + at % block_bytes;
}

// The volume's file system, checked as fsck.fat -n checks one.
volume_findings check_volume(const sector_io &io, const volume_view &volume, job_memory &memory) {
  fat_access access{};
  volume_findings findings{};
  if (!open_fat_volume(io, volume.start_sector, volume.sectors, volume_cache(memory), memory.slots,
                       access)) {
    findings.listed[findings.listed_count++] = {.problem = volume_problem::boot_sector,
                                                .where = volume.start_sector};
    findings.count = 1;
    return findings;
  }
  const std::span<std::uint8_t> map =
      platform::borrow_memory(cluster_map_bytes(access.layout.clusters));
  if (map.empty()) {
    findings.listed[findings.listed_count++] = {.problem = volume_problem::unreadable, .where = 0};
    findings.count = 1;
    return findings;
  }
  findings = check_fat_volume(access, map);
  platform::give_back_memory(map);
  return findings;
}

// Where the volumes the finder finds stand in the file, and what their
// file systems hold.
void find_volumes(const platform::image_source &source, job_memory &memory,
                  const image_check &check, disk_view &disk, bool check_file_systems) {
  const piece_buffer buffer = memory.map;
  disk = {.data_offset = check.data_start, .contiguous = false, .volumes = {}, .volume_count = 0};
  map_entry first = 0;
  if (read_map_entry(source, check, 0, first))
    disk.data_offset = first & entry_offset_mask;
  const std::optional<std::uint64_t> disk_length = disk_bytes(check.header);
  const std::optional<std::uint64_t> sectors = disk_sectors(check.header);
  if (!disk_length || !sectors)
    return;  // no file holds such a disk, and no volume is looked for on it
  const std::optional<std::uint64_t> whole = file_offset_of(source, buffer, check, 0, *disk_length);
  disk.contiguous = whole.has_value() && *whole == disk.data_offset;
  image_sectors context{.source = &source, .check = &check};
  const sector_io io{.context = &context,
                     .read = read_image_sectors,
                     .write = nullptr,
                     .bytes_per_sector = check.header.bytes_per_sector,
                     .sectors = *sectors};
  const found_volumes found = blankimg::find_volumes(io);
  const std::uint64_t bytes_per_sector = check.header.bytes_per_sector;
  for (std::size_t i = 0; i < found.count; ++i) {
    const found_volume &volume = found.volumes[i];
    const std::optional<std::uint64_t> offset =
        file_offset_of(source, buffer, check, volume.start_sector * bytes_per_sector,
                       volume.sectors * bytes_per_sector);
    disk.volumes[disk.volume_count++] = {.start_sector = volume.start_sector,
                                         .sectors = volume.sectors,
                                         .contiguous = offset.has_value(),
                                         .offset = offset.value_or(0),
                                         .partition = volume.partition,
                                         .type = volume.type,
                                         .active = volume.active,
                                         .fat = volume.fat,
                                         .file_system = volume.file_system,
                                         .label = volume.label,
                                         .findings = {}};
    volume_view &view = disk.volumes[disk.volume_count - 1];
    if (view.fat && check_file_systems)
      view.findings = check_volume(io, view, memory);
  }
}

}  // namespace

run_status inspect_source(const platform::image_source &source, job_memory &memory,
                          image_check &check, disk_view &disk, inspect_depth depth) {
  run_status status = run_status::ok;
  if (depth == inspect_depth::just_made) {
    // Its map is as this tool writes maps: nothing of it needs reading.
    std::array<std::uint8_t, header_length> header{};
    if (source.size < header_length || !platform::read_at(source, 0, header))
      return run_status::read_error;
    check = start_check(header, source.size);
  } else {
    status = check_source(source, memory.map, check);
  }
  if (status == run_status::ok)
    find_volumes(source, memory, check, disk, depth == inspect_depth::everything);
  return status;
}

std::uint64_t volume_finding_count(const disk_view &disk) {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < disk.volume_count; ++i)
    count += disk.volumes[i].findings.count;
  return count;
}

bool read_map_entry(const platform::image_source &source, const image_check &check,
                    std::uint64_t block, map_entry &entry) {
  std::array<std::uint8_t, map_entry_size> bytes{};
  if (block >= entries_in_file(check) ||
      !platform::read_at(source, block_map_offset + block * map_entry_size, bytes))
    return false;
  entry = get_bigendian(std::span<const std::uint8_t, map_entry_size>(bytes));
  return true;
}

run_status inspect_image(const char *path, job_memory &memory, image_inspection &found,
                         failure_reason &why) {
  platform::image_source source{};
  if (!platform::open_source(path, source)) {
    why = system_reason(path);
    return run_status::cant_open_image;
  }
  const run_status status = inspect_source(source, memory, found.check, found.disk);
  found.allocated = source.allocated;
  platform::close_source(source);
  return status;
}

}  // namespace blankimg
