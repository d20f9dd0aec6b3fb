// Files on a FAT volume: short names as Windows makes them, long names'
// UTF-16 and checksum, times, and the order in which a volume's sectors
// reach the disk, on an in-memory disk formatted as the create job does.
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "disk/fat.hpp"
#include "disk/fat_check.hpp"
#include "disk/fat_directory.hpp"
#include "disk/format.hpp"
#include "tests/support/memory_disk.hpp"

namespace blankimg {
namespace {

std::string_view text_of(const short_name &name) {
  return {reinterpret_cast<const char *>(name.data()), name.size()};  // NOLINT
}

TEST(FatNames, MakesShortNamesAsWindowsDoes) {
  struct name_case {
    std::string_view name;
    std::string_view basis;
    bool lossy;
    bool plain;
  };
  const name_case cases[] = {
      {"README.TXT", "README  TXT", false, true},
      {"readme.txt", "README  TXT", false, false},  // case alone: no tail, a long name
      {"Long File Name.document", "LONGFILEDOC", true, false},
      {".profile", "PROFILE    ", true, false},
      {"a+b=c.t[x]", "A_B_C   T_X", true, false},
      {"r\xc3\xa9sum\xc3\xa9.txt", "R_SUM_  TXT", true, false},  // one "_" a character
      {"a.b.c", "AB      C  ", true, false},                     // only the last period counts
      {"NOEXT", "NOEXT      ", false, true},
      {"ABCDEFGHI", "ABCDEFGH   ", true, false},
  };
  for (const name_case &row : cases) {
    const basis_name basis = basis_of(row.name);
    EXPECT_EQ(text_of(basis.name), row.basis) << row.name;
    EXPECT_EQ(basis.lossy, row.lossy) << row.name;
    EXPECT_EQ(basis.plain, row.plain) << row.name;
  }
  const short_name basis = basis_of("Long File Name.document").name;
  const std::pair<std::uint32_t, std::string_view> tails[] = {
      {1, "LONGFI~1DOC"}, {12, "LONGF~12DOC"}, {9999, "LON~9999DOC"}};
  for (const auto &[number, expected] : tails) {
    EXPECT_EQ(text_of(with_tail(basis, number)), expected);
    EXPECT_EQ(tail_of(with_tail(basis, number), basis), number);
  }
  EXPECT_EQ(tail_of(basis_of("OTHER~1.DOC").name, basis), 0U);
  EXPECT_EQ(long_name_checksum(basis_of("README.TXT").name), 0x73);
}

TEST(FatNames, TakesOnlyNamesFatCanHoldAndTheirUtf16) {
  const std::pair<std::string_view, bool> names[] = {
      {"plain.txt", true},
      {"with space", true},
      {"a:b", false},
      {"star*", false},
      {"back\\slash", false},
      {"bar|", false},
      {"trailing ", false},
      {"trailing.", false},
      {".", false},
      {"..", false},
      {"\x01", false},
      {"\xc0\xaf", false},      // overlong
      {"\xed\xa0\x80", false},  // a surrogate as UTF-8
      {"\xe2\x82", false},      // cut short
      {"dice \xf0\x9f\x8e\xb2", true},
  };
  for (const auto &[name, valid] : names)
    EXPECT_EQ(is_fat_name(name), valid) << name;
  EXPECT_TRUE(is_fat_name(std::string(255, 'x')));
  EXPECT_FALSE(is_fat_name(std::string(256, 'x')));
  std::array<char16_t, most_name_units> units{};
  ASSERT_EQ(utf16_of("\xf0\x9f\x8e\xb2!", units), 3U);
  EXPECT_EQ(units[0], 0xd83c);
  EXPECT_EQ(units[1], 0xdfb2);
  std::array<char, most_name_bytes> back{};
  EXPECT_EQ(std::string_view(back.data(), utf8_of(std::span(units).first(3), back)),
            "\xf0\x9f\x8e\xb2!");
}

TEST(FatNames, KeepsTimesAtTwoSecondsWithin1980To2107) {
  const std::pair<std::uint64_t, std::uint64_t> moments[] = {
      {0, 315532800},          // before 1980: 1980 begins
      {981173107, 981173106},  // an odd second: the even one before
      {latest_fat_moment, latest_fat_moment},
  };
  for (const auto &[given, kept] : moments) {
    const fat_moment moment = fat_moment_of(given);
    EXPECT_EQ(unix_seconds_of(moment.date, moment.time), kept) << given;
  }
}

// A 20 MiB FAT16 disk in memory whose writes are recorded in order.
struct recorded_disk {
  test::memory_disk memory;
  disk_format format;
  std::vector<std::uint64_t> writes;
  sector_io inner;
};

bool record_write(void *context, std::uint64_t lba, std::span<const std::uint8_t> data) {
  auto &disk = *static_cast<recorded_disk *>(context);
  disk.writes.push_back(lba);
  return disk.inner.write(disk.inner.context, lba, data);
}

bool read_inner(void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
  auto &disk = *static_cast<recorded_disk *>(context);
  return disk.inner.read(disk.inner.context, lba, out);
}

TEST(FatDirectory, WritesChainsBeforeTheEntriesThatNameThemAndEndsALoopedDirectory) {
  const disk_geometry geometry{41, 16, 63, 512};
  recorded_disk disk{};
  disk.format = *plan_format(geometry, nullptr,
                             {fat_request::by_size, partition_scheme::mbr, no_name, false, {}});
  disk.memory = test::formatted_disk(geometry, disk.format);
  disk.inner = test::io_of(disk.memory);
  const sector_io io{&disk, read_inner, record_write, 512, disk.memory.sectors};
  static std::array<std::uint8_t, std::size_t{64} * 512> cache;
  static std::array<cache_slot, 64> slots;
  fat_access volume{};
  ASSERT_TRUE(open_fat_volume(io, disk.format.volume_start, disk.format.volume.sectors, cache,
                              slots, volume));
  directory_end root{};
  ASSERT_TRUE(find_directory_end(volume, 0, true, root));
  const std::uint32_t chain = allocate_chain(volume, 3);
  ASSERT_EQ(chain, 2U);  // the first free run, from the start
  ASSERT_EQ(add_item(volume, root, {"a file.txt", archive_attribute, chain, 5000, 0, 0}),
            add_result::added);
  ASSERT_TRUE(flush_volume(volume));
  const fat_layout &layout = volume.layout;
  const std::uint64_t fat_end = layout.first_sector + layout.root_start;
  ASSERT_EQ(disk.writes.size(), 3U);  // one FAT sector into each copy, then the root's
  EXPECT_LT(disk.writes[0], fat_end);
  EXPECT_LT(disk.writes[1], fat_end);
  EXPECT_EQ(disk.writes[2], fat_end);
  directory_item item{};
  ASSERT_EQ(find_item(volume, 0, "A FILE.TXT", item), directory_step::item);
  EXPECT_EQ(item.first_cluster, chain);
  EXPECT_EQ(text_of(item.stored_name), "AFILE~1 TXT");
  // A basis that says the whole name, taken by another entry, gets a tail.
  for (const std::string_view name : {"README.TXT", "readme.txt"})
    ASSERT_EQ(add_item(volume, root, {name, archive_attribute, 0, 0, 0, 0}), add_result::added);
  std::vector<std::string> shorts;
  directory_cursor in_root = start_of_directory(layout, 0);
  while (next_item(volume, in_root, item) == directory_step::item)
    shorts.emplace_back(text_of(item.stored_name));
  EXPECT_EQ(shorts, (std::vector<std::string>{"AFILE~1 TXT", "README  TXT", "README~1TXT"}));
  // A directory whose chain comes back to itself ends, damaged.
  const std::uint32_t looped = make_directory_cluster(volume, 0, 0, 0, true);
  set_fat_entry(volume, looped, looped);
  directory_cursor cursor = start_of_directory(layout, looped);
  directory_step step = directory_step::item;
  while ((step = next_item(volume, cursor, item)) == directory_step::item) {
  }
  EXPECT_EQ(step, directory_step::end);  // "." and ".." fill it, then a 0 entry ends it
  for (std::uint32_t i = 0; i < layout.cluster_bytes / directory_entry_bytes; ++i) {
    const std::span<std::uint8_t> entry(
        write_cached(volume, cluster_lba(layout, looped) + i / 16) + std::size_t{i % 16} * 32, 32);
    entry[0] = 'X';
    entry[11] = archive_attribute;
  }
  cursor = start_of_directory(layout, looped);
  while ((step = next_item(volume, cursor, item)) == directory_step::item) {
  }
  EXPECT_EQ(step, directory_step::damaged);
}

// Every write, to replay any first part of them.
struct logged_disk {
  test::memory_disk memory;
  std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> writes;
};

bool log_write(void *context, std::uint64_t lba, std::span<const std::uint8_t> data) {
  auto &disk = *static_cast<logged_disk *>(context);
  disk.writes.emplace_back(lba, std::vector<std::uint8_t>(data.begin(), data.end()));
  return test::io_of(disk.memory).write(&disk.memory, lba, data);
}

bool read_logged(void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
  auto &disk = *static_cast<logged_disk *>(context);
  return test::io_of(disk.memory).read(&disk.memory, lba, out);
}

TEST(FatDirectory, LeavesAtWorstLostClustersWhereverARunIsCutShort) {
  const disk_geometry geometry{41, 16, 63, 512};
  const disk_format format = *plan_format(
      geometry, nullptr, {fat_request::by_size, partition_scheme::mbr, no_name, false, {}});
  const test::memory_disk blank = test::formatted_disk(geometry, format);
  logged_disk disk{blank, {}};
  const sector_io io{&disk, read_logged, log_write, 512, blank.sectors};
  // A cache of four sectors: sectors are written as they make room.
  std::array<std::uint8_t, std::size_t{4} * 512> cache{};
  std::array<cache_slot, 4> slots{};
  fat_access volume{};
  ASSERT_TRUE(
      open_fat_volume(io, format.volume_start, format.volume.sectors, cache, slots, volume));
  directory_end root{};
  ASSERT_TRUE(find_directory_end(volume, 0, false, root));
  for (std::uint32_t i = 0; i < 40; ++i) {
    std::array<char, 32> name{};
    static_cast<void>(std::snprintf(name.data(), name.size(), "file number %u", i));
    const std::uint32_t clusters = 1 + i % 3;
    const std::uint32_t chain = allocate_chain(volume, clusters);
    ASSERT_EQ(add_item(volume, root,
                       {name.data(), archive_attribute, chain,
                        clusters * volume.layout.cluster_bytes, 0, 0}),
              add_result::added);
    if (i % 10 == 0) {
      const std::uint32_t folder = make_directory_cluster(volume, 0, 0, 0, false);
      std::array<char, 40> folder_name{};
      static_cast<void>(
          std::snprintf(folder_name.data(), folder_name.size(), "%s dir", name.data()));
      ASSERT_EQ(add_item(volume, root, {folder_name.data(), directory_attribute, folder, 0, 0, 0}),
                add_result::added);
    }
  }
  ASSERT_TRUE(flush_volume(volume));
  for (std::size_t cut = 0; cut <= disk.writes.size(); ++cut) {
    logged_disk replayed{blank, {}};
    for (std::size_t i = 0; i < cut; ++i)
      std::ranges::copy(disk.writes[i].second,
                        replayed.memory.sector(disk.writes[i].first).begin());
    const sector_io replay_io{&replayed, read_logged, log_write, 512, blank.sectors};
    fat_access again{};
    ASSERT_TRUE(open_fat_volume(replay_io, format.volume_start, format.volume.sectors, cache, slots,
                                again));
    std::vector<std::uint8_t> map(
        static_cast<std::size_t>(cluster_map_bytes(again.layout.clusters)));
    const volume_findings findings = check_fat_volume(again, map);
    // The copies of a FAT sector are written one after the other: cut
    // between them, the FATs differ until fsck.fat takes the first.
    for (std::size_t i = 0; i < findings.listed_count; ++i)
      EXPECT_TRUE(findings.listed[i].problem == volume_problem::lost_clusters ||
                  findings.listed[i].problem == volume_problem::fats_differ)
          << "cut after " << cut << " of " << disk.writes.size() << " writes";
  }
}

}  // namespace
}  // namespace blankimg
