#include "image/image_check.hpp"

#include <algorithm>
#include <optional>

namespace blankimg {

namespace {

constexpr std::uint32_t no_block = 0xffffffff;  // a pair's block not yet found

constexpr bool names_a_block(const finding &found) {
  return found.kind >= finding_kind::entry_in_layout;
}

// What is wrong with the header or the file's length is listed before any
// block, as it is usually the cause: a block that pushed it out of the
// list is counted instead.
void add_finding(image_findings &findings, finding_kind kind, std::uint32_t block = 0,
                 std::uint32_t other = 0) {
  const finding found = {.kind = kind, .block = block, .other = other};
  std::size_t place = findings.listed_count;
  while (!names_a_block(found) && place > 0 && names_a_block(findings.listed[place - 1]))
    --place;
  if (findings.listed_count == findings.listed.size())
    ++findings.unlisted_count;  // the last one listed, or this one, goes
  else
    ++findings.listed_count;
  for (std::size_t at = findings.listed_count; at-- > place + 1;)
    findings.listed[at] = findings.listed[at - 1];
  if (place < findings.listed_count)
    findings.listed[place] = found;
}

void differ(image_check &check, layout_difference why) {
  if (check.as_created)
    check.difference = why;
  check.as_created = false;
}

void add_overlap(overlap_check &overlaps, const overlap_check::pair &pair) {
  if (overlaps.listed_count < overlaps.listed.size())
    overlaps.listed[overlaps.listed_count++] = pair;
  ++overlaps.count;
}

// One entry of bytes, against the entries before it while they ascend.
void note_entry(image_check &check, std::uint32_t block, map_entry entry) {
  overlap_check &overlaps = check.overlaps;
  const std::uint64_t offset = entry & entry_offset_mask;
  const std::uint64_t length = entry >> entry_offset_bits;
  if (!overlaps.ascending || length == 0)
    return;
  if (offset < overlaps.last_offset) {
    overlaps.ascending = false;
    return;
  }
  if (offset < overlaps.furthest_end)
    add_overlap(
        overlaps,
        {.block = block, .other = overlaps.furthest_block, .entry = entry, .other_entry = 0});
  overlaps.last_offset = offset;
  if (offset + length > overlaps.furthest_end) {
    overlaps.furthest_end = offset + length;
    overlaps.furthest_block = block;
  }
}

// A run of count entries laid out as this tool lays them, the first for
// block first at offset: they ascend and share no bytes among themselves,
// so only those that start before the furthest end so far overlap.
void note_laid_out(image_check &check, std::uint64_t first, std::uint64_t count,
                   std::uint64_t offset) {
  overlap_check &overlaps = check.overlaps;
  const std::uint64_t length = check.block_bytes;
  if (!overlaps.ascending || length == 0 || count == 0)
    return;
  if (offset < overlaps.last_offset) {
    overlaps.ascending = false;
    return;
  }
  for (std::uint64_t k = 0; k < count && offset + k * length < overlaps.furthest_end; ++k) {
    add_overlap(overlaps, {.block = static_cast<std::uint32_t>(first + k),
                           .other = overlaps.furthest_block,
                           .entry = 0,
                           .other_entry = 0});
  }
  const std::uint64_t last = offset + (count - 1) * length;
  overlaps.last_offset = last;
  if (last + length > overlaps.furthest_end) {
    overlaps.furthest_end = last + length;
    overlaps.furthest_block = static_cast<std::uint32_t>(first + count - 1);
  }
}

// How many of the first most entries in bytes are the running sum's, from
// first on by step: checked a group at a time, with no branch inside a
// group. Where the compiler can pick the code by the processor at run
// time, a vector version swaps and compares a group in a few steps: it
// checks a 128 MiB map in a third of the time, as fast as reading it.
#if BLANKIMG_HAVE_TARGET_CLONES
__attribute__((target_clones("avx2", "default")))
#endif
std::size_t
count_laid_out(std::span<const std::uint8_t> bytes, map_entry first, std::uint64_t step,
               std::uint64_t most) {
  constexpr std::size_t group = 16;
  std::size_t counted = 0;
  for (; counted + group <= most; counted += group, first += group * step) {
    map_entry differ = 0;
    for (std::size_t k = 0; k < group; ++k) {
      const auto entry = bytes.subspan((counted + k) * map_entry_size).first<map_entry_size>();
      differ |= get_bigendian(entry) ^ (first + k * step);
    }
    if (differ != 0)
      break;
  }
  return counted;
}

// An entry other than the one this tool would have written there, or one
// that names bytes the file does not hold.
void check_odd_entry(image_check &check, std::uint32_t block, map_entry entry) {
  differ(check, layout_difference::block_order);
  const std::uint64_t offset = entry & entry_offset_mask;
  const std::uint64_t length = entry >> entry_offset_bits;
  // An entry of no bytes names no bytes, wherever its offset points; but
  // a block of a disk with bytes in its sectors must have some.
  if (length == 0 && check.block_bytes > 0)
    add_finding(check.findings, finding_kind::entry_empty, block);
  if (length > 0 && offset < check.data_start)
    add_finding(check.findings, finding_kind::entry_in_layout, block);
  else if (length > 0 && (length > check.file_size || offset > check.file_size - length))
    add_finding(check.findings, finding_kind::entry_past_end, block);
  if (length > check.block_bytes)
    add_finding(check.findings, finding_kind::entry_too_long, block);
  note_entry(check, block, entry);
}

// The entries among bytes, the first for block first: those laid out as
// this tool lays them are passed over a group at a time, the rest checked
// one by one.
void check_entries(image_check &check, std::uint64_t first, std::span<const std::uint8_t> bytes) {
  // The entry this tool writes for block, kept as a running sum: each
  // entry's offset is the last one's plus a block. Such an entry, for a
  // block that ends within the file, has nothing to find. Offsets stay
  // below 2^44 in a file that does, so only there the sum never carries
  // into the length; in a larger file each entry is judged on its own.
  const auto block_length = static_cast<std::uint32_t>(check.block_bytes);
  const std::uint64_t expected_end = check.file_size <= max_image_bytes ? check.blocks_in_file : 0;
  const auto laid_out_entry = [&](std::uint64_t block) {
    return encode_mapentry(check.data_start + block * check.block_bytes, block_length);
  };
  std::uint64_t block = first;
  map_entry expected = laid_out_entry(block);
  for (std::size_t at = 0; at + map_entry_size <= bytes.size(); at += map_entry_size, ++block) {
    const std::uint64_t in_file = block < expected_end ? expected_end - block : 0;
    const std::uint64_t most =
        std::min<std::uint64_t>(in_file, (bytes.size() - at) / map_entry_size);
    // At most the entries in bytes: a count that fits a size_t.
    const std::size_t laid_out =
        count_laid_out(bytes.subspan(at), expected, check.block_bytes, most);
    note_laid_out(check, block, laid_out, expected & entry_offset_mask);
    at += laid_out * map_entry_size;
    block += laid_out;
    expected += laid_out * check.block_bytes;
    if (at + map_entry_size > bytes.size())
      break;
    const map_entry entry = get_bigendian(bytes.subspan(at).first<map_entry_size>());
    if (entry == expected && block < expected_end) {
      note_laid_out(check, block, 1, expected & entry_offset_mask);
      expected += check.block_bytes;
      continue;
    }
    check_odd_entry(check, static_cast<std::uint32_t>(block), entry);
    expected = laid_out_entry(block + 1);
  }
}

void check_marker(image_check &check, std::span<const std::uint8_t, map_entry_size> marker) {
  if (!std::ranges::equal(marker, end_of_list_marker)) {
    differ(check, layout_difference::damaged);
    add_finding(check.findings, finding_kind::marker);
  }
}

}  // namespace

image_check start_check(std::span<const std::uint8_t, header_length> header_bytes,
                        std::uint64_t file_size) {
  const image_header header = read_header(header_bytes);
  image_check check{
      .header = header,
      .file_size = file_size,
      .block_bytes = std::uint64_t{header.blocksize} * header.bytes_per_sector,
      .map_end = end_marker_offset(header.block_count),
      .data_start = data_area_offset(header.block_count),
      .blocks_in_file = 0,
      .checked_to = block_map_offset,
      .as_created = true,
      .difference = layout_difference::none,
      .overlaps = {.ascending = true,
                   .last_offset = 0,
                   .furthest_end = 0,
                   .furthest_block = 0,
                   .listed = {},
                   .listed_count = 0,
                   .count = 0},
      .findings = {},
  };
  if (file_size >= check.data_start)
    check.blocks_in_file = check.block_bytes == 0
                               ? header.block_count
                               : (file_size - check.data_start) / check.block_bytes;
  image_findings &findings = check.findings;
  const bool blocksize_valid = header.blocksize != 0 && header.blocksize <= max_blocksize;
  const bool geometry_valid = header.cylinders != 0 && header.heads != 0 && header.sectors != 0;
  if (header.header_length != header_length)
    add_finding(findings, finding_kind::wrong_header_length);
  if (!blocksize_valid)
    add_finding(findings, finding_kind::wrong_blocksize);
  if (!geometry_valid)
    add_finding(findings, finding_kind::zero_geometry);
  const std::optional<std::uint64_t> disk_length = disk_bytes(header);
  if (!disk_length || *disk_length > max_file_bytes)
    add_finding(findings, finding_kind::disk_too_large);
  if (blocksize_valid && geometry_valid &&
      count_blocks(header.cylinders, header.heads, header.sectors, header.blocksize) !=
          header.block_count)
    add_finding(findings, finding_kind::wrong_block_count);
  if (file_size < check.map_end + map_entry_size)
    add_finding(findings, finding_kind::too_short);
  // What this tool writes besides, and refuses to write otherwise.
  const image_header written = make_header(header.blocksize, header.block_count, header.cylinders,
                                           header.heads, header.sectors, header.bytes_per_sector);
  const std::uint64_t laid_out_end = image_end(header.block_count, check.block_bytes);
  if (findings.listed_count != 0)
    differ(check, layout_difference::damaged);
  else if (header != written)
    differ(check, layout_difference::other_header);
  else if (check.block_bytes > max_entry_length || file_size > max_image_bytes)
    differ(check, layout_difference::too_large);
  else if (file_size > laid_out_end)
    differ(check, layout_difference::trailing_bytes);
  else if (file_size < laid_out_end)
    differ(check, layout_difference::short_file);
  return check;
}

std::uint64_t map_bytes_end(const image_check &check) {
  return std::min(check.file_size, check.map_end + map_entry_size);
}

void check_map_piece(image_check &check, std::uint64_t offset,
                     std::span<const std::uint8_t> bytes) {
  // Only the part of the piece within the map and marker.
  const std::uint64_t from = std::max(offset, check.checked_to);
  const std::uint64_t to = std::min(offset + bytes.size(), check.map_end + map_entry_size);
  if (from >= to)
    return;
  const std::span<const std::uint8_t> part =
      bytes.subspan(static_cast<std::size_t>(from - offset), static_cast<std::size_t>(to - from));
  const auto entries_length =
      static_cast<std::size_t>(std::min(to, check.map_end) - std::min(from, check.map_end));
  check_entries(check, (from - block_map_offset) / map_entry_size, part.first(entries_length));
  if (to == check.map_end + map_entry_size)
    check_marker(check, part.last<map_entry_size>());
  check.checked_to = to;
}

std::uint64_t entries_in_file(const image_check &check) {
  return (std::min(check.map_end, std::max(check.file_size, block_map_offset)) - block_map_offset) /
         map_entry_size;
}

bool entries_ascend(const image_check &check) {
  return check.overlaps.ascending;
}

std::uint64_t furthest_entry_end(std::uint64_t so_far, std::span<const std::uint8_t> bytes) {
  for (std::size_t at = 0; at + map_entry_size <= bytes.size(); at += map_entry_size) {
    const map_entry entry = get_bigendian(bytes.subspan(at).first<map_entry_size>());
    so_far = std::max(so_far, (entry & entry_offset_mask) + (entry >> entry_offset_bits));
  }
  return so_far;
}

overlap_plan start_overlap_plan(std::uint64_t furthest_end) {
  // An entry that reaches into a bucket starts in it or in the one before.
  const std::uint64_t width =
      std::max<std::uint64_t>(max_entry_length + 1, furthest_end / overlap_buckets + 1);
  return {.bucket_width = width, .starts = {}};
}

void count_range_piece(overlap_plan &plan, std::span<const std::uint8_t> bytes) {
  for (std::size_t at = 0; at + map_entry_size <= bytes.size(); at += map_entry_size) {
    const map_entry entry = get_bigendian(bytes.subspan(at).first<map_entry_size>());
    if ((entry >> entry_offset_bits) == 0)
      continue;
    const std::uint64_t bucket = (entry & entry_offset_mask) / plan.bucket_width;
    ++plan.starts.at(
        static_cast<std::size_t>(std::min<std::uint64_t>(bucket, overlap_buckets - 1)));
  }
}

std::optional<offset_range> next_overlap_range(const overlap_plan &plan, std::size_t first_bucket,
                                               std::uint64_t room) {
  if (first_bucket >= overlap_buckets)
    return std::nullopt;
  // Those that start in the bucket before may reach in.
  const std::uint64_t reaching_in = first_bucket > 0 ? plan.starts.at(first_bucket - 1) : 0;
  std::uint64_t entries = reaching_in;
  std::size_t end = first_bucket;
  while (end < overlap_buckets && entries + plan.starts.at(end) <= room)
    entries += plan.starts.at(end++);
  if (end == first_bucket)
    return std::nullopt;
  // The last bucket holds every entry from its start on.
  const std::uint64_t to =
      end == overlap_buckets ? std::uint64_t{UINT64_MAX} : end * plan.bucket_width;
  return offset_range{
      .from = first_bucket * plan.bucket_width, .to = to, .end_bucket = end, .entries = entries};
}

std::size_t collect_range_piece(const offset_range &range, std::span<const std::uint8_t> bytes,
                                std::span<map_entry> gathered, std::size_t count) {
  for (std::size_t at = 0; at + map_entry_size <= bytes.size(); at += map_entry_size) {
    const map_entry entry = get_bigendian(bytes.subspan(at).first<map_entry_size>());
    const std::uint64_t offset = entry & entry_offset_mask;
    const std::uint64_t length = entry >> entry_offset_bits;
    if (length > 0 && offset < range.to && offset + length > range.from && count < gathered.size())
      gathered[count++] = entry;
  }
  return count;
}

void start_overlap_ranges(image_check &check) {
  check.overlaps.listed_count = 0;
  check.overlaps.count = 0;
}

void find_overlaps_in_range(image_check &check, const offset_range &range,
                            std::span<map_entry> entries) {
  const auto offset_of = [](map_entry entry) { return entry & entry_offset_mask; };
  std::ranges::sort(entries, {}, offset_of);
  overlap_check &overlaps = check.overlaps;
  std::uint64_t furthest_end = 0;
  map_entry furthest = 0;
  for (const map_entry entry : entries) {
    const std::uint64_t offset = offset_of(entry);
    const std::uint64_t length = entry >> entry_offset_bits;
    // An entry starting before the range is there for what it reaches.
    if (offset >= range.from && offset < furthest_end)
      add_overlap(overlaps,
                  {.block = no_block, .other = no_block, .entry = entry, .other_entry = furthest});
    if (offset + length > furthest_end) {
      furthest_end = offset + length;
      furthest = entry;
    }
  }
}

void name_overlapping_blocks(image_check &check, std::uint64_t offset,
                             std::span<const std::uint8_t> bytes) {
  overlap_check &overlaps = check.overlaps;
  const auto listed = std::span(overlaps.listed).first(overlaps.listed_count);
  std::uint64_t block = (offset - block_map_offset) / map_entry_size;
  const std::uint64_t end = std::min(block + bytes.size() / map_entry_size, entries_in_file(check));
  for (std::size_t at = 0; block < end; at += map_entry_size, ++block) {
    const map_entry entry = get_bigendian(bytes.subspan(at).first<map_entry_size>());
    // Each side of a pair takes the first block with its entry that the
    // other side has not taken: two equal entries name two blocks.
    for (overlap_check::pair &pair : listed) {
      const auto here = static_cast<std::uint32_t>(block);
      if (pair.other == no_block && entry == pair.other_entry)
        pair.other = here;
      else if (pair.block == no_block && entry == pair.entry)
        pair.block = here;
    }
  }
}

void finish_check(image_check &check) {
  const overlap_check &overlaps = check.overlaps;
  for (const overlap_check::pair &pair : std::span(overlaps.listed).first(overlaps.listed_count))
    add_finding(check.findings, finding_kind::entry_overlaps, std::max(pair.block, pair.other),
                std::min(pair.block, pair.other));
  check.findings.unlisted_count += overlaps.count - overlaps.listed_count;
  // Damage is the reason that counts.
  if (finding_count(check.findings) > 0) {
    check.as_created = false;
    check.difference = layout_difference::damaged;
  }
}

std::uint64_t finding_count(const image_findings &findings) {
  return findings.listed_count + findings.unlisted_count;
}

}  // namespace blankimg
