#include "disk/fat_check.hpp"

#include <algorithm>

#include "disk/fat_tree.hpp"
#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::uint32_t most_sector_bytes = 4096;
constexpr std::uint32_t fsinfo_lead = 0x41615252;
constexpr std::uint32_t unknown_count = 0xffffffff;

void note(volume_findings &findings, volume_problem problem, std::uint64_t where) {
  if (findings.listed_count < findings.listed.size())
    findings.listed[findings.listed_count++] = {.problem = problem, .where = where};
  ++findings.count;
}

struct cluster_map {
  std::span<std::uint8_t> bits;

  [[nodiscard]] bool marked(std::uint32_t cluster) const {
    return (bits[cluster / 8] >> (cluster % 8) & 1U) != 0;
  }
  void mark(std::uint32_t cluster) const {
    bits[cluster / 8] = static_cast<std::uint8_t>(bits[cluster / 8] | 1U << (cluster % 8));
  }
};

// Every copy of the FAT against the first, sector by sector.
void compare_fats(fat_access &volume, volume_findings &findings) {
  const fat_layout &layout = volume.layout;
  std::array<std::uint8_t, most_sector_bytes> first{};
  std::array<std::uint8_t, most_sector_bytes> copy{};
  const auto first_bytes = std::span(first).first(layout.bytes_per_sector);
  const auto copy_bytes = std::span(copy).first(layout.bytes_per_sector);
  const std::uint64_t start = layout.first_sector + layout.fat_start;
  for (std::uint32_t number = 1; number < layout.fat_count; ++number) {
    for (std::uint32_t sector = 0; sector < layout.fat_sectors; ++sector) {
      const std::uint64_t other = start + std::uint64_t{number} * layout.fat_sectors + sector;
      if (!read_sectors(*volume.disk, start + sector, first_bytes) ||
          !read_sectors(*volume.disk, other, copy_bytes)) {
        note(findings, volume_problem::unreadable, other);
        return;
      }
      if (!std::ranges::equal(first_bytes, copy_bytes)) {
        note(findings, volume_problem::fats_differ, other);
        break;
      }
    }
  }
}

// Whether the chain from first reaches target within steps clusters.
bool reaches(fat_access &volume, std::uint32_t first, std::uint32_t target, std::uint64_t steps) {
  std::uint32_t cluster = first;
  for (std::uint64_t i = 0; i < steps && is_data_cluster(volume.layout, cluster); ++i) {
    if (cluster == target)
      return true;
    cluster = fat_entry(volume, cluster);
  }
  return false;
}

// Marks the chain from first as in use; its length, and whether it ends as
// a chain should, noting where it does not.
struct chain_walked {
  std::uint64_t length;
  bool sound;
};
chain_walked mark_chain(fat_access &volume, cluster_map &map, std::uint32_t first,
                        volume_findings &findings) {
  std::uint64_t length = 0;
  for (std::uint32_t cluster = first;;) {
    if (!is_data_cluster(volume.layout, cluster)) {
      note(findings, volume_problem::chain_outside, cluster);
      return {.length = length, .sound = false};
    }
    if (map.marked(cluster)) {
      const bool own = reaches(volume, first, cluster, length);
      note(findings, own ? volume_problem::chain_loop : volume_problem::cross_linked, cluster);
      return {.length = length, .sound = false};
    }
    map.mark(cluster);
    ++length;
    const std::uint32_t next = fat_entry(volume, cluster);
    if (next == end_of_chain)
      return {.length = length, .sound = !volume.failed};
    if (next == free_cluster || next == bad_cluster) {
      note(findings, volume_problem::chain_outside, cluster);
      return {.length = length, .sound = false};
    }
    cluster = next;
  }
}

