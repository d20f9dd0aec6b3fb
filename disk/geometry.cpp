#include "disk/geometry.hpp"

#include <algorithm>
#include <limits>

#include "disk/ascii.hpp"
#include "disk/boot_sector_fields.hpp"
#include "disk/partition.hpp"

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

const floppy_format *find_floppy_geometry(std::uint64_t cylinders, std::uint32_t heads,
                                          std::uint32_t sectors, std::uint32_t bytes_per_sector) {
  const auto *const known = std::ranges::find_if(floppy_formats, [&](const floppy_format &f) {
    return f.cylinders == cylinders && f.heads == heads && f.sectors == sectors &&
           bytes_per_sector == floppy_sector_size;
  });
  return known == floppy_formats.end() ? nullptr : known;
}

namespace {

constexpr std::uint8_t gpt_protective = 0xee;

// A geometry a BIOS could have given a hard disk: at most 255 heads, 9 to
// 63 sectors per track.
bool bios_could_give(std::uint32_t heads, std::uint32_t sectors) {
  return heads >= 1 && heads <= 255 && sectors >= 9 && sectors <= 63;
}

struct chs_witness {
  bool found;
  std::uint32_t heads;
  std::uint32_t sectors;
};
constexpr chs_witness no_witness = {.found = false, .heads = 0, .sectors = 0};

// What one partition entry says of the geometry: its last sector is the
// last of a cylinder, so its head is the last head and its sector the last
// of the track. Nothing, where the CHS fields do not agree with the
// entry's own LBA fields, as FDISK's placeholder end (1023/254/63) for a
// partition past cylinder 1023 does not.
chs_witness entry_witness(const mbr_partition &entry) {
  const std::uint64_t first = entry.first_sector;
  const std::uint64_t count = entry.sectors;
  const std::uint32_t head = entry.last_chs[0];
  const std::uint32_t sector = entry.last_chs[1] & 0x3fU;
  const std::uint64_t cylinder = entry.last_chs[2] | (std::uint64_t{entry.last_chs[1]} & 0xc0U)
                                                         << 2;
  const std::uint32_t heads = head + 1;
  if (!bios_could_give(heads, sector))
    return no_witness;
  if (first + count - 1 != (cylinder * heads + head) * sector + sector - 1)
    return no_witness;
  return {.found = true, .heads = heads, .sectors = sector};
}

// What a FAT boot sector says: the heads and sectors per track FORMAT
// wrote into it, where a BIOS could have given them.
chs_witness boot_sector_witness(std::span<const std::uint8_t> sector) {
  if (!has_boot_signature(sector) || !starts_with_jump(sector) ||
      get_field(sector, bytes_per_sector_field) < 512)
    return no_witness;
  const auto sectors = static_cast<std::uint32_t>(get_field(sector, sectors_per_track_field));
  const auto heads = static_cast<std::uint32_t>(get_field(sector, heads_field));
  if (!bios_could_give(heads, sectors))
    return no_witness;
  return {.found = true, .heads = heads, .sectors = sectors};
}

bool is_fat_boot_sector(std::span<const std::uint8_t> sector) {
  return boot_sector_witness(sector).found;
}

// The entries in use of the MBR, where sector 0 holds one and no GPT.
bool dos_partition_table(std::span<const std::uint8_t> first_sector) {
  if (!has_boot_signature(first_sector) || is_fat_boot_sector(first_sector))
    return false;
  return std::ranges::none_of(read_mbr_entries(first_sector), [](const mbr_partition &entry) {
    return entry.type == gpt_protective;
  });
}

// The size rule: 16 heads and 63 sectors where they hold the length in
// whole cylinders; otherwise any geometry a BIOS could give that does, the
// most sectors a track and heads first, as a disk rounded up to whole
// cylinders would move a GPT's backup table off its end; otherwise 16 and
// 63, rounded up.
raw_geometry by_size_rule(std::uint64_t length) {
  raw_geometry geometry = {.source = raw_geometry_source::size,
                           .cylinders = cylinders_for_size(length, default_sector_size),
                           .heads = size_heads,
                           .sectors = size_sectors,
                           .floppy = nullptr};
  const std::uint64_t total = length / default_sector_size;
  if (length % default_sector_size != 0 || total % (std::uint64_t{size_heads} * size_sectors) == 0)
    return geometry;
  for (std::uint32_t sectors = 63; sectors >= 9; --sectors) {
    for (std::uint32_t heads = 255; heads >= 1; --heads) {
      if (total % (std::uint64_t{heads} * sectors) == 0) {
        geometry.cylinders = total / (std::uint64_t{heads} * sectors);
        geometry.heads = heads;
        geometry.sectors = sectors;
        return geometry;
      }
    }
  }
  return geometry;
}

}  // namespace

std::optional<std::uint64_t> geometry_boot_sector(std::span<const std::uint8_t> first_sector) {
  if (!dos_partition_table(first_sector))
    return std::nullopt;
  for (const mbr_partition &entry : read_mbr_entries(first_sector)) {
    if (entry.type != 0 && entry.sectors != 0 && entry.first_sector != 0)
      return entry.first_sector;
  }
  return std::nullopt;
}

raw_geometry geometry_of_raw(std::uint64_t length, std::span<const std::uint8_t> first_sector,
                             std::span<const std::uint8_t> boot_sector) {
  for (const floppy_format &format : floppy_formats) {
    if (length ==
        std::uint64_t{format.cylinders} * format.heads * format.sectors * floppy_sector_size)
      return {.source = raw_geometry_source::floppy,
              .cylinders = format.cylinders,
              .heads = format.heads,
              .sectors = format.sectors,
              .floppy = &format};
  }
  // The witnesses in order: the partition entries, which must all agree;
  // then the boot sector of the first partition, or of the disk where it
  // is one volume whole; then the size rule.
  chs_witness witness = no_witness;
  raw_geometry_source source = raw_geometry_source::partition_table;
  if (dos_partition_table(first_sector)) {
    for (const mbr_partition &entry : read_mbr_entries(first_sector)) {
      if (entry.type == 0 || entry.sectors == 0)
        continue;
      const chs_witness said = entry_witness(entry);
      if (said.found && witness.found &&
          (said.heads != witness.heads || said.sectors != witness.sectors))
        return by_size_rule(length);
      witness = said.found ? said : witness;
    }
    if (!witness.found) {
      witness = boot_sector_witness(boot_sector);
      source = raw_geometry_source::boot_sector;
    }
  } else if (is_fat_boot_sector(first_sector)) {
    witness = boot_sector_witness(first_sector);
    source = raw_geometry_source::boot_sector;
  }
  if (!witness.found)
    return by_size_rule(length);
  const std::uint64_t per_cylinder =
      std::uint64_t{witness.heads} * witness.sectors * default_sector_size;
  return {.source = source,
          .cylinders = std::max<std::uint64_t>(1, (length + per_cylinder - 1) / per_cylinder),
          .heads = witness.heads,
          .sectors = witness.sectors,
          .floppy = nullptr};
}

}  // namespace blankimg
