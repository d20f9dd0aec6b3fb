#include "disk/format.hpp"

namespace blankimg {

std::optional<disk_format> plan_format(const disk_geometry &disk, const floppy_format *floppy,
                                       const format_request &request) {
  const bool partitioned =
      request.partitions == partition_scheme::mbr ||
      (request.partitions == partition_scheme::as_the_disk_has && floppy == nullptr);
  disk_format format{.partitioned = partitioned, .partition = {}, .volume = {}, .volume_start = 0};
  volume_place place{.bytes_per_sector = disk.bytes_per_sector,
                     .sectors_per_track = disk.sectors_per_track,
                     .heads = disk.heads,
                     .first_sector = 0,
                     .sectors = disk.cylinders * disk.heads * disk.sectors_per_track,
                     .floppy = floppy,
                     .past_chs = false};
  if (partitioned) {
    const std::optional<mbr_partition> partition = whole_disk_partition(disk);
    if (!partition)
      return std::nullopt;
    format.partition = *partition;
    place.first_sector = partition->first_sector;
    place.sectors = partition->sectors;
    place.past_chs = ends_past_chs(*partition, disk);
  }
  const std::optional<fat_volume> volume =
      lay_out_fat(place, request.type, request.label, request.labelled, request.made);
  if (!volume)
    return std::nullopt;
  format.volume = *volume;
  format.volume_start = place.first_sector;
  if (partitioned)
    type_partition(format.partition, disk, volume->type);
  return format;
}

bool partition_past_chs(const disk_geometry &disk, const floppy_format *floppy,
                        partition_scheme partitions) {
  const bool partitioned = partitions == partition_scheme::mbr ||
                           (partitions == partition_scheme::as_the_disk_has && floppy == nullptr);
  const std::optional<mbr_partition> partition =
      partitioned ? whole_disk_partition(disk) : std::nullopt;
  return partition && ends_past_chs(*partition, disk);
}

std::size_t list_format_sectors(const disk_format &format,
                                std::span<std::uint64_t, most_format_sectors> sectors) {
  std::size_t count = 0;
  if (format.partitioned)
    sectors[count++] = 0;
  std::array<std::uint32_t, most_fat_sectors> relative{};
  const std::size_t in_volume = list_fat_sectors(format.volume, relative);
  for (std::size_t i = 0; i < in_volume; ++i)
    sectors[count++] = format.volume_start + relative[i];
  return count;
}

void render_format_sector(const disk_format &format, std::uint64_t lba,
                          std::span<std::uint8_t> out) {
  if (format.partitioned && lba == 0)
    return render_mbr(format.partition, format.volume.made.serial, out);
  render_fat_sector(format.volume, static_cast<std::uint32_t>(lba - format.volume_start), out);
}

}  // namespace blankimg
