// What is on a disk, read back through an in-memory sector_io at the
// offsets the published MBR and FAT descriptions give, never through the
// tables the writer uses.
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "disk/fat.hpp"
#include "disk/format.hpp"
#include "disk/geometry.hpp"
#include "disk/partition.hpp"
#include "disk/volumes.hpp"
#include "tests/support/memory_disk.hpp"

namespace blankimg {
namespace {

std::uint64_t little(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = value << 8 | bytes[at + i];
  return value;
}

constexpr std::uint64_t mib = std::uint64_t{1} << 20;

// The disk of a size, as --size gives it.
disk_geometry sized(std::uint64_t bytes, std::uint32_t sector = 512) {
  return {cylinders_for_size(bytes, sector), 16, 63, sector};
}

struct layout_case {
  const char *name;
  disk_geometry disk;
  const char *floppy;  // its name, or none
  fat_request type;
  // Expected, in the boot sector at the volume's start.
  std::uint32_t sectors_per_cluster, reserved, root_entries, sectors, fat_sectors;
  std::uint8_t media, partition_type;
};

TEST(DiskFormat, PutsEveryBootSectorFieldAndTheFatsFirstEntriesWhereThePcReadsThem) {
  // Every PC floppy's parameters as DOS formats it, and volumes across the
  // published cluster-size tables.
  const layout_case layout_cases[] = {
      {"160K", {40, 1, 8, 512}, "160K", fat_request::by_size, 1, 1, 64, 320, 1, 0xfe, 0},
      {"180K", {40, 1, 9, 512}, "180K", fat_request::by_size, 1, 1, 64, 360, 2, 0xfc, 0},
      {"320K", {40, 2, 8, 512}, "320K", fat_request::by_size, 2, 1, 112, 640, 1, 0xff, 0},
      {"360K", {40, 2, 9, 512}, "360K", fat_request::by_size, 2, 1, 112, 720, 2, 0xfd, 0},
      {"720K", {80, 2, 9, 512}, "720K", fat_request::by_size, 2, 1, 112, 1440, 3, 0xf9, 0},
      {"1.2M", {80, 2, 15, 512}, "1.2M", fat_request::by_size, 1, 1, 224, 2400, 7, 0xf9, 0},
      {"1.44M", {80, 2, 18, 512}, "1.44M", fat_request::by_size, 1, 1, 224, 2880, 9, 0xf0, 0},
      {"1.68M", {80, 2, 21, 512}, "1.68M", fat_request::by_size, 4, 1, 16, 3360, 3, 0xf0, 0},
      {"2.88M", {80, 2, 36, 512}, "2.88M", fat_request::by_size, 2, 1, 240, 5760, 9, 0xf0, 0},
      {"10M FAT12", sized(10 * mib), nullptr, fat_request::by_size, 8, 1, 512, 21105, 8, 0xf8,
       0x01},
      {"20M FAT16", sized(20 * mib), nullptr, fat_request::by_size, 4, 1, 512, 41265, 41, 0xf8,
       0x04},
      {"33M FAT16", sized(33 * mib), nullptr, fat_request::by_size, 4, 1, 512, 68481, 67, 0xf8,
       0x06},
      {"1G FAT16", sized(1024 * mib), nullptr, fat_request::by_size, 64, 1, 512, 2097585, 129, 0xf8,
       0x0e},
      {"3G FAT32", sized(3072 * mib), nullptr, fat_request::by_size, 8, 32, 0, 6291873, 6145, 0xf8,
       0x0c},
      {"40M FAT32", sized(40 * mib), nullptr, fat_request::fat32, 1, 32, 0, 82593, 646, 0xf8, 0x0b},
      {"16M of 4K", sized(16 * mib, 4096), nullptr, fat_request::by_size, 1, 1, 512, 4977, 3, 0xf8,
       0x04},
  };
  for (const layout_case &c : layout_cases) {
    SCOPED_TRACE(c.name);
    const floppy_format *floppy = c.floppy != nullptr ? find_floppy(c.floppy) : nullptr;
    const volume_label label = {'G', 'A', 'M', 'E', 'S', ' ', ' ', ' ', ' ', ' ', ' '};
    const std::optional<disk_format> format =
        plan_format(c.disk, floppy,
                    {.type = c.type,
                     .partitions = partition_scheme::as_the_disk_has,
                     .label = label,
                     .labelled = true,
                     .made = fat_moment_of(1700000000)});
    ASSERT_TRUE(format.has_value());
    test::memory_disk disk = test::formatted_disk(c.disk, *format);
    const auto sector = [&](std::uint64_t lba) {
      return std::span<const std::uint8_t>(disk.sector(lba));
    };
    const std::uint32_t bps = c.disk.bytes_per_sector;
    const bool hard_disk = floppy == nullptr;
    const std::uint64_t start = hard_disk ? c.disk.sectors_per_track : 0;
    const auto boot = sector(start);
    const bool fat32 = c.root_entries == 0;
    const bool small = c.sectors < 65536 && !fat32;
    const std::array<std::uint64_t, 18> fields = {little(boot, 11, 2),
                                                  boot[13],
                                                  little(boot, 14, 2),
                                                  boot[16],
                                                  little(boot, 17, 2),
                                                  little(boot, 19, 2),
                                                  boot[21],
                                                  little(boot, 22, 2),
                                                  little(boot, 24, 2),
                                                  little(boot, 26, 2),
                                                  little(boot, 28, 4),
                                                  little(boot, 32, 4),
                                                  fat32 ? little(boot, 36, 4) : 0,
                                                  boot[fat32 ? 64 : 36],
                                                  boot[fat32 ? 66 : 38],
                                                  fat32 ? little(boot, 44, 4) : 0,
                                                  fat32 ? little(boot, 48, 2) : 0,
                                                  fat32 ? little(boot, 50, 2) : 0};
    const std::array<std::uint64_t, 18> expected = {bps,
                                                    c.sectors_per_cluster,
                                                    c.reserved,
                                                    2,
                                                    c.root_entries,
                                                    small ? c.sectors : 0,
                                                    c.media,
                                                    fat32 ? 0 : c.fat_sectors,
                                                    c.disk.sectors_per_track,
                                                    c.disk.heads,
                                                    start,
                                                    small ? 0 : c.sectors,
                                                    fat32 ? c.fat_sectors : 0,
                                                    hard_disk ? 0x80U : 0U,
                                                    0x29,
                                                    fat32 ? 2U : 0U,   // the root's cluster
                                                    fat32 ? 1U : 0U,   // FSInfo's sector
                                                    fat32 ? 6U : 0U};  // the backup's
    EXPECT_EQ(fields, expected);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char *>(&boot[fat32 ? 71 : 43]), 11),
              "GAMES      ");  // NOLINT: bytes as text
    EXPECT_EQ(little(boot, 510, 2), 0xaa55U);
    // Both FATs start with the media byte and end-of-chain marks.
    for (std::uint64_t fat = 0; fat < 2; ++fat) {
      const auto first = sector(start + c.reserved + fat * c.fat_sectors);
      const bool fat12 = c.partition_type <= 0x01;
      EXPECT_EQ(little(first, 0, fat12 ? 3 : 4),
                (fat32 ? 0x0fffff00U : (fat12 ? 0xffff00U : 0xffffff00U)) | c.media)
          << "FAT " << fat;
      EXPECT_EQ(little(first, fat12 ? 3 : 4, 4), fat32 ? 0x0fffffffU : 0U) << "FAT " << fat;
    }
    if (fat32) {
      EXPECT_TRUE(std::ranges::equal(sector(start + 6), boot)) << "the backup boot sector";
      const auto fsinfo = sector(start + 1);
      EXPECT_EQ(little(fsinfo, 0, 4), 0x41615252U);
      EXPECT_EQ(little(fsinfo, 492, 4), 3U);  // the next free cluster
      EXPECT_TRUE(std::ranges::equal(sector(start + 7), fsinfo)) << "the backup FSInfo";
    }
    // The volume finder reads it back, FAT32's label included.
    const found_volumes found = find_volumes(test::io_of(disk));
    ASSERT_EQ(found.count, 1U);
    EXPECT_EQ(std::tuple(found.volumes[0].start_sector, found.volumes[0].sectors,
                         found.volumes[0].partition, found.volumes[0].active),
              std::tuple(start, std::uint64_t{c.sectors}, hard_disk, hard_disk));
    EXPECT_EQ(found.volumes[0].label, label);
    EXPECT_EQ(found.volumes[0].type, c.partition_type);
    EXPECT_EQ(
        found.volumes[0].file_system,
        fat32 ? fat_type::fat32 : (c.partition_type <= 1 ? fat_type::fat12 : fat_type::fat16));
    if (hard_disk) {
      const auto mbr = sector(0);
      EXPECT_EQ(mbr[446], 0x80);
      EXPECT_EQ(little(mbr, 454, 4), start);
      EXPECT_EQ(little(mbr, 458, 4), c.sectors);
      EXPECT_EQ(little(mbr, 510, 2), 0xaa55U);
    }
  }
}

