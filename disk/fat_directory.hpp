// A FAT volume's directories: read an item at a time, long names
// assembled, and added to: a file or a directory as its entries, long
// name, short name and all. Pure: sectors only through the volume's cache.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "disk/fat_names.hpp"
#include "disk/fat_volume.hpp"

namespace blankimg {

// Where one directory entry stands on the disk.
struct entry_place {
  std::uint64_t lba;
  std::uint32_t at;  // bytes into the sector
};

// A position in a directory: the root of FAT12 and FAT16 is a region of
// its own (first_cluster 0), any other directory a chain of clusters.
struct directory_cursor {
  std::uint32_t first_cluster;
  std::uint32_t cluster;  // the one being read
  std::uint32_t index;    // of the next entry in it, or in the root's region
  std::uint32_t clusters_walked;
};

// A cursor at the start of the directory whose first cluster is given; 0
// (as ".." says it) is the root, on FAT32 too.
[[nodiscard]] directory_cursor start_of_directory(const fat_layout &layout,
                                                  std::uint32_t first_cluster);

struct directory_item {
  std::array<char, most_name_bytes> name;  // the long name where one is stored, in UTF-8
  std::size_t name_length;
  std::array<char, most_name_bytes> short_text;  // "NAME.EXT"
  std::size_t short_length;
  short_name stored_name;  // the short name's 11 bytes
  bool long_name;          // the name is a long one, stored in entries before the short
  std::uint8_t attributes;
  std::uint32_t first_cluster;
  std::uint32_t size;
  std::uint16_t date;
  std::uint16_t time;
  directory_cursor first_entry;  // at the first of its entries
  entry_place short_entry;
  std::uint32_t entry_count;
};

[[nodiscard]] constexpr std::string_view name_of(const directory_item &item) {
  return {item.name.data(), item.name_length};
}

enum class directory_step : std::uint8_t {
  item,     // the next item, neither ".", ".." nor the volume's label
  end,      // no more
  damaged,  // the directory's chain leaves the volume, loops or is cut
  failed,   // a sector could not be read
};

[[nodiscard]] directory_step next_item(fat_access &volume, directory_cursor &cursor,
                                       directory_item &item);

// The item of that name in the directory, as FAT matches names: its long
// name or its short name, ignoring the case of ASCII letters.
[[nodiscard]] directory_step find_item(fat_access &volume, std::uint32_t directory,
                                       std::string_view name, directory_item &found);

// Where a directory takes new entries: after its last, at the first entry
// that ends it, in its last cluster or one added.
struct directory_end {
  directory_cursor cursor;  // at the first free entry after the last used
  std::uint32_t last_cluster;
  bool fresh_volume;  // free clusters read as zeros: new ones need no clearing
};

// The end of the directory: false where it is damaged or cannot be read.
[[nodiscard]] bool find_directory_end(fat_access &volume, std::uint32_t directory,
                                      bool fresh_volume, directory_end &end);

// What a new item is.
struct new_item {
  std::string_view name;
  std::uint8_t attributes;
  std::uint32_t first_cluster;  // 0 for an empty file
  std::uint32_t size;
  std::uint16_t date;
  std::uint16_t time;
};

enum class add_result : std::uint8_t {
  added,
  no_room,        // no cluster for the directory to grow into
  root_full,      // the root region of FAT12 or FAT16 has no entries left
  no_short_name,  // every tail of its basis is taken
  invalid_name,   // no name FAT can hold
  failed,         // a sector could not be read or written
};

// Adds the item's entries at the directory's end: a long name where its
// name is not a plain upper-case 8.3 name, and a short name Windows would
// make, unique in the directory.
[[nodiscard]] add_result add_item(fat_access &volume, directory_end &end, const new_item &item);

// The entries an item of this name takes: its short entry and its long
// name's.
[[nodiscard]] std::uint32_t entries_for(std::string_view name);

// A new directory's first cluster, cleared, with "." and ".." in it; the
// parent is the cluster ".." names (0 for the root). Returns the cluster,
// or 0 where there is no room or a write failed.
[[nodiscard]] std::uint32_t make_directory_cluster(fat_access &volume, std::uint32_t parent,
                                                   std::uint16_t date, std::uint16_t time,
                                                   bool fresh_volume);

// Marks an item's entries deleted.
[[nodiscard]] bool delete_item(fat_access &volume, const directory_item &item);

}  // namespace blankimg
