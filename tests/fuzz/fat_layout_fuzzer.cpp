// A FAT layout round trip: a volume laid out for whatever place the input
// names reads back as the type and label it was made with, its clusters
// inside that type's band; and the boot-sector reader takes the input's
// own bytes as a hostile boot sector without crashing.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "disk/fat.hpp"
#include "disk/geometry.hpp"
#include "tests/fuzz/fuzz_input.hpp"

namespace {

using namespace blankimg;

using fuzz::require;
using fuzz::take;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::span<const std::uint8_t> whole(data, size);
  std::vector<std::uint8_t> hostile(512);
  std::copy_n(whole.begin(), std::min<std::size_t>(size, hostile.size()), hostile.begin());
  static_cast<void>(read_fat_boot_sector(hostile));

  std::span<const std::uint8_t> input = whole;
  constexpr std::array<std::uint32_t, 4> sector_sizes = {512, 1024, 2048, 4096};
  constexpr std::array<const char *, 10> floppies = {nullptr, "160K", "180K",  "320K",  "360K",
                                                     "720K",  "1.2M", "1.44M", "1.68M", "2.88M"};
  const std::uint64_t choice = take(input, 1);
  const floppy_format *floppy = find_floppy(floppies.at(choice % floppies.size()) != nullptr
                                                ? floppies.at(choice % floppies.size())
                                                : "none");
  const volume_place place{.bytes_per_sector = sector_sizes.at(take(input, 1) % 4),
                           .sectors_per_track = static_cast<std::uint32_t>(take(input, 1)),
                           .heads = static_cast<std::uint32_t>(take(input, 1)),
                           .first_sector = take(input, 2),
                           .sectors = floppy != nullptr ? std::uint64_t{floppy->cylinders} *
                                                              floppy->heads * floppy->sectors
                                                        : take(input, 5) % (std::uint64_t{1} << 33),
                           .floppy = floppy,
                           .past_chs = (choice & 0x80U) != 0};
  const auto request = static_cast<fat_request>(take(input, 1) % 4);
  volume_label label = no_name;
  label[0] = static_cast<char>('A' + take(input, 1) % 26);
  const std::optional<fat_volume> volume =
      lay_out_fat(place, request, label, true, fat_moment_of(take(input, 4)));
  if (!volume)
    return 0;
  const std::uint32_t fewest[] = {1, 4087, 65529};
  const std::uint32_t most[] = {4084, 65524, 0x0ffffff4};
  const auto type = static_cast<std::size_t>(volume->type);
  require(volume->clusters >= fewest[type] && volume->clusters <= most[type]);
  require(request == fat_request::by_size || static_cast<std::size_t>(request) == type + 1);
  std::vector<std::uint8_t> boot(volume->bytes_per_sector);
  render_fat_sector(*volume, 0, boot);
  const std::optional<fat_found> found = read_fat_boot_sector(boot);
  require(found && found->type == volume->type && found->label == label);
  return 0;
}