TEST(DiskFormat, KeepsEachTypesClusterCountsInsideItsBandAndReadsTheBoundaryAsThePcDoes) {
  // Forced types over a run of sizes: never a count readers disagree on.
  struct band {
    fat_request type;
    std::uint64_t from, to;  // sectors of 512 bytes
    std::uint32_t fewest, most;
  };
  for (const band &b : {band{fat_request::fat12, 4000, 4300, 1, 4084},
                        band{fat_request::fat16, 4100, 4400, 4087, 65524},
                        band{fat_request::fat32, 66000, 67200, 65529, 0x0ffffff4}}) {
    bool at_fewest = false;
    for (std::uint64_t sectors = b.from; sectors < b.to; ++sectors) {
      const std::optional<fat_volume> volume = lay_out_fat(
          {512, 63, 16, 0, sectors, nullptr, false}, b.type, no_name, false, fat_moment_of(0));
      if (!volume)
        continue;
      EXPECT_GE(volume->clusters, b.fewest) << sectors;
      EXPECT_LE(volume->clusters, b.most) << sectors;
      at_fewest = at_fewest || volume->clusters == b.fewest;
    }
    EXPECT_TRUE(at_fewest || b.type == fat_request::fat12) << "some size makes the fewest";
  }
  // Read back by the count of clusters alone: 4084 is FAT12, 4085 FAT16.
  const std::optional<fat_volume> fat12 = lay_out_fat(
      {512, 63, 16, 0, 4141, nullptr, false}, fat_request::fat12, no_name, false, fat_moment_of(0));
  ASSERT_TRUE(fat12.has_value());
  ASSERT_EQ(std::pair(fat12->clusters, fat12->sectors_per_cluster), std::pair(4082U, 1U));
  std::vector<std::uint8_t> boot(512);
  render_fat_sector(*fat12, 0, boot);
  boot[19] = 0x2f;  // 4143 sectors: 4084 clusters
  EXPECT_EQ(read_fat_boot_sector(boot)->type, fat_type::fat12);
  boot[19] = 0x30;  // 4144: 4085
  EXPECT_EQ(read_fat_boot_sector(boot)->type, fat_type::fat16);
}

