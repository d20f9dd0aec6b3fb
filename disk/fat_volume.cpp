#include "disk/fat_volume.hpp"

#include <algorithm>
#include <array>

#include "disk/boot_sector_fields.hpp"
#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::uint32_t most_fat12_clusters = 4084;
constexpr std::uint32_t most_fat16_clusters = 65524;
constexpr std::uint32_t most_fat32_clusters = 0x0ffffff4;

// FSInfo's fields, behind its signatures.
constexpr std::size_t fsinfo_free_count = 488;
constexpr std::size_t fsinfo_next_free = 492;
constexpr std::uint32_t fsinfo_lead = 0x41615252;
constexpr std::uint32_t fsinfo_struct = 0x61417272;

constexpr bool is_power_of_two(std::uint64_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

std::uint32_t fat_bits(fat_type type) {
  return type == fat_type::fat12 ? 12 : (type == fat_type::fat16 ? 16 : 32);
}

// Where cluster's entry stands in the first FAT: the disk's sector and the
// byte in it; a FAT12 entry may run into the next sector.
struct fat_entry_place {
  std::uint64_t lba;
  std::uint32_t at;
};
fat_entry_place place_of(const fat_layout &layout, std::uint32_t cluster) {
  const std::uint64_t byte = std::uint64_t{cluster} * fat_bits(layout.type) / 8;
  return {.lba = layout.first_sector + layout.fat_start + byte / layout.bytes_per_sector,
          .at = static_cast<std::uint32_t>(byte % layout.bytes_per_sector)};
}

bool in_first_fat(const fat_layout &layout, std::uint64_t lba) {
  const std::uint64_t start = layout.first_sector + layout.fat_start;
  return lba >= start && lba < start + layout.fat_sectors;
}

// Writes a slot's sector, into every FAT copy where it is a FAT sector.
bool write_slot(fat_access &volume, std::size_t slot) {
  const fat_layout &layout = volume.layout;
  const std::uint32_t bytes = layout.bytes_per_sector;
  const auto sector = volume.memory.subspan(slot * bytes, bytes);
  const std::uint64_t lba = volume.slots[slot].lba;
  const std::uint32_t copies = in_first_fat(layout, lba) ? layout.fat_count : 1;
  for (std::uint32_t copy = 0; copy < copies; ++copy) {
    if (!write_sectors(*volume.disk, lba + std::uint64_t{copy} * layout.fat_sectors, sector)) {
      volume.failed = true;
      return false;
    }
  }
  volume.slots[slot].dirty = false;
  return true;
}

// Writes the dirty slots of the FAT, or of everything else.
bool write_dirty(fat_access &volume, bool fat) {
  for (std::size_t slot = 0; slot < volume.slots.size(); ++slot) {
    const cache_slot &entry = volume.slots[slot];
    if (entry.used && entry.dirty && in_first_fat(volume.layout, entry.lba) == fat &&
        !write_slot(volume, slot))
      return false;
  }
  return true;
}

// The slot that holds lba, filled: read, or zeros where fresh. A dirty
// sector in the way is written first, and where it is no FAT sector, the
// FAT's before it, so that no entry reaches the disk before its chain.
std::uint8_t *slot_for(fat_access &volume, std::uint64_t lba, bool fresh) {
  if (volume.failed || volume.slots.empty())
    return nullptr;
  const std::uint32_t bytes = volume.layout.bytes_per_sector;
  const std::size_t slot = static_cast<std::size_t>(lba % volume.slots.size());
  cache_slot &entry = volume.slots[slot];
  const auto sector = volume.memory.subspan(slot * bytes, bytes);
  if (entry.used && entry.lba == lba)
    return sector.data();
  if (entry.used && entry.dirty) {
    if (!in_first_fat(volume.layout, entry.lba) && !write_dirty(volume, true))
      return nullptr;
    if (!write_slot(volume, slot))
      return nullptr;
  }
  entry = {.lba = lba, .used = false, .dirty = false};
  if (fresh) {
    std::ranges::fill(sector, std::uint8_t{0});
  } else if (!read_sectors(*volume.disk, lba, sector)) {
    volume.failed = true;
    return nullptr;
  }
  entry.used = true;
  return sector.data();
}

// The entry's bytes, little-endian, across a sector boundary where a FAT12
// entry runs over one.
std::uint32_t read_entry_bytes(fat_access &volume, fat_entry_place place, std::uint32_t count) {
  // Within one sector, as every entry but some of FAT12's: one look.
  if (place.at + count <= volume.layout.bytes_per_sector) {
    const std::uint8_t *sector = read_cached(volume, place.lba);
    if (sector == nullptr)
      return 0;
    const std::span<const std::uint8_t> bytes(sector + place.at, count);
    return static_cast<std::uint32_t>(count == 4 ? get_little_endian<4>(bytes, 0)
                                                 : get_little_endian<2>(bytes, 0));
  }
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = place.at + i;
    const std::uint8_t *sector =
        read_cached(volume, place.lba + at / volume.layout.bytes_per_sector);
    if (sector == nullptr)
      return 0;
    value |= std::uint32_t{sector[at % volume.layout.bytes_per_sector]} << (8 * i);
  }
  return value;
}

