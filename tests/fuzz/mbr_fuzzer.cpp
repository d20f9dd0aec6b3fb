// An MBR round trip: the partition made for whatever geometry the input
// names reads back from the rendered sector as that one entry, and a raw
// disk of that length and that sector has the geometry back where a BIOS
// could have given it. Then the input's own bytes, as a hostile first
// sector, go through the table reader and the raw-geometry finder.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "disk/geometry.hpp"
#include "disk/partition.hpp"
#include "tests/fuzz/fuzz_input.hpp"

namespace {

using namespace blankimg;

using fuzz::require;
using fuzz::take;

void look_at_hostile(std::span<const std::uint8_t> whole) {
  std::vector<std::uint8_t> first(512);
  std::copy_n(whole.begin(), std::min<std::size_t>(whole.size(), first.size()), first.begin());
  const std::uint64_t length = whole.size() * std::uint64_t{0x10001};
  static_cast<void>(read_partition_table(first, length / 512));
  const raw_geometry found = geometry_of_raw(length, first, first);
  require(found.heads >= 1 && found.heads <= 255 && found.sectors >= 1 && found.sectors <= 63 &&
          (found.cylinders >= 1 || length == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::span<const std::uint8_t> whole(data, size);
  look_at_hostile(whole);
  std::span<const std::uint8_t> input = whole;
  const disk_geometry disk{.cylinders = 1 + take(input, 2) % 4096,
                           .heads = static_cast<std::uint32_t>(1 + take(input, 1) % 255),
                           .sectors_per_track = static_cast<std::uint32_t>(1 + take(input, 1) % 63),
                           .bytes_per_sector = 512};
  std::optional<mbr_partition> partition = whole_disk_partition(disk);
  if (!partition)
    return 0;
  type_partition(*partition, disk, static_cast<fat_type>(take(input, 1) % 3));
  std::vector<std::uint8_t> sector(512);
  render_mbr(*partition, static_cast<std::uint32_t>(take(input, 4)), sector);
  const std::uint64_t total = *sector_count(disk);
  const std::optional<partition_table> table = read_partition_table(sector, total);
  require(table && table->count == 1);
  const mbr_partition &read = table->entries[0];
  require(read.first_sector == partition->first_sector && read.sectors == partition->sectors &&
          read.type == partition->type && read.status == active_status &&
          read.first_sector + std::uint64_t{read.sectors} == total);
  // Within cylinder 1023 and of a geometry a BIOS gives, the CHS fields say
  // it, unless the length is a floppy format's, which comes first.
  if (!ends_past_chs(*partition, disk) && disk.sectors_per_track >= 9) {
    const raw_geometry found = geometry_of_raw(total * 512, sector, {});
    const floppy_format *floppy = found.floppy;
    require(found.source == raw_geometry_source::floppy
                ? floppy != nullptr &&
                      std::uint64_t{floppy->cylinders} * floppy->heads * floppy->sectors == total
                : found.source == raw_geometry_source::partition_table &&
                      found.heads == disk.heads && found.sectors == disk.sectors_per_track &&
                      found.cylinders == disk.cylinders);
  }
  return 0;
}
