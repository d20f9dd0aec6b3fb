#include "disk/fat_directory.hpp"

#include <algorithm>
#include <optional>

#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::uint8_t case_flags_at = 12;
// The tails tried for a short name: ~1 to ~9999, as far as 8 characters go.
constexpr std::uint32_t most_tails = 9999;

bool in_root_region(const fat_access &volume, const directory_cursor &cursor) {
  return cursor.first_cluster == 0 && volume.layout.type != fat_type::fat32;
}

std::uint32_t entries_per_cluster(const fat_layout &layout) {
  return layout.cluster_bytes / directory_entry_bytes;
}

// Where the cursor's entry stands; none past the root region's end or the
// cursor's cluster's.
std::optional<entry_place> place_at(const fat_access &volume, const directory_cursor &cursor) {
  const fat_layout &layout = volume.layout;
  const std::uint32_t per_sector = layout.bytes_per_sector / directory_entry_bytes;
  const std::uint32_t at = cursor.index % per_sector * directory_entry_bytes;
  if (in_root_region(volume, cursor)) {
    if (cursor.index >= layout.root_entries)
      return std::nullopt;
    return entry_place{.lba = layout.first_sector + layout.root_start + cursor.index / per_sector,
                       .at = at};
  }
  if (cursor.index >= entries_per_cluster(layout))
    return std::nullopt;
  return entry_place{.lba = cluster_lba(layout, cursor.cluster) + cursor.index / per_sector,
                     .at = at};
}

enum class move : std::uint8_t { on, end, damaged };

// Onto the directory's next cluster where the cursor has read all of its
// own; end where there is none.
move into_next_cluster(fat_access &volume, directory_cursor &cursor) {
  if (in_root_region(volume, cursor))
    return cursor.index < volume.layout.root_entries ? move::on : move::end;
  if (!is_data_cluster(volume.layout, cursor.cluster))
    return move::damaged;
  if (cursor.index < entries_per_cluster(volume.layout))
    return move::on;
  const std::uint32_t next = fat_entry(volume, cursor.cluster);
  if (volume.failed)
    return move::damaged;
  if (next == end_of_chain)
    return move::end;
  if (!is_data_cluster(volume.layout, next) || ++cursor.clusters_walked > volume.layout.clusters)
    return move::damaged;
  cursor.cluster = next;
  cursor.index = 0;
  return move::on;
}

// The entry at the cursor, read; none where the directory ends there or
// cannot be read, step says which.
std::optional<entry_place> entry_at(fat_access &volume, directory_cursor &cursor,
                                    directory_entry &entry, directory_step &step) {
  switch (into_next_cluster(volume, cursor)) {
  case move::on:
    break;
  case move::end:
    step = directory_step::end;
    return std::nullopt;
  case move::damaged:
    step = volume.failed ? directory_step::failed : directory_step::damaged;
    return std::nullopt;
  }
  const std::optional<entry_place> place = place_at(volume, cursor);
  const std::uint8_t *sector = place ? read_cached(volume, place->lba) : nullptr;
  if (sector == nullptr) {
    step = directory_step::failed;
    return std::nullopt;
  }
  std::copy_n(sector + place->at, entry.size(), entry.begin());
  return place;
}

// A long name being gathered from its entries, the last part first.
struct long_name_parts {
  std::array<char16_t, most_long_entries * units_per_long_entry> units;
  std::uint32_t parts;     // the count its first entry gave
  std::uint32_t expected;  // the part number the next entry should have
  std::uint8_t checksum;
  directory_cursor first;
  bool gathering;
};

void take_long_entry(long_name_parts &name, const directory_entry &entry,
                     const directory_cursor &at) {
  const std::uint32_t part = entry[0] & 0x1fU;
  if ((entry[0] & 0x40) != 0) {
    name.gathering = part >= 1 && part <= most_long_entries;
    name.parts = part;
    name.expected = part;
    name.checksum = entry[13];
    name.first = at;
    name.units.fill(0xffff);
  }
  if (!name.gathering || part != name.expected || entry[13] != name.checksum) {
    name.gathering = false;
    return;
  }
  long_entry_units(entry, std::span(name.units)
                              .subspan((part - 1) * units_per_long_entry)
                              .first<units_per_long_entry>());
  --name.expected;
}

