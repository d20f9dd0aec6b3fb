#include "disk/geometry.hpp"

#include <algorithm>
#include <limits>

#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::array<std::uint32_t, 4> sector_sizes = {512, 1024, 2048, 4096};

// The PC formats, all with 512-byte sectors, and the boot sector's
// parameters DOS gives each.
constexpr std::array<floppy_format, 9> floppy_formats = {{
    {"160", "", 40, 1, 8, 0xfe, 1, 64, 1},
    {"180", "", 40, 1, 9, 0xfc, 1, 64, 2},
    {"320", "", 40, 2, 8, 0xff, 2, 112, 1},
    {"360", "", 40, 2, 9, 0xfd, 2, 112, 2},
    {"720", "", 80, 2, 9, 0xf9, 2, 112, 3},
    {"1200", "1.2", 80, 2, 15, 0xf9, 1, 224, 7},
    {"1440", "1.44", 80, 2, 18, 0xf0, 1, 224, 9},
    {"1680", "1.68", 80, 2, 21, 0xf0, 4, 16, 3},  // DMF
    {"2880", "2.88", 80, 2, 36, 0xf0, 2, 240, 9},
}};

constexpr char ascii_upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, {}, ascii_upper, ascii_upper);
}

}  // namespace

bool is_sector_size(std::uint32_t bytes) {
  return std::ranges::find(sector_sizes, bytes) != sector_sizes.end();
}

std::uint64_t cylinders_for_size(std::uint64_t bytes, std::uint32_t sector_size) {
  const std::uint64_t per_cylinder = std::uint64_t{size_heads} * size_sectors * sector_size;
  return bytes / per_cylinder + (bytes % per_cylinder != 0 ? 1 : 0);
}

const floppy_format *find_floppy(std::string_view name) {
  const std::size_t unit_at = std::min(name.find_first_not_of("0123456789."), name.size());
  // Split by hand: substr's range check brings the C++ library's throw
  // into the binary where the compiler keeps it.
  const std::string_view number(name.data(), unit_at);
  const std::string_view unit(name.data() + unit_at, name.size() - unit_at);
  const bool in_k =
      unit.empty() || equal_ignoring_case(unit, "K") || equal_ignoring_case(unit, "KB");
  const bool in_m = equal_ignoring_case(unit, "M") || equal_ignoring_case(unit, "MB");
  const auto *const known = std::ranges::find_if(floppy_formats, [&](const floppy_format &f) {
    return (in_k && number == f.kilobytes) ||
           (in_m && !f.megabytes.empty() && number == f.megabytes);
  });
  return known == floppy_formats.end() ? nullptr : known;
}

raw_geometry geometry_of_raw(std::uint64_t length, std::span<const std::uint8_t> first_sector) {
  for (const floppy_format &format : floppy_formats) {
    if (length ==
        std::uint64_t{format.cylinders} * format.heads * format.sectors * floppy_sector_size)
      return {.source = raw_geometry_source::floppy,
              .cylinders = format.cylinders,
              .heads = format.heads,
              .sectors = format.sectors,
              .floppy = &format};
  }
  const raw_geometry by_size = {.source = raw_geometry_source::size,
                                .cylinders = cylinders_for_size(length, default_sector_size),
                                .heads = size_heads,
                                .sectors = size_sectors,
                                .floppy = nullptr};
  if (first_sector.size() < 512 || first_sector[510] != 0x55 || first_sector[511] != 0xaa)
    return by_size;
  // Every partition's last sector is the last of a cylinder: its head the
  // last head, its sector the last of the track, and its LBA where those
  // put it (unless its cylinder is past what CHS can say).
  std::uint32_t heads = 0;
  std::uint32_t sectors = 0;
  for (std::size_t at = 446; at < 510; at += 16) {
    const std::span<const std::uint8_t> entry = first_sector.subspan(at, 16);
    const std::uint64_t first = get_little_endian<4>(entry, 8);
    const std::uint64_t count = get_little_endian<4>(entry, 12);
    if (entry[4] == 0 || count == 0)
      continue;
    const std::uint32_t head = entry[5];
    const std::uint32_t sector = entry[6] & 0x3fU;
    const std::uint64_t cylinder = entry[7] | (std::uint64_t{entry[6]} & 0xc0U) << 2;
    if (sector == 0 || (heads != 0 && (heads != head + 1 || sectors != sector)))
      return by_size;
    heads = head + 1;
    sectors = sector;
    const std::uint64_t last = first + count - 1;
    if (cylinder < 1023 && last != (cylinder * heads + head) * sectors + sector - 1)
      return by_size;
  }
  if (heads == 0)
    return by_size;
  const std::uint64_t per_cylinder = std::uint64_t{heads} * sectors * default_sector_size;
  return {.source = raw_geometry_source::partition_table,
          .cylinders = std::max<std::uint64_t>(1, (length + per_cylinder - 1) / per_cylinder),
          .heads = heads,
          .sectors = sectors,
          .floppy = nullptr};
}

disk_layout lay_out_disk(std::uint32_t blocksize, std::uint64_t cylinders, std::uint32_t heads,
                         std::uint32_t sectors, std::uint32_t bytes_per_sector) {
  constexpr disk_layout too_large = {
      .refusal = layout_refusal::too_large, .header = {}, .block_bytes = 0};
  // No block may outgrow the 20-bit length of a map entry.
  const std::uint64_t block_bytes = std::uint64_t{blocksize} * bytes_per_sector;
  if (block_bytes > max_entry_length)
    return {.refusal = layout_refusal::block_too_long, .header = {}, .block_bytes = 0};
  if (cylinders > std::numeric_limits<std::uint32_t>::max())
    return too_large;
  const auto block_count =
      count_blocks(static_cast<std::uint32_t>(cylinders), heads, sectors, blocksize);
  // Every data offset must fit the 44-bit field of a map entry.
  if (!block_count || image_end(*block_count, block_bytes) > max_image_bytes)
    return too_large;
  return {.refusal = layout_refusal::none,
          .header = make_header(blocksize, *block_count, static_cast<std::uint32_t>(cylinders),
                                heads, sectors, bytes_per_sector),
          .block_bytes = static_cast<std::uint32_t>(block_bytes)};
}

}  // namespace blankimg
