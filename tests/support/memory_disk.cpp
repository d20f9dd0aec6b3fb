#include "tests/support/memory_disk.hpp"

#include <algorithm>
#include <array>

namespace blankimg::test {

std::span<std::uint8_t> memory_disk::sector(std::uint64_t lba) {
  std::vector<std::uint8_t> &bytes = written[lba];
  bytes.resize(bytes_per_sector);
  return bytes;
}

sector_io io_of(memory_disk &disk) {
  return {.context = &disk,
          .read =
              [](void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
                auto &held = *static_cast<memory_disk *>(context);
                if (held.reads_fail)
                  return false;
                for (std::size_t at = 0; at < out.size(); at += held.bytes_per_sector, ++lba) {
                  if (lba >= held.sectors)
                    return false;
                  const auto part = out.subspan(
                      at, std::min<std::size_t>(held.bytes_per_sector, out.size() - at));
                  const auto found = held.written.find(lba);
                  if (found == held.written.end())
                    std::ranges::fill(part, std::uint8_t{0});
                  else
                    std::copy_n(found->second.begin(), part.size(), part.begin());
                }
                return true;
              },
          .write =
              [](void *context, std::uint64_t lba, std::span<const std::uint8_t> data) {
                auto &held = *static_cast<memory_disk *>(context);
                for (std::size_t at = 0; at < data.size(); at += held.bytes_per_sector, ++lba) {
                  if (lba >= held.sectors)
                    return false;
                  const auto part = data.subspan(
                      at, std::min<std::size_t>(held.bytes_per_sector, data.size() - at));
                  std::ranges::copy(part, held.sector(lba).begin());
                }
                return true;
              },
          .bytes_per_sector = disk.bytes_per_sector,
          .sectors = disk.sectors};
}

memory_disk formatted_disk(const disk_geometry &geometry, const disk_format &format) {
  memory_disk disk{.sectors = *sector_count(geometry),
                   .bytes_per_sector = geometry.bytes_per_sector,
                   .written = {}};
  const sector_io io = io_of(disk);
  std::array<std::uint64_t, most_format_sectors> sectors{};
  std::vector<std::uint8_t> sector(geometry.bytes_per_sector);
  for (const std::uint64_t lba : std::span(sectors).first(list_format_sectors(format, sectors))) {
    std::ranges::fill(sector, std::uint8_t{0});
    render_format_sector(format, lba, sector);
    static_cast<void>(write_sectors(io, lba, sector));
  }
  return disk;
}

}  // namespace blankimg::test