void fill_item(const fat_access &volume, const directory_entry &entry, directory_item &item) {
  std::copy_n(entry.begin(), item.stored_name.size(), item.stored_name.begin());
  item.short_length = short_name_text(item.stored_name, entry[case_flags_at], item.short_text);
  item.attributes = entry[11];
  const std::uint64_t high =
      volume.layout.type == fat_type::fat32 ? get_little_endian<2>(entry, 20) : 0;
  item.first_cluster = static_cast<std::uint32_t>(high << 16 | get_little_endian<2>(entry, 26));
  item.size = static_cast<std::uint32_t>(get_little_endian<4>(entry, 28));
  item.time = static_cast<std::uint16_t>(get_little_endian<2>(entry, 22));
  item.date = static_cast<std::uint16_t>(get_little_endian<2>(entry, 24));
}

void name_item(const long_name_parts &name, directory_item &item) {
  item.long_name =
      name.gathering && name.expected == 0 && name.checksum == long_name_checksum(item.stored_name);
  if (!item.long_name) {
    std::copy_n(item.short_text.begin(), item.short_length, item.name.begin());
    item.name_length = item.short_length;
    return;
  }
  const auto units = std::span(name.units).first(name.parts * units_per_long_entry);
  const auto end = std::ranges::find_if(units, [](char16_t u) { return u == 0 || u == 0xffff; });
  item.name_length = utf8_of(units.first(static_cast<std::size_t>(end - units.begin())), item.name);
}

void advance(directory_cursor &cursor) {
  ++cursor.index;
}

std::uint16_t cluster_high(const fat_access &volume, std::uint32_t cluster) {
  return volume.layout.type == fat_type::fat32 ? static_cast<std::uint16_t>(cluster >> 16) : 0;
}

directory_entry short_entry(const fat_access &volume, const short_name &name,
                            const new_item &item) {
  directory_entry entry{};
  std::ranges::copy(name, entry.begin());
  entry[11] = item.attributes;
  put_little_endian<2>(entry, 14, item.time);  // created
  put_little_endian<2>(entry, 16, item.date);
  put_little_endian<2>(entry, 18, item.date);  // last read
  put_little_endian<2>(entry, 20, cluster_high(volume, item.first_cluster));
  put_little_endian<2>(entry, 22, item.time);  // written
  put_little_endian<2>(entry, 24, item.date);
  put_little_endian<2>(entry, 26, item.first_cluster & 0xffff);
  put_little_endian<4>(entry, 28, item.size);
  return entry;
}

// The short name for a name in the directory: the basis as it is where it
// says the name and no entry has it, else with the lowest free tail.
std::optional<short_name> choose_short_name(fat_access &volume, std::uint32_t directory,
                                            const basis_name &basis) {
  std::array<std::uint64_t, (most_tails + 64) / 64> taken{};
  bool basis_taken = false;
  directory_cursor cursor = start_of_directory(volume.layout, directory);
  directory_item item{};
  directory_step step = directory_step::item;
  while ((step = next_item(volume, cursor, item)) == directory_step::item) {
    basis_taken = basis_taken || item.stored_name == basis.name;
    const std::uint32_t tail = tail_of(item.stored_name, basis.name);
    if (tail > 0 && tail <= most_tails)
      taken[tail / 64] |= std::uint64_t{1} << (tail % 64);
  }
  if (step != directory_step::end)
    return std::nullopt;
  if (!basis.lossy && !basis_taken)
    return basis.name;
  for (std::uint32_t tail = 1; tail <= most_tails; ++tail) {
    if ((taken[tail / 64] & (std::uint64_t{1} << (tail % 64))) == 0)
      return with_tail(basis.name, tail);
  }
  return std::nullopt;
}

// The entries free at the end, in the cluster it is in or the root region.
std::uint32_t entries_left(const fat_access &volume, const directory_end &end) {
  const std::uint32_t room = in_root_region(volume, end.cursor)
                                 ? volume.layout.root_entries
                                 : entries_per_cluster(volume.layout);
  return end.cursor.index < room ? room - end.cursor.index : 0;
}