void check_item(fat_access &volume, cluster_map &map, tree_walk &walk, const directory_item &item,
                volume_findings &findings) {
  const bool directory = (item.attributes & directory_attribute) != 0;
  if (item.first_cluster == 0) {
    if (item.size != 0)
      note(findings, volume_problem::size_mismatch, 0);
    return;
  }
  if (directory && map.marked(item.first_cluster)) {
    // Another chain's: its items were walked there, or are to be.
    note(findings, volume_problem::cross_linked, item.first_cluster);
    leave_directory(walk);
    return;
  }
  const chain_walked chain = mark_chain(volume, map, item.first_cluster, findings);
  if (chain.sound && !directory && chain.length != clusters_for(volume.layout, item.size))
    note(findings, volume_problem::size_mismatch, item.first_cluster);
}

void walk_directories(fat_access &volume, cluster_map &map, volume_findings &findings) {
  tree_walk walk = start_tree_walk(volume, {});
  directory_item item{};
  for (;;) {
    const tree_step step = next_in_tree(walk, item);
    switch (step) {
    case tree_step::end:
      return;
    case tree_step::left_directory:
      continue;
    case tree_step::item:
      check_item(volume, map, walk, item, findings);
      continue;
    case tree_step::failed:
      note(findings, volume_problem::unreadable, 0);
      return;
    case tree_step::too_deep:
      note(findings, volume_problem::too_deep, item.first_cluster);
      continue;
    case tree_step::damaged:
      break;
    }
    switch (walk.damage) {
    case tree_damage::broken_chain:
      note(findings, volume_problem::chain_outside, walk.frames[walk.depth - 1].cursor.cluster);
      leave_directory(walk);
      if (walk.depth == 0)
        return;
      break;
    case tree_damage::too_many:
      note(findings, volume_problem::cross_linked, 0);
      return;
    case tree_damage::outside:
      note(findings, volume_problem::bad_entry, item.first_cluster);
      break;
    case tree_damage::holds_itself:
      note(findings, volume_problem::directory_loop, item.first_cluster);
      break;
    case tree_damage::shared:
      note(findings, volume_problem::cross_linked, item.first_cluster);
      break;
    }
  }
}

// Clusters the FAT has in use that no chain holds, and FSInfo's count.
void count_free_and_lost(fat_access &volume, const cluster_map &map, volume_findings &findings) {
  const fat_layout &layout = volume.layout;
  std::uint64_t lost = 0;
  for (std::uint32_t cluster = 2; cluster - 2 < layout.clusters && !volume.failed; ++cluster) {
    const std::uint32_t entry = fat_entry(volume, cluster);
    lost += entry != free_cluster && entry != bad_cluster && !map.marked(cluster) ? 1 : 0;
  }
  if (lost > 0)
    note(findings, volume_problem::lost_clusters, lost);
  if (layout.fsinfo_sector == 0)
    return;
  const std::uint8_t *fsinfo = read_cached(volume, layout.first_sector + layout.fsinfo_sector);
  if (fsinfo == nullptr) {
    note(findings, volume_problem::unreadable, layout.first_sector + layout.fsinfo_sector);
    return;
  }
  const std::span<const std::uint8_t> sector(fsinfo, layout.bytes_per_sector);
  const std::uint64_t counted = get_little_endian<4>(sector, 488);
  if (get_little_endian<4>(sector, 0) == fsinfo_lead && counted != unknown_count &&
      counted != volume.free_count)
    note(findings, volume_problem::free_count_wrong, counted);
}

}  // namespace

volume_findings check_fat_volume(fat_access &volume, std::span<std::uint8_t> map) {
  volume_findings findings{};
  const fat_layout &layout = volume.layout;
  if (map.size() < cluster_map_bytes(layout.clusters) ||
      layout.bytes_per_sector > most_sector_bytes) {
    note(findings, volume_problem::unreadable, 0);
    return findings;
  }
  std::ranges::fill(map, std::uint8_t{0});
  cluster_map clusters{.bits = map};
  compare_fats(volume, findings);
  if (layout.type == fat_type::fat32)
    static_cast<void>(mark_chain(volume, clusters, layout.root_cluster, findings));
  walk_directories(volume, clusters, findings);
  count_free_and_lost(volume, clusters, findings);
  if (volume.failed)
    note(findings, volume_problem::unreadable, 0);
  return findings;
}

}  // namespace blankimg
