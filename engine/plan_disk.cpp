#include "engine/plan_disk.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

#include "engine/image_disk.hpp"

namespace blankimg {

namespace {

// A BIOS's INT 13h addresses at most 255 heads and 63 sectors per track:
// a formatted disk of more has a boot sector no reader takes.
constexpr std::uint32_t most_bios_heads = 255;
constexpr std::uint32_t most_bios_sectors = 63;

bool has_byte_past_ascii(std::string_view text) {
  return std::ranges::any_of(text, [](char c) { return static_cast<unsigned char>(c) > 0x7e; });
}

}  // namespace

run_status plan_layout(std::uint32_t blocksize, std::uint64_t cylinders, std::uint32_t heads,
                       std::uint32_t sectors, std::uint32_t bytes_per_sector, disk_plan &plan) {
  const disk_layout layout = lay_out_disk(blocksize, cylinders, heads, sectors, bytes_per_sector);
  switch (layout.refusal) {
  case layout_refusal::block_too_long:
    return run_status::invalid_blocksize;
  case layout_refusal::too_large:
    return run_status::image_too_large;
  case layout_refusal::none:
    break;
  }
  plan.header = layout.header;
  plan.block_bytes = layout.block_bytes;
  return run_status::ok;
}

run_status plan_disk_format(const format_choice &choice, disk_plan &plan, failure_reason &why) {
  if (plan.header.heads > most_bios_heads || plan.header.sectors > most_bios_sectors) {
    why.cause = plan.header.heads > most_bios_heads ? failure_cause::too_many_heads
                                                    : failure_cause::too_many_sectors;
    return run_status::invalid_geometry;
  }
  const std::optional<volume_label> label =
      choice.label != nullptr ? read_volume_label(choice.label) : no_name;
  if (!label) {
    if (has_byte_past_ascii(choice.label))
      why.cause = failure_cause::label_not_ascii;
    return run_status::invalid_label;
  }
  const format_request request{.type = choice.type,
                               .partitions = choice.partitions,
                               .label = *label,
                               .labelled = choice.label != nullptr,
                               .made = fat_moment_of(choice.made_at)};
  // A floppy by name, or by its geometry: either way, that format's volume.
  const disk_geometry disk = geometry_of(plan.header);
  const floppy_format *floppy =
      choice.floppy != nullptr
          ? choice.floppy
          : find_floppy_geometry(disk.cylinders, disk.heads, disk.sectors_per_track,
                                 disk.bytes_per_sector);
  const std::optional<disk_format> format = plan_format(disk, floppy, request);
  if (!format) {
    if (choice.type == fat_request::fat12 && partition_past_chs(disk, floppy, choice.partitions))
      why.cause = failure_cause::fat12_past_chs;
    return run_status::fat_does_not_fit;
  }
  plan.formatted = true;
  plan.format = *format;
  return run_status::ok;
}

}  // namespace blankimg