void write_entry_bytes(fat_access &volume, fat_entry_place place, std::uint32_t count,
                       std::uint32_t value, std::uint32_t mask) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = place.at + i;
    std::uint8_t *sector = write_cached(volume, place.lba + at / volume.layout.bytes_per_sector);
    if (sector == nullptr)
      return;
    std::uint8_t &byte = sector[at % volume.layout.bytes_per_sector];
    const auto keep = static_cast<std::uint8_t>(~(mask >> (8 * i)));
    byte = static_cast<std::uint8_t>((byte & keep) | ((value >> (8 * i)) & ~keep & 0xff));
  }
}

std::uint32_t count_free(fat_access &volume) {
  std::uint32_t count = 0;
  for (std::uint32_t cluster = 2; cluster - 2 < volume.layout.clusters && !volume.failed; ++cluster)
    count += fat_entry(volume, cluster) == free_cluster ? 1 : 0;
  return count;
}

// The first run of count free clusters in [from, end), or 0.
std::uint32_t find_free_run(fat_access &volume, std::uint32_t from, std::uint32_t end,
                            std::uint32_t count) {
  std::uint32_t run = 0;
  for (std::uint32_t cluster = from; cluster < end && !volume.failed; ++cluster) {
    run = fat_entry(volume, cluster) == free_cluster ? run + 1 : 0;
    if (run == count)
      return cluster + 1 - count;
  }
  return 0;
}

}  // namespace

std::optional<fat_layout> read_fat_layout(std::span<const std::uint8_t> boot,
                                          std::uint32_t bytes_per_sector,
                                          std::uint64_t first_sector, std::uint64_t most_sectors) {
  if (boot.size() < 512 || boot[510] != 0x55 || boot[511] != 0xaa || !starts_with_jump(boot))
    return std::nullopt;
  const boot_counts counts = count_boot_sector(boot);
  const std::uint64_t bytes = counts.bytes_per_sector;
  const std::uint64_t per_cluster = counts.sectors_per_cluster;
  const std::uint64_t total = counts.sectors;
  const std::uint64_t fat_sectors = counts.fat_sectors;
  const std::uint64_t data_start = counts.data_start;
  if (bytes != bytes_per_sector || !is_power_of_two(per_cluster) || per_cluster > 128 ||
      counts.reserved_sectors == 0 || counts.fat_count == 0 || fat_sectors == 0 ||
      total > most_sectors || per_cluster * bytes > 65536 || data_start >= total)
    return std::nullopt;
  const std::uint64_t clusters = (total - data_start) / per_cluster;
  const fat_type type = clusters <= most_fat12_clusters   ? fat_type::fat12
                        : clusters <= most_fat16_clusters ? fat_type::fat16
                                                          : fat_type::fat32;
  const bool fat32 = type == fat_type::fat32;
  fat_layout layout{.type = type,
                    .first_sector = first_sector,
                    .sectors = static_cast<std::uint32_t>(total),
                    .bytes_per_sector = static_cast<std::uint32_t>(bytes),
                    .sectors_per_cluster = static_cast<std::uint32_t>(per_cluster),
                    .cluster_bytes = static_cast<std::uint32_t>(per_cluster * bytes),
                    .fat_start = static_cast<std::uint32_t>(counts.reserved_sectors),
                    .fat_sectors = static_cast<std::uint32_t>(fat_sectors),
                    .fat_count = static_cast<std::uint32_t>(counts.fat_count),
                    .root_start = static_cast<std::uint32_t>(data_start - counts.root_sectors),
                    .root_entries = static_cast<std::uint32_t>(counts.root_entries),
                    .data_start = static_cast<std::uint32_t>(data_start),
                    .clusters = static_cast<std::uint32_t>(clusters),
                    .root_cluster = 0,
                    .fsinfo_sector = 0};
  // The FAT holds an entry for every cluster, and the two before them.
  const std::uint64_t fat_bytes = ((clusters + 2) * fat_bits(type) + 7) / 8;
  if (fat_bytes > fat_sectors * bytes || clusters == 0 || clusters > most_fat32_clusters ||
      fat32 != (counts.root_entries == 0) || (fat32 && counts.fat16_sectors != 0))
    return std::nullopt;
  if (fat32) {
    layout.root_cluster = static_cast<std::uint32_t>(get_field(boot, root_cluster_field));
    const std::uint64_t fsinfo = get_field(boot, fsinfo_sector_field);
    layout.fsinfo_sector =
        fsinfo > 0 && fsinfo < counts.reserved_sectors ? static_cast<std::uint32_t>(fsinfo) : 0;
    if (!is_data_cluster(layout, layout.root_cluster))
      return std::nullopt;
  }
  return layout;
}

