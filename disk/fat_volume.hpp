// A FAT volume that is there: opened from its boot sector, its FAT and
// directory sectors read and written through a write-back cache of
// sectors, its clusters found and allocated. Pure: sectors only through
// sector_io, memory only as the caller gives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "disk/fat_type.hpp"
#include "disk/sector_io.hpp"

namespace blankimg {

// Where a volume's parts stand, as its boot sector says, in sectors from
// the volume's first.
struct fat_layout {
  fat_type type;
  std::uint64_t first_sector;  // the volume's, on the disk
  std::uint32_t sectors;       // the volume's
  std::uint32_t bytes_per_sector;
  std::uint32_t sectors_per_cluster;
  std::uint32_t cluster_bytes;
  std::uint32_t fat_start;
  std::uint32_t fat_sectors;  // of one FAT
  std::uint32_t fat_count;
  std::uint32_t root_start;     // FAT12 and FAT16: the root directory's region
  std::uint32_t root_entries;   // of it; 0 on FAT32
  std::uint32_t data_start;     // cluster 2
  std::uint32_t clusters;       // numbered 2 to clusters + 1
  std::uint32_t root_cluster;   // FAT32's root directory; 0 elsewhere
  std::uint32_t fsinfo_sector;  // FAT32's; 0 for none
};

// The volume's layout from its boot sector, on a disk of sectors of
// bytes_per_sector, where the volume starts at first_sector and may take
// at most most_sectors: none where the fields disagree with each other or
// with where the volume stands, or its FAT cannot hold its clusters.
[[nodiscard]] std::optional<fat_layout> read_fat_layout(std::span<const std::uint8_t> boot,
                                                        std::uint32_t bytes_per_sector,
                                                        std::uint64_t first_sector,
                                                        std::uint64_t most_sectors);

// A FAT entry's meaning, the same for every type: free, the next cluster
// of a chain (2 to clusters + 1), or one of these.
inline constexpr std::uint32_t free_cluster = 0;
inline constexpr std::uint32_t bad_cluster = 0x0ffffff7;
inline constexpr std::uint32_t end_of_chain = 0x0fffffff;

struct cache_slot {
  std::uint64_t lba;
  bool used;
  bool dirty;
};

// The volume at work. Sectors live in the cache until it is flushed: the
// FAT's first, into every copy, then the rest, so that a run cut short
// leaves directory entries only where their chains are; a sector of the
// first FAT is the one read and changed, the copies follow it.
struct fat_access {
  const sector_io *disk;
  fat_layout layout;
  std::span<std::uint8_t> memory;  // a whole number of sectors
  std::span<cache_slot> slots;     // one for each sector of memory
  bool failed;                     // a read or write failed: nothing more is to be trusted
  // Where the search for free clusters goes on from, and how many there
  // are (FSInfo's two numbers, kept true on FAT32).
  std::uint32_t next_free;
  std::uint32_t free_count;
};

// Opens the volume at first_sector, of at most most_sectors: false where
// its boot sector cannot be read or is no FAT boot sector that fits.
// Counts its free clusters.
[[nodiscard]] bool open_fat_volume(const sector_io &disk, std::uint64_t first_sector,
                                   std::uint64_t most_sectors, std::span<std::uint8_t> memory,
                                   std::span<cache_slot> slots, fat_access &volume);

// The disk's sector lba through the cache, or none where it could not be
// read (the volume is then failed). For writing, it is marked to be
// written at the next flush; fresh, it is not read but starts as zeros.
[[nodiscard]] std::uint8_t *read_cached(fat_access &volume, std::uint64_t lba);
[[nodiscard]] std::uint8_t *write_cached(fat_access &volume, std::uint64_t lba, bool fresh = false);

// Writes every changed sector: the FAT's into each copy first, then the
// rest, and FAT32's FSInfo. False where a write failed.
[[nodiscard]] bool flush_volume(fat_access &volume);

// Cluster's entry, as free_cluster, a next cluster, bad_cluster or
// end_of_chain; end_of_chain where it cannot be read, or is the start of
// no chain (0 and 1).
[[nodiscard]] std::uint32_t fat_entry(fat_access &volume, std::uint32_t cluster);
void set_fat_entry(fat_access &volume, std::uint32_t cluster, std::uint32_t value);

[[nodiscard]] constexpr bool is_data_cluster(const fat_layout &layout, std::uint32_t cluster) {
  return cluster >= 2 && cluster - 2 < layout.clusters;
}

// The clusters a file of size bytes takes.
[[nodiscard]] constexpr std::uint64_t clusters_for(const fat_layout &layout, std::uint64_t size) {
  return (size + layout.cluster_bytes - 1) / layout.cluster_bytes;
}

// The disk's first sector of a data cluster.
[[nodiscard]] constexpr std::uint64_t cluster_lba(const fat_layout &layout, std::uint32_t cluster) {
  return layout.first_sector + layout.data_start +
         std::uint64_t{cluster - 2} * layout.sectors_per_cluster;
}

// Count clusters, allocated as one chain: in one run where the free space
// has one that long (the first from next_free on, then from the start),
// else in the fewest runs the search meets. Returns the chain's first
// cluster, or 0 where there is not that much room.
[[nodiscard]] std::uint32_t allocate_chain(fat_access &volume, std::uint32_t count);

// Gives a chain's clusters back.
void free_chain(fat_access &volume, std::uint32_t first);

// Calls take(first, count) for each run of consecutive clusters of the
// chain that starts at first, in order, for at most most clusters; false
// where the chain leaves the volume, loops, or is cut before it ends.
template <typename take_run>
[[nodiscard]] bool walk_chain(fat_access &volume, std::uint32_t first, std::uint64_t most,
                              take_run take) {
  std::uint32_t run_start = first;
  std::uint32_t run_length = 0;
  std::uint64_t walked = 0;
  for (std::uint32_t cluster = first; walked < most; ++walked) {
    if (!is_data_cluster(volume.layout, cluster))
      return false;
    if (run_length > 0 && cluster != run_start + run_length) {
      take(run_start, run_length);
      run_start = cluster;
      run_length = 0;
    }
    ++run_length;
    const std::uint32_t next = fat_entry(volume, cluster);
    if (volume.failed || next == free_cluster || next == bad_cluster)
      return false;
    if (next == end_of_chain)
      break;
    cluster = next;
  }
  if (walked == most)
    return false;  // longer than the volume: a loop
  take(run_start, run_length);
  return true;
}

}  // namespace blankimg
