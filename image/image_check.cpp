#include "image/image_check.hpp"

#include <algorithm>
#include <optional>

namespace blankimg {

namespace {

template <std::size_t size>
std::uint64_t get_bigendian(std::span<const std::uint8_t, size> bytes) {
  std::uint64_t value = 0;
  for (const std::uint8_t byte : bytes)
    value = value << 8 | byte;
  return value;
}

std::uint32_t get_bigendian_uint32(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(get_bigendian(bytes));
}

void add_finding(image_findings &findings, finding_kind kind, std::uint32_t block = 0) {
  if (findings.listed_count < findings.listed.size())
    findings.listed[findings.listed_count++] = {.kind = kind, .block = block};
  else
    ++findings.unlisted_count;
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
  check.as_created = false;
  const std::uint64_t offset = entry & entry_offset_mask;
  const std::uint64_t length = entry >> entry_offset_bits;
  // An entry of no bytes names no bytes, wherever its offset points.
  if (length > 0 && offset < check.data_start)
    add_finding(check.findings, finding_kind::entry_in_layout, block);
  else if (length > 0 && (length > check.file_size || offset > check.file_size - length))
    add_finding(check.findings, finding_kind::entry_past_end, block);
  if (length > check.block_bytes)
    add_finding(check.findings, finding_kind::entry_too_long, block);
}

}  // namespace

bool has_magic_tag(std::span<const std::uint8_t, header_length> header_bytes) {
  return std::ranges::equal(header_bytes.first<magic_tag.size()>(), magic_tag);
}

image_header read_header(std::span<const std::uint8_t, header_length> header_bytes) {
  image_header header{
      .header_length = get_bigendian_uint32(header_bytes.subspan<8, 4>()),
      .fixed_word_a = get_bigendian_uint32(header_bytes.subspan<12, 4>()),
      .fixed_word_b = get_bigendian_uint32(header_bytes.subspan<16, 4>()),
      .fixed_word_c = get_bigendian_uint32(header_bytes.subspan<20, 4>()),
      .blocksize = get_bigendian_uint32(header_bytes.subspan<24, 4>()),
      .block_count = get_bigendian_uint32(header_bytes.subspan<28, 4>()),
      .cylinders = get_bigendian_uint32(header_bytes.subspan<32, 4>()),
      .heads = get_bigendian_uint32(header_bytes.subspan<36, 4>()),
      .sectors = get_bigendian_uint32(header_bytes.subspan<40, 4>()),
      .bytes_per_sector = get_bigendian_uint32(header_bytes.subspan<76, 4>()),
      .zero_block_a = {},
      .zero_block_b = {},
  };
  std::ranges::copy(header_bytes.subspan<44, 16>(), header.zero_block_a.begin());
  std::ranges::copy(header_bytes.subspan<60, 16>(), header.zero_block_b.begin());
  return header;
}

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
  if (blocksize_valid && geometry_valid &&
      count_blocks(header.cylinders, header.heads, header.sectors, header.blocksize) !=
          header.block_count)
    add_finding(findings, finding_kind::wrong_block_count);
  // What this tool writes besides, and refuses to write otherwise.
  const image_header written = make_header(header.blocksize, header.block_count, header.cylinders,
                                           header.heads, header.sectors, header.bytes_per_sector);
  check.as_created =
      findings.listed_count == 0 && header == written && check.block_bytes <= max_entry_length &&
      image_end(header.block_count, check.block_bytes) == file_size && file_size <= max_image_bytes;
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
  const std::size_t entries_end =
      static_cast<std::size_t>(std::min(to, check.map_end) - std::min(from, check.map_end));
  std::uint64_t block = (from - block_map_offset) / map_entry_size;
  // The entry this tool writes for block, kept as a running sum: each
  // entry's offset is the last one's plus a block. Such an entry, for a
  // block that ends within the file, has nothing to find. Offsets stay
  // below 2^44 in a file that does, so only there the sum never carries
  // into the length; in a larger file each entry is judged on its own.
  const auto block_length = static_cast<std::uint32_t>(check.block_bytes);
  const std::uint64_t expected_end = check.file_size <= max_image_bytes ? check.blocks_in_file : 0;
  map_entry expected = encode_mapentry(check.data_start + block * check.block_bytes, block_length);
  for (std::size_t at = 0; at + map_entry_size <= entries_end; at += map_entry_size, ++block) {
    const std::uint64_t in_file = block < expected_end ? expected_end - block : 0;
    const std::size_t laid_out =
        count_laid_out(part.subspan(at, entries_end - at), expected, check.block_bytes,
                       std::min<std::uint64_t>(in_file, (entries_end - at) / map_entry_size));
    at += laid_out * map_entry_size;
    block += laid_out;
    expected += laid_out * check.block_bytes;
    if (at + map_entry_size > entries_end)
      break;
    const map_entry entry = get_bigendian(part.subspan(at).first<map_entry_size>());
    if (entry == expected && block < expected_end) {
      expected += check.block_bytes;
      continue;
    }
    check_odd_entry(check, static_cast<std::uint32_t>(block), entry);
    expected = encode_mapentry(check.data_start + (block + 1) * check.block_bytes, block_length);
  }
  if (to == check.map_end + map_entry_size &&
      !std::ranges::equal(part.last<map_entry_size>(), end_of_list_marker)) {
    check.as_created = false;
    add_finding(check.findings, finding_kind::marker);
  }
  check.checked_to = to;
}

void finish_check(image_check &check) {
  if (check.checked_to < check.map_end + map_entry_size) {
    check.as_created = false;
    add_finding(check.findings, finding_kind::too_short);
  }
}

std::uint64_t finding_count(const image_findings &findings) {
  return findings.listed_count + findings.unlisted_count;
}

}  // namespace blankimg
