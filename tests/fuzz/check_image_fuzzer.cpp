// Feeds arbitrary file contents to the image checks, in pieces of a size
// the first input byte picks, and holds the verdict to a plain model of the
// rules: every entry read whole from the file, 128-bit sums, no fast path,
// and every pair of entries compared for bytes they share.
// Inputs are far below 2^44 bytes, so no offset wraps there.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "image/image_check.hpp"

namespace {

using namespace blankimg;
__extension__ using wide = unsigned __int128;

void require(bool property) {
  if (!property)
    std::abort();
}

std::uint64_t big_endian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i)
    value = value << 8 | bytes[at + i];
  return value;
}

struct verdict {
  std::uint64_t findings;
  bool as_created;
};

verdict model(std::span<const std::uint8_t> file) {
  const auto field = [&file](std::size_t at) { return big_endian(file, at, 4); };
  const std::uint64_t blocksize = field(24), count = field(28), cylinders = field(32),
                      heads = field(36), sectors = field(40);
  const wide block_bytes = wide{blocksize} * field(76), data_start = 88 + wide{8} * count;
  const bool blocksize_valid = blocksize >= 1 && blocksize <= 2047;
  const bool geometry_valid = cylinders != 0 && heads != 0 && sectors != 0;
  std::uint64_t findings = (field(8) != 80) + !blocksize_valid + !geometry_valid;
  // A disk no file can hold: more than 2^63 - 1 bytes.
  const wide disk_sectors = wide{cylinders} * heads * sectors;
  findings += field(76) != 0 && disk_sectors > wide{(std::uint64_t{1} << 63) - 1} / field(76);
  if (blocksize_valid && geometry_valid)
    findings += (wide{cylinders} * heads * sectors + blocksize - 1) / blocksize != count;
  const bool marker = data_start <= file.size() &&
                      std::equal(end_of_list_marker.begin(), end_of_list_marker.end(),
                                 file.begin() + static_cast<std::ptrdiff_t>(data_start - 8));
  findings += !marker;
  bool as_created =
      findings == 0 && field(12) == 2 && field(16) == 2 && field(20) == 0 &&
      std::all_of(file.begin() + 44, file.begin() + 76, [](auto b) { return b == 0; }) &&
      block_bytes < (1U << 20) && data_start + count * block_bytes == file.size();
  std::vector<std::pair<wide, wide>> extents;  // offset and length of each entry
  for (std::uint64_t block = 0; block < count && 88 + 8 * block <= file.size(); ++block) {
    const std::uint64_t entry = big_endian(file, 80 + 8 * block, 8);
    const wide offset = entry & ((std::uint64_t{1} << 44) - 1), length = entry >> 44;
    as_created = as_created && offset == data_start + block * block_bytes && length == block_bytes;
    findings += length > 0 && (offset < data_start || offset + length > file.size());
    findings += length > block_bytes;
    findings += length == 0 && block_bytes > 0;
    extents.emplace_back(offset, length);
  }
  // An entry shares bytes with one that starts before it, or at the same
  // offset and earlier in the map: each such entry is one finding.
  for (std::size_t i = 0; i < extents.size(); ++i) {
    const auto [offset, length] = extents[i];
    bool shares = false;
    for (std::size_t j = 0; j < extents.size() && length > 0 && !shares; ++j) {
      const auto [other, other_length] = extents[j];
      shares = j != i && other_length > 0 && (other < offset || (other == offset && j < i)) &&
               other + other_length > offset;
    }
    findings += shares;
  }
  return {findings, findings == 0 && as_created};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1 + header_length)
    return 0;
  const std::size_t piece_size = 8 * (1 + data[0] % 64);
  const std::span<const std::uint8_t> file(data + 1, size - 1);
  image_check check = start_check(file.first<header_length>(), file.size());
  const std::uint64_t end = map_bytes_end(check);
  for (std::uint64_t offset = block_map_offset; offset < end;) {
    const std::uint64_t length = std::min<std::uint64_t>(piece_size, end - offset);
    check_map_piece(check, offset, file.subspan(offset, length));
    offset += length;
  }
  // A map in no order, a range of offsets at a time, as --info checks it:
  // in room for few entries for half the inputs, so that their entries far
  // apart take several ranges; a range that cannot fit is out of memory.
  const auto over_map = [&](auto take) {
    const std::uint64_t map_end = block_map_offset + entries_in_file(check) * map_entry_size;
    for (std::uint64_t offset = block_map_offset; offset < map_end;) {
      const std::uint64_t length = std::min<std::uint64_t>(piece_size, map_end - offset);
      take(offset, file.subspan(offset, length));
      offset += length;
    }
  };
  if (!entries_ascend(check)) {
    const std::uint64_t room = (data[0] & 0x80) != 0 ? 4 : UINT64_MAX;
    std::uint64_t furthest = 0;
    over_map([&](std::uint64_t, std::span<const std::uint8_t> piece) {
      furthest = furthest_entry_end(furthest, piece);
    });
    overlap_plan plan = start_overlap_plan(furthest);
    over_map([&](std::uint64_t, std::span<const std::uint8_t> piece) {
      count_range_piece(plan, piece);
    });
    std::vector<map_entry> entries(entries_in_file(check));
    start_overlap_ranges(check);
    for (std::size_t bucket = 0; bucket < overlap_buckets;) {
      const std::optional<offset_range> range = next_overlap_range(plan, bucket, room);
      if (!range)
        return 0;  // out of memory: no verdict to hold to the model
      require(range->entries <= room);
      std::size_t gathered = 0;
      over_map([&](std::uint64_t, std::span<const std::uint8_t> piece) {
        gathered = collect_range_piece(*range, piece, entries, gathered);
      });
      require(gathered <= range->entries);
      find_overlaps_in_range(check, *range, std::span(entries).first(gathered));
      bucket = range->end_bucket;
    }
    over_map([&](std::uint64_t offset, std::span<const std::uint8_t> piece) {
      name_overlapping_blocks(check, offset, piece);
    });
  }
  finish_check(check);
  const verdict expected = model(file);
  require(finding_count(check.findings) == expected.findings);
  require(check.as_created == expected.as_created);
  require(check.findings.listed_count ==
          std::min<std::uint64_t>(expected.findings, max_listed_findings));
  // The header and the file's length first, then the blocks, each of those
  // named with blocks the map has.
  const auto listed = std::span(check.findings.listed).first(check.findings.listed_count);
  require(std::ranges::is_partitioned(
      listed, [](const finding &f) { return f.kind < finding_kind::entry_in_layout; }));
  for (const finding &f : listed) {
    require(f.kind < finding_kind::entry_in_layout || f.block < check.header.block_count);
    require(f.kind != finding_kind::entry_overlaps || f.other < f.block);
  }
  return 0;
}