TEST(DiskFormat, TakesClusterSizesFromThePublishedTablesAtEachStepsEdge) {
  struct step {
    fat_request type;
    std::uint64_t sectors;
    std::uint32_t sectors_per_cluster;
  };
  for (const step &s :
       {step{fat_request::fat16, 32680, 2}, step{fat_request::fat16, 32681, 4},
        step{fat_request::fat16, 262144, 4}, step{fat_request::fat16, 262145, 8},
        step{fat_request::fat16, 524289, 16}, step{fat_request::fat16, 1048577, 32},
        step{fat_request::fat16, 2097153, 64}, step{fat_request::fat32, 532480, 1},
        step{fat_request::fat32, 532481, 8}, step{fat_request::fat32, 16777216, 8},
        step{fat_request::fat32, 16777217, 16}, step{fat_request::fat32, 33554433, 32},
        step{fat_request::fat32, 67108865, 64}}) {
    const std::optional<fat_volume> volume = lay_out_fat(
        {512, 63, 16, 63, s.sectors, nullptr, false}, s.type, no_name, false, fat_moment_of(0));
    ASSERT_TRUE(volume.has_value()) << s.sectors;
    EXPECT_EQ(volume->sectors_per_cluster, s.sectors_per_cluster) << s.sectors;
  }
}