// Clears a cluster about to be taken into a directory: in the cache, and
// first on the disk where free clusters may hold old bytes, so that no
// chain that reaches it meets them.
bool clear_cluster(fat_access &volume, std::uint32_t cluster, bool fresh_volume) {
  const fat_layout &layout = volume.layout;
  for (std::uint32_t i = 0; i < layout.sectors_per_cluster; ++i) {
    const std::uint64_t lba = cluster_lba(layout, cluster) + i;
    std::uint8_t *sector = write_cached(volume, lba, true);
    if (sector == nullptr ||
        (!fresh_volume &&
         !write_sectors(*volume.disk, lba, std::span(sector, layout.bytes_per_sector))))
      return false;
  }
  return true;
}

// Writes one entry at the end, growing the directory by a cluster where
// its last is full.
bool put_entry(fat_access &volume, directory_end &end, const directory_entry &entry) {
  if (entries_left(volume, end) == 0) {
    const std::uint32_t added = allocate_chain(volume, 1);
    if (added == 0 || !clear_cluster(volume, added, end.fresh_volume))
      return false;
    set_fat_entry(volume, end.last_cluster, added);
    end.cursor.cluster = added;
    end.cursor.index = 0;
    end.last_cluster = added;
  }
  const std::optional<entry_place> place = place_at(volume, end.cursor);
  std::uint8_t *sector = place ? write_cached(volume, place->lba) : nullptr;
  if (sector == nullptr)
    return false;
  std::ranges::copy(entry, sector + place->at);
  advance(end.cursor);
  return true;
}

// What follows the new entries in the directory's clusters ends it,
// whatever was there.
bool end_directory(fat_access &volume, const directory_end &end) {
  const std::optional<entry_place> next = place_at(volume, end.cursor);
  if (!next)
    return true;
  const std::uint8_t *sector = read_cached(volume, next->lba);
  if (sector == nullptr)
    return false;
  if (sector[next->at] == 0)
    return true;
  std::uint8_t *changed = write_cached(volume, next->lba);
  if (changed != nullptr)
    changed[next->at] = 0;
  return changed != nullptr;
}

}  // namespace

directory_cursor start_of_directory(const fat_layout &layout, std::uint32_t first_cluster) {
  const std::uint32_t first =
      first_cluster == 0 && layout.type == fat_type::fat32 ? layout.root_cluster : first_cluster;
  return {.first_cluster = first, .cluster = first, .index = 0, .clusters_walked = 0};
}

directory_step next_item(fat_access &volume, directory_cursor &cursor, directory_item &item) {
  long_name_parts name{};
  directory_entry entry{};
  directory_step step = directory_step::item;
  for (;;) {
    const directory_cursor at = cursor;
    const std::optional<entry_place> place = entry_at(volume, cursor, entry, step);
    if (!place)
      return step;
    if (entry[0] == 0)
      return directory_step::end;  // the cursor stays on it: new entries go here
    advance(cursor);
    if (entry[0] == deleted_mark) {
      name.gathering = false;
      continue;
    }
    if ((entry[11] & 0x3f) == long_name_attribute) {
      take_long_entry(name, entry, at);
      continue;
    }
    const bool label = (entry[11] & (label_attribute | directory_attribute)) == label_attribute;
    if (label || entry[0] == '.') {
      name.gathering = false;
      continue;
    }
    fill_item(volume, entry, item);
    name_item(name, item);
    item.first_entry = item.long_name ? name.first : at;
    item.short_entry = *place;
    item.entry_count = item.long_name ? name.parts + 1 : 1;
    return directory_step::item;
  }
}

directory_step find_item(fat_access &volume, std::uint32_t directory, std::string_view name,
                         directory_item &found) {
  directory_cursor cursor = start_of_directory(volume.layout, directory);
  directory_step step = directory_step::item;
  while ((step = next_item(volume, cursor, found)) == directory_step::item) {
    if (same_fat_name(name_of(found), name) ||
        same_fat_name({found.short_text.data(), found.short_length}, name))
      return step;
  }
  return step;
}

