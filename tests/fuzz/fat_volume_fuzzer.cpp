// A hostile FAT volume: the input is the start of a 160 KiB floppy's
// volume (boot sector, FATs, root, the first clusters), the rest zeros.
// The checker and a walk of the whole tree must end without reading
// outside the disk, and a file added where the volume takes one must be
// found there after.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "disk/fat_check.hpp"
#include "disk/fat_directory.hpp"
#include "disk/fat_tree.hpp"
#include "tests/fuzz/fuzz_input.hpp"

namespace {

using namespace blankimg;

using fuzz::require;

constexpr std::uint32_t sector_bytes = 512;
constexpr std::uint64_t disk_sectors = 320;

struct fuzz_disk {
  std::vector<std::uint8_t> bytes;
};

bool read_disk(void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
  auto &disk = *static_cast<fuzz_disk *>(context);
  if (lba * sector_bytes + out.size() > disk.bytes.size())
    return false;
  std::copy_n(disk.bytes.begin() + static_cast<std::ptrdiff_t>(lba * sector_bytes), out.size(),
              out.begin());
  return true;
}

bool write_disk(void *context, std::uint64_t lba, std::span<const std::uint8_t> data) {
  auto &disk = *static_cast<fuzz_disk *>(context);
  require(lba * sector_bytes + data.size() <= disk.bytes.size());
  std::ranges::copy(data, disk.bytes.begin() + static_cast<std::ptrdiff_t>(lba * sector_bytes));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz_disk disk{std::vector<std::uint8_t>(disk_sectors * sector_bytes)};
  std::copy_n(data, std::min(size, disk.bytes.size()), disk.bytes.begin());
  const sector_io io{&disk, read_disk, write_disk, sector_bytes, disk_sectors};
  static std::array<std::uint8_t, 16 * sector_bytes> cache;
  static std::array<cache_slot, 16> slots;
  fat_access volume{};
  if (!open_fat_volume(io, 0, disk_sectors, cache, slots, volume))
    return 0;
  std::vector<std::uint8_t> map(
      static_cast<std::size_t>(cluster_map_bytes(volume.layout.clusters)));
  const volume_findings findings = check_fat_volume(volume, map);
  require(findings.listed_count <= findings.count);
  tree_walk walk = start_tree_walk(volume, {});
  directory_item item{};
  for (tree_step step = tree_step::item; step != tree_step::end && step != tree_step::failed;) {
    step = next_in_tree(walk, item);
    if (step == tree_step::damaged && walk.damage == tree_damage::broken_chain)
      leave_directory(walk);
    if (step == tree_step::damaged && walk.damage == tree_damage::too_many)
      break;
    if (step == tree_step::item && item.first_cluster != 0)
      static_cast<void>(walk_chain(volume, item.first_cluster, volume.layout.clusters,
                                   [](std::uint32_t, std::uint32_t) {}));
  }
  directory_end root{};
  if (!find_directory_end(volume, 0, false, root))
    return 0;
  const std::uint32_t chain = allocate_chain(volume, 1);
  if (chain == 0)
    return 0;
  const add_result added =
      add_item(volume, root, {"FUZZED.TXT", archive_attribute, chain, 1, 0, 0});
  if (added == add_result::added && flush_volume(volume))
    require(find_item(volume, 0, "FUZZED.TXT", item) == directory_step::item);
  return 0;
}
