// A FAT volume checked as far as fsck.fat -n checks one, repairing
// nothing: the boot sector's fields, the FAT copies, every chain, the
// directories, the files' sizes and the clusters no chain holds. Pure:
// sectors through the volume's cache, the map of clusters in memory the
// caller gives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "disk/fat_volume.hpp"

namespace blankimg {

enum class volume_problem : std::uint8_t {
  boot_sector,       // the boot sector is no FAT boot sector that fits the volume
  fats_differ,       // sector: the first of a FAT copy that differs from the first FAT
  chain_outside,     // cluster: a chain runs to a cluster outside the volume, or a free one
  chain_loop,        // cluster: a chain comes back to one of its own clusters
  cross_linked,      // cluster: in two chains
  directory_loop,    // cluster: a directory holds itself or an ancestor
  bad_entry,         // cluster: a directory entry that is no file nor directory there
  size_mismatch,     // cluster: a file's size does not fit its chain
  lost_clusters,     // count: in use in the FAT, in no chain
  free_count_wrong,  // count: FSInfo's free clusters, where they are not the FAT's
  too_deep,          // directories nested past what is walked
  unreadable,        // a sector of the volume could not be read
};

struct volume_finding {
  volume_problem problem;
  std::uint64_t where;  // the sector, cluster or count the problem names
};

inline constexpr std::size_t most_listed_volume_findings = 8;

struct volume_findings {
  std::array<volume_finding, most_listed_volume_findings> listed;
  std::size_t listed_count;
  std::uint64_t count;  // listed or not
};

// The bytes of cluster map a volume of so many clusters needs.
[[nodiscard]] constexpr std::uint64_t cluster_map_bytes(std::uint32_t clusters) {
  return (std::uint64_t{clusters} + 2 + 7) / 8;
}

// Checks the open volume; map is cluster_map_bytes long, for one bit a
// cluster.
[[nodiscard]] volume_findings check_fat_volume(fat_access &volume, std::span<std::uint8_t> map);

}  // namespace blankimg