bool find_directory_end(fat_access &volume, std::uint32_t directory, bool fresh_volume,
                        directory_end &end) {
  end = {.cursor = start_of_directory(volume.layout, directory),
         .last_cluster = 0,
         .fresh_volume = fresh_volume};
  directory_item item{};
  directory_step step = directory_step::item;
  while ((step = next_item(volume, end.cursor, item)) == directory_step::item) {
  }
  end.last_cluster = end.cursor.cluster;
  return step == directory_step::end;
}

std::uint32_t entries_for(std::string_view name) {
  const basis_name basis = basis_of(name);
  std::array<char16_t, most_name_units> units{};
  const std::size_t count = utf16_of(name, units);
  return basis.plain ? 1
                     : 1 + static_cast<std::uint32_t>((count + units_per_long_entry - 1) /
                                                      units_per_long_entry);
}

add_result add_item(fat_access &volume, directory_end &end, const new_item &item) {
  std::array<char16_t, most_name_units> units{};
  const std::size_t unit_count = utf16_of(item.name, units);
  if (!is_fat_name(item.name) || unit_count == 0)
    return add_result::invalid_name;
  const basis_name basis = basis_of(item.name);
  const std::optional<short_name> name = choose_short_name(volume, end.cursor.first_cluster, basis);
  if (volume.failed)
    return add_result::failed;
  if (!name)
    return add_result::no_short_name;
  std::array<directory_entry, most_long_entries> long_entries{};
  const std::size_t long_count = basis.plain && *name == basis.name
                                     ? 0
                                     : long_name_entries(std::span(units).first(unit_count),
                                                         long_name_checksum(*name), long_entries);
  // Room for all of them, or none is written.
  const std::uint32_t needed = static_cast<std::uint32_t>(long_count) + 1;
  const std::uint32_t left = entries_left(volume, end);
  if (needed > left) {
    if (in_root_region(volume, end.cursor))
      return add_result::root_full;
    const std::uint32_t per_cluster = entries_per_cluster(volume.layout);
    if ((needed - left + per_cluster - 1) / per_cluster > volume.free_count)
      return add_result::no_room;
  }
  for (std::size_t i = 0; i < long_count; ++i) {
    if (!put_entry(volume, end, long_entries[i]))
      return volume.failed ? add_result::failed : add_result::no_room;
  }
  if (!put_entry(volume, end, short_entry(volume, *name, item)))
    return volume.failed ? add_result::failed : add_result::no_room;
  return end_directory(volume, end) ? add_result::added : add_result::failed;
}

std::uint32_t make_directory_cluster(fat_access &volume, std::uint32_t parent, std::uint16_t date,
                                     std::uint16_t time, bool fresh_volume) {
  const std::uint32_t cluster = allocate_chain(volume, 1);
  if (cluster == 0 || !clear_cluster(volume, cluster, fresh_volume))
    return 0;
  std::uint8_t *sector = write_cached(volume, cluster_lba(volume.layout, cluster));
  if (sector == nullptr)
    return 0;
  short_name dot{};
  dot.fill(' ');
  dot[0] = '.';
  const new_item self{.name = ".",
                      .attributes = directory_attribute,
                      .first_cluster = cluster,
                      .size = 0,
                      .date = date,
                      .time = time};
  std::ranges::copy(short_entry(volume, dot, self), sector);
  dot[1] = '.';
  new_item up = self;
  up.first_cluster = parent == volume.layout.root_cluster ? 0 : parent;
  std::ranges::copy(short_entry(volume, dot, up), sector + directory_entry_bytes);
  return cluster;
}

bool delete_item(fat_access &volume, const directory_item &item) {
  directory_cursor cursor = item.first_entry;
  directory_entry entry{};
  directory_step step = directory_step::item;
  for (std::uint32_t i = 0; i < item.entry_count; ++i) {
    const std::optional<entry_place> place = entry_at(volume, cursor, entry, step);
    std::uint8_t *sector = place ? write_cached(volume, place->lba) : nullptr;
    if (sector == nullptr)
      return false;
    sector[place->at] = deleted_mark;
    advance(cursor);
  }
  return true;
}

}  // namespace blankimg