TEST(DiskFormat, TakesLabelsOfOneToElevenPrintableCharactersAsDosSpellsThem) {
  struct example {
    std::string_view text;
    std::optional<std::string_view> label;
  };
  for (const example &e : {example{"games", "GAMES      "}, example{"ABCDEFGHIJK", "ABCDEFGHIJK"},
                           example{"ABCDEFGHIJKL", std::nullopt}, example{"", std::nullopt},
                           example{" X", std::nullopt}, example{"A.B", std::nullopt},
                           example{"A~B-1", "A~B-1      "}}) {
    const std::optional<volume_label> read = read_volume_label(e.text);
    EXPECT_EQ(read ? std::optional(std::string_view(read->data(), read->size())) : std::nullopt,
              e.label)
        << e.text;
  }
}

TEST(Partition, SaysWhereAndWhatThePartitionIsInCylinderHeadSectorAndLba) {
  struct example {
    disk_geometry disk;
    fat_type file_system;
    std::array<std::uint8_t, 3> last_chs;
    std::uint8_t type;
  };
  for (const example &e : {
           // 65,535 sectors of FAT16 are under 32 MiB; 65,536 are not.
           example{{874, 5, 15, 512}, fat_type::fat16, {0x04, 0xcf, 0x69}, 0x04},
           example{{683, 3, 32, 512}, fat_type::fat16, {0x02, 0xa0, 0xaa}, 0x06},
           // Cylinder 1023 is the last CHS says: its high bits in the sector byte.
           example{{1024, 16, 63, 512}, fat_type::fat16, {0x0f, 0xff, 0xff}, 0x06},
           example{{1025, 16, 63, 512}, fat_type::fat16, {0xfe, 0xff, 0xff}, 0x0e},
           example{{300, 16, 63, 512}, fat_type::fat32, {0x0f, 0x7f, 0x2b}, 0x0b},
           example{{300, 16, 63, 512}, fat_type::fat12, {0x0f, 0x7f, 0x2b}, 0x01},
           example{{1100, 255, 63, 512}, fat_type::fat32, {0xfe, 0xff, 0xff}, 0x0c},
       }) {
    std::optional<mbr_partition> partition = whole_disk_partition(e.disk);
    ASSERT_TRUE(partition.has_value());
    type_partition(*partition, e.disk, e.file_system);
    EXPECT_EQ(partition->last_chs, e.last_chs) << e.disk.cylinders;
    EXPECT_EQ(partition->type, e.type) << e.disk.cylinders;
    EXPECT_EQ(partition->first_chs, (std::array<std::uint8_t, 3>{1, 1, 0}));
    std::vector<std::uint8_t> mbr(512);
    render_mbr(*partition, 0x12345678, mbr);
    const auto first = static_cast<std::uint8_t>(e.disk.sectors_per_track);
    EXPECT_EQ(std::vector(mbr.begin() + 446, mbr.begin() + 462),
              (std::vector<std::uint8_t>{0x80, 1, 1, 0, e.type, e.last_chs[0], e.last_chs[1],
                                         e.last_chs[2], first, 0, 0, 0,
                                         static_cast<std::uint8_t>(partition->sectors),
                                         static_cast<std::uint8_t>(partition->sectors >> 8),
                                         static_cast<std::uint8_t>(partition->sectors >> 16),
                                         static_cast<std::uint8_t>(partition->sectors >> 24)}));
    EXPECT_EQ(little(mbr, 440, 4), 0x12345678U);
  }
}