bool open_fat_volume(const sector_io &disk, std::uint64_t first_sector, std::uint64_t most_sectors,
                     std::span<std::uint8_t> memory, std::span<cache_slot> slots,
                     fat_access &volume) {
  const std::uint32_t bytes = disk.bytes_per_sector;
  if (bytes < 512 || memory.size() < 2 * std::size_t{bytes})
    return false;
  const std::span<std::uint8_t> boot = memory.first(bytes);
  if (!read_sectors(disk, first_sector, boot))
    return false;
  const std::optional<fat_layout> layout = read_fat_layout(boot, bytes, first_sector, most_sectors);
  if (!layout)
    return false;
  const std::size_t count = std::min(slots.size(), memory.size() / bytes);
  volume = {.disk = &disk,
            .layout = *layout,
            .memory = memory.first(count * bytes),
            .slots = slots.first(count),
            .failed = false,
            .next_free = 2,
            .free_count = 0};
  std::ranges::fill(volume.slots, cache_slot{.lba = 0, .used = false, .dirty = false});
  volume.free_count = count_free(volume);
  return !volume.failed;
}

std::uint8_t *read_cached(fat_access &volume, std::uint64_t lba) {
  return slot_for(volume, lba, false);
}

std::uint8_t *write_cached(fat_access &volume, std::uint64_t lba, bool fresh) {
  std::uint8_t *sector = slot_for(volume, lba, fresh);
  if (sector != nullptr)
    volume.slots[static_cast<std::size_t>(lba % volume.slots.size())].dirty = true;
  return sector;
}

bool flush_volume(fat_access &volume) {
  const fat_layout &layout = volume.layout;
  if (volume.failed || !write_dirty(volume, true) || !write_dirty(volume, false))
    return false;
  if (layout.fsinfo_sector == 0)
    return true;
  // FSInfo's counts, where it is one; a sector that is not is left alone.
  std::uint8_t *fsinfo = read_cached(volume, layout.first_sector + layout.fsinfo_sector);
  if (fsinfo == nullptr)
    return false;
  const std::span<std::uint8_t> sector(fsinfo, layout.bytes_per_sector);
  if (get_little_endian<4>(sector, 0) != fsinfo_lead ||
      get_little_endian<4>(sector, 484) != fsinfo_struct)
    return true;
  if (get_little_endian<4>(sector, fsinfo_free_count) == volume.free_count &&
      get_little_endian<4>(sector, fsinfo_next_free) == volume.next_free)
    return true;
  put_little_endian<4>(sector, fsinfo_free_count, volume.free_count);
  put_little_endian<4>(sector, fsinfo_next_free, volume.next_free);
  return write_cached(volume, layout.first_sector + layout.fsinfo_sector) != nullptr &&
         write_dirty(volume, false);
}

std::uint32_t fat_entry(fat_access &volume, std::uint32_t cluster) {
  const fat_layout &layout = volume.layout;
  if (!is_data_cluster(layout, cluster))
    return end_of_chain;
  const fat_entry_place place = place_of(layout, cluster);
  switch (layout.type) {
  case fat_type::fat12: {
    const std::uint32_t pair = read_entry_bytes(volume, place, 2);
    const std::uint32_t value = (cluster & 1) != 0 ? pair >> 4 : pair & 0xfff;
    return value >= 0xff8 ? end_of_chain : (value == 0xff7 ? bad_cluster : value);
  }
  case fat_type::fat16: {
    const std::uint32_t value = read_entry_bytes(volume, place, 2);
    return value >= 0xfff8 ? end_of_chain : (value == 0xfff7 ? bad_cluster : value);
  }
  case fat_type::fat32: {
    const std::uint32_t value = read_entry_bytes(volume, place, 4) & 0x0fffffff;
    return value >= 0x0ffffff8 ? end_of_chain : value;
  }
  }
  return end_of_chain;
}

void set_fat_entry(fat_access &volume, std::uint32_t cluster, std::uint32_t value) {
  const fat_layout &layout = volume.layout;
  if (!is_data_cluster(layout, cluster))
    return;
  const bool was_free = fat_entry(volume, cluster) == free_cluster;
  const fat_entry_place place = place_of(layout, cluster);
  switch (layout.type) {
  case fat_type::fat12: {
    const std::uint32_t stored = value & 0xfff;
    if ((cluster & 1) != 0)
      write_entry_bytes(volume, place, 2, stored << 4, 0xfff0);
    else
      write_entry_bytes(volume, place, 2, stored, 0x0fff);
    break;
  }
  case fat_type::fat16:
    write_entry_bytes(volume, place, 2, value & 0xffff, 0xffff);
    break;
  case fat_type::fat32:
    // The top four bits are reserved, and kept.
    write_entry_bytes(volume, place, 4, value & 0x0fffffff, 0x0fffffff);
    break;
  }
  const bool now_free = value == free_cluster;
  if (was_free && !now_free)
    --volume.free_count;
  else if (!was_free && now_free)
    ++volume.free_count;
}

std::uint32_t allocate_chain(fat_access &volume, std::uint32_t count) {
  const fat_layout &layout = volume.layout;
  const std::uint32_t end = layout.clusters + 2;
  if (count == 0 || count > volume.free_count)
    return 0;
  const std::uint32_t from = is_data_cluster(layout, volume.next_free) ? volume.next_free : 2;
  std::uint32_t first = find_free_run(volume, from, end, count);
  if (first == 0)
    first = find_free_run(volume, 2, end, count);
  if (first != 0) {
    for (std::uint32_t i = 0; i + 1 < count; ++i)
      set_fat_entry(volume, first + i, first + i + 1);
    set_fat_entry(volume, first + count - 1, end_of_chain);
    volume.next_free = first + count < end ? first + count : 2;
    return volume.failed ? 0 : first;
  }
  // No run that long: the free clusters in order, linked as they come.
  std::uint32_t previous = 0;
  for (std::uint32_t candidate = 2, left = count; candidate < end && left > 0 && !volume.failed;
       ++candidate) {
    if (fat_entry(volume, candidate) != free_cluster)
      continue;
    set_fat_entry(volume, candidate, end_of_chain);
    if (previous != 0)
      set_fat_entry(volume, previous, candidate);
    else
      first = candidate;
    previous = candidate;
    --left;
    volume.next_free = candidate + 1 < end ? candidate + 1 : 2;
  }
  return volume.failed ? 0 : first;
}

void free_chain(fat_access &volume, std::uint32_t first) {
  std::uint32_t cluster = first;
  for (std::uint32_t walked = 0;
       is_data_cluster(volume.layout, cluster) && walked < volume.layout.clusters && !volume.failed;
       ++walked) {
    const std::uint32_t next = fat_entry(volume, cluster);
    if (next == free_cluster)
      break;
    set_fat_entry(volume, cluster, free_cluster);
    cluster = next;
  }
}

}  // namespace blankimg