TEST(VolumeFinder, FindsOnlyWhatAValidTableOrBootSectorShowsOnAHostileDisk) {
  const disk_geometry geometry = sized(20 * mib);
  const std::optional<disk_format> format = plan_format(
      geometry, nullptr, {fat_request::by_size, partition_scheme::mbr, no_name, false, {}});
  ASSERT_TRUE(format.has_value());
  struct damage {
    const char *name;
    std::size_t at;  // in the MBR
    std::uint8_t value;
    std::size_t volumes;
  };
  for (const damage &d :
       {damage{"intact", 0, 0, 1}, damage{"status not 00 or 80", 446, 0x81, 0},
        damage{"not active", 446, 0x00, 1}, damage{"past the disk's end", 460, 0x01, 0},
        damage{"no type, yet sectors", 450, 0x00, 0}, damage{"a sector past the end", 458, 0x32, 0},
        damage{"a sector short of the end", 458, 0x30, 1},
        damage{"an unused entry", 462 + 4, 0x00, 1},
        damage{"a second entry inside", 462 + 4, 0x06, 0}, damage{"no signature", 511, 0x00, 0}}) {
    test::memory_disk disk = test::formatted_disk(geometry, *format);
    if (d.at != 0)
      disk.sector(0)[d.at] = d.value;
    const found_volumes found = find_volumes(test::io_of(disk));
    EXPECT_EQ(found.count, d.volumes) << d.name;
    EXPECT_EQ(found.volumes[0].active, d.volumes == 1 && d.at != 446) << d.name;
  }
  test::memory_disk unreadable = test::formatted_disk(geometry, *format);
  unreadable.reads_fail = true;
  EXPECT_EQ(find_volumes(test::io_of(unreadable)).count, 0U);
  unreadable.reads_fail = false;
  unreadable.bytes_per_sector = 256;  // no boot sector fits
  EXPECT_EQ(find_volumes(test::io_of(unreadable)).count, 0U);
}

TEST(RawGeometry, ComesFromTheFloppyLengthTheTableOrTheSizeRule) {
  struct example {
    std::uint64_t length;
    raw_geometry_source source;
    std::uint64_t cylinders;
    std::uint32_t heads, sectors;
  };
  for (const example &e :
       {example{163840, raw_geometry_source::floppy, 40, 1, 8},
        example{184320, raw_geometry_source::floppy, 40, 1, 9},
        example{1474560, raw_geometry_source::floppy, 80, 2, 18},
        // Not whole cylinders of 16 x 63: the most sectors and heads that are.
        example{std::uint64_t{1000} * 512, raw_geometry_source::size, 1, 20, 50},
        example{std::uint64_t{10240} * mib, raw_geometry_source::size, 4096, 128, 40},
        // Past whole sectors: 16 x 63, rounded up.
        example{std::uint64_t{1000} * 512 + 1, raw_geometry_source::size, 1, 16, 63}}) {
    const raw_geometry found = geometry_of_raw(e.length, {}, {});
    EXPECT_EQ(std::tuple(found.source, found.cylinders, found.heads, found.sectors),
              std::tuple(e.source, e.cylinders, e.heads, e.sectors))
        << e.length;
  }
}

}  // namespace
}  // namespace blankimg
