#include "tool/command_line.hpp"

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace blankimg {
namespace {

TEST(ReadNumber, FollowsAtoiAndRefusesWhatAtoiCannotName) {
  struct example {
    const char *text;
    std::optional<std::uint32_t> value;
  };
  const example examples[] = {
      {"512", 512},
      {"512abc", 512},
      {" \t\n\v\f\r7", 7},
      {"+9", 9},
      {"-1", 4294967295U},
      {"-0", 0},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"+-1", 0},
      {"- 1", 0},
      {"1 2", 1},
      {"0x10", 0},
      {"4294967295", 4294967295U},
      {"00000000000000000004294967295", 4294967295U},
      {"4294967296", std::nullopt},
      {"-2147483648", 2147483648U},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999999", std::nullopt},
  };
  for (const example &e : examples)
    EXPECT_EQ(read_number(e.text), e.value) << '"' << e.text << '"';
}

run_status plan(std::vector<const char *> arguments, image_plan &result) {
  arguments.insert(arguments.begin(), "blankimg");
  return plan_image(arguments, result);
}

// Largest disk of 1048575-byte blocks whose image stays within 2^44 bytes.
constexpr const char *largest_block_count_in_reach = "16777104";
constexpr const char *one_block_too_many = "16777105";

TEST(PlanImage, RefusesExactlyWhatTheFieldsCannotHold) {
  struct example {
    std::vector<const char *>
        arguments;  // dest, blocksize, cylinders, heads, sectors, bytes/sector
    run_status status;
  };
  const example examples[] = {
      {{"img", "4294967297", "1", "1", "3", "512"}, run_status::invalid_blocksize},
      {{"img", "2", "4294967296", "1", "3", "512"}, run_status::invalid_geometry},
      {{"img", "2", "1", "1", "3", "-2147483649"}, run_status::invalid_geometry},
      {{"img", "1", "1", "1", "1", "1048575"}, run_status::ok},
      {{"img", "1", "1", "1", "1", "1048576"}, run_status::invalid_geometry},
      {{"img", "0", "1", "1", "1", "1048576"}, run_status::invalid_blocksize},
      {{"img", "2", "1", "1", "1", "524288"}, run_status::invalid_blocksize},
      {{"img", "2047", "1", "1", "1", "512"}, run_status::ok},
      {{"img", "1", "4294967295", "1", "1", "0"}, run_status::ok},
      {{"img", "1", "2147483648", "2", "1", "0"}, run_status::image_too_large},
      {{"img", "2", "2147483648", "2", "1", "0"}, run_status::ok},
      {{"img", "1", "-1", "-1", "-1", "0"}, run_status::image_too_large},
      {{"img", "2047", "-1", "-1", "-1", "0"}, run_status::image_too_large},
      {{"img", "1", largest_block_count_in_reach, "1", "1", "1048575"}, run_status::ok},
      {{"img", "1", "4255487674", "1", "1", "4126"}, run_status::ok},  // 2^44 - 12 bytes
      {{"img", "1", "4061922430", "1", "1", "4323"}, run_status::image_too_large},  // 2^44 + 2
      {{"img", "1", one_block_too_many, "1", "1", "1048575"}, run_status::image_too_large},
  };
  for (const example &e : examples) {
    image_plan result{};
    std::string shown;
    for (const char *argument : e.arguments)
      shown += std::string(argument) + ' ';
    EXPECT_EQ(plan(e.arguments, result), e.status) << shown;
  }
}

TEST(PlanImage, ReadsOptionsWhereverTheyStandBeforeADoubleDashAndSixArgumentsAsOperands) {
  struct example {
    std::vector<const char *> arguments;
    run_status status;
    const char *dest = "img";
    preallocation mode = preallocation::falloc;
  };
  const example examples[] = {
      {{"--preallocation=off", "img", "2", "1", "1", "3", "128"},
       run_status::ok,
       "img",
       preallocation::off},
      {{"--preallocation", "full", "img", "2", "1", "1", "3", "128"},
       run_status::ok,
       "img",
       preallocation::full},
      {{"--preallocation=off", "--preallocation=full", "img", "2", "1", "1", "3", "128"},
       run_status::ok,
       "img",
       preallocation::full},
      {{"--", "--img", "2", "1", "1", "3", "128"}, run_status::ok, "--img"},
      {{"--preallocation=off", "--", "--", "2", "1", "1", "3", "128"},
       run_status::ok,
       "--",
       preallocation::off},
      {{"--img", "2", "1", "1", "3", "128"}, run_status::ok, "--img"},
      {{"-img", "2", "1", "1", "3", "128"}, run_status::ok, "-img"},
      // An argument that is exactly an option is one, six arguments or not.
      {{"--preallocation=off", "img", "2", "1", "1", "3"}, run_status::usage},
      {{"--progress", "18", "80", "2", "18", "512"}, run_status::usage},
      {{"img", "2", "1", "1", "3", "--sync"}, run_status::usage},
      {{"--preallocation=off", "--sector-size=4096", "--size=1T", "--progress", "--sync", "img"},
       run_status::ok,
       "img",
       preallocation::off},
      {{"--odd-name", "2", "1", "1", "3", "128"}, run_status::ok, "--odd-name"},
      // Options may follow the operands, as GNU tools take them.
      {{"img", "2", "--preallocation=off", "1", "1", "3", "128"},
       run_status::ok,
       "img",
       preallocation::off},
      {{"--info", "p.img", "--output=json"}, run_status::ok, "p.img"},
      {{"x.img", "--size=10M"}, run_status::ok, "x.img"},
      {{"--size=10M", "x.img", "--sync=1"}, run_status::usage},
      {{"--", "--sync", "1", "1", "3", "128"}, run_status::invalid_blocksize},
      {{"--preallocation=OFF", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--preallocation", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--preallocation"}, run_status::usage},
      {{"--preallocation=off=on", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--progress-bar", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--preallocation=full", "img", "2", "1", "1", "3", "128", "9"}, run_status::usage},
      {{"--preallocation=full", "img", "0", "1", "1", "3", "128"}, run_status::invalid_blocksize},
  };
  for (const example &e : examples) {
    image_plan result{};
    ASSERT_EQ(plan(e.arguments, result), e.status) << e.arguments.front();
    if (e.status == run_status::ok) {
      EXPECT_STREQ(result.dest, e.dest);
      EXPECT_EQ(result.options.mode, e.mode) << e.arguments.front();
    }
  }
}

TEST(PlanImage, TakesOneFileJobOnTheImageAloneOrAddsToADiskBeingMadeAndFormatsIt) {
  struct example {
    std::vector<const char *> arguments;
    failure_cause cause;
    bool adds_to_new = false;
  };
  const example examples[] = {
      {{"--add=d", "--size=10M", "x.img"}, failure_cause::none, true},
      {{"--add=d", "--label=games", "--floppy=1.44M", "x.img"}, failure_cause::none, true},
      {{"--add=d", "x.img", "63", "20", "16", "63", "512"}, failure_cause::none, true},
      {{"--add=d", "--add=e/.", "--force", "--volume=2", "x.img"}, failure_cause::none},
      {{"--add=d", "--dry-run", "--output=json", "x.img"}, failure_cause::none},
      {{"--extract=o", "--force", "x.img"}, failure_cause::none},
      {{"--list", "--output=json", "--volume=1", "x.img"}, failure_cause::none},
      {{"--list", "--force", "x.img"}, failure_cause::files_alone},
      {{"--list", "--extract=o", "x.img"}, failure_cause::files_alone},
      {{"--extract=o", "--progress", "x.img"}, failure_cause::files_alone},
      {{"--extract=o", "--output=json", "x.img"}, failure_cause::files_alone},
      {{"--add=d", "--from-raw=r", "x.img"}, failure_cause::files_alone},
      {{"--add=d", "--size=10M", "--force", "x.img"}, failure_cause::files_alone},
      {{"--add=d", "--fat=16", "x.img"}, failure_cause::files_alone},
      {{"--volume=2", "--info", "x.img"}, failure_cause::files_alone},
      {{"--force", "x.img"}, failure_cause::files_alone},
      {{"--list", "a.img", "b.img"}, failure_cause::wrong_operands},
      {{"--list", "--volume=0", "x.img"}, failure_cause::invalid_value},
      {{"--add=", "x.img"}, failure_cause::invalid_value},
  };
  for (const example &e : examples) {
    image_plan result{};
    const run_status status = plan(e.arguments, result);
    EXPECT_EQ(result.why.cause, e.cause) << e.arguments[0] << " " << e.arguments[1];
    if (e.cause != failure_cause::none)
      continue;
    EXPECT_EQ(status, run_status::ok) << e.arguments[0] << " " << e.arguments[1];
    EXPECT_EQ(result.adds_to_new, e.adds_to_new) << e.arguments[0];
    EXPECT_EQ(result.formatted, e.adds_to_new) << e.arguments[0];
    EXPECT_STREQ(result.dest, "x.img");
  }
  std::vector<const char *> many(most_added_paths + 1, "--add=d");
  many.push_back("x.img");
  image_plan result{};
  EXPECT_EQ(plan(many, result), run_status::usage);
  EXPECT_EQ(result.why.cause, failure_cause::too_many_adds);
}

TEST(PlanImage, DerivesTheGeometryFromASizeOrAFloppyFormat) {
  struct example {
    std::vector<const char *> arguments;
    run_status status;
    std::array<std::uint32_t, 5> disk = {};  // blocksize, cylinders, heads, sectors, bytes/sector
  };
  const example examples[] = {
      {{"--size=1", "img"}, run_status::ok, {63, 1, 16, 63, 512}},
      {{"--size=516096B", "img"}, run_status::ok, {63, 1, 16, 63, 512}},  // one cylinder exactly
      {{"--size", "516097", "img"}, run_status::ok, {63, 2, 16, 63, 512}},
      {{"--size=10G", "img"}, run_status::ok, {63, 20806, 16, 63, 512}},
      {{"--size=504MiB", "img"}, run_status::ok, {63, 1024, 16, 63, 512}},
      {{"--size=10GB", "img"}, run_status::ok, {63, 19377, 16, 63, 512}},
      // Units in any case: 504mb, 504mB and 504MB alike are powers of 1000;
      // 504MiB, 504mib and 504M of 1024.
      {{"--size=504mb", "img"}, run_status::ok, {63, 977, 16, 63, 512}},
      {{"--size=504mB", "img"}, run_status::ok, {63, 977, 16, 63, 512}},
      {{"--size=504mib", "img"}, run_status::ok, {63, 1024, 16, 63, 512}},
      {{"--size=504M", "img"}, run_status::ok, {63, 1024, 16, 63, 512}},
      {{"--size=504Mi", "img"}, run_status::invalid_size},
      {{"--size=504MBB", "img"}, run_status::invalid_size},
      {{"--size=1t", "--blocksize=1", "img"}, run_status::ok, {1, 2130441, 16, 63, 512}},
      {{"--size=1g", "--sector-size=4096", "img"}, run_status::ok, {63, 261, 16, 63, 4096}},
      {{"--size=17587823984640", "img"}, run_status::ok, {63, 34078590, 16, 63, 512}},
      {{"--size=17587823984641", "img"}, run_status::image_too_large},        // past 2^44 bytes
      {{"--size=18446744073709551616", "img"}, run_status::image_too_large},  // 2^64
      {{"--size=16777216T", "img"}, run_status::image_too_large},             // 2^64 by the unit
      {{"--floppy=1.44m", "img"}, run_status::ok, {18, 80, 2, 18, 512}},
      {{"--floppy=1440", "img"}, run_status::ok, {18, 80, 2, 18, 512}},
      {{"--floppy=180K", "img"}, run_status::ok, {9, 40, 1, 9, 512}},
      {{"--floppy=320K", "img"}, run_status::ok, {8, 40, 2, 8, 512}},
      {{"--floppy=360K", "img"}, run_status::ok, {9, 40, 2, 9, 512}},
      {{"--floppy=1.2M", "img"}, run_status::ok, {15, 80, 2, 15, 512}},
      {{"--floppy=1.68M", "img"}, run_status::ok, {21, 80, 2, 21, 512}},
      {{"--floppy=1.44MB", "img"}, run_status::ok, {18, 80, 2, 18, 512}},
      {{"--floppy=720kb", "img"}, run_status::ok, {9, 80, 2, 9, 512}},
      {{"--floppy=2880K", "img"}, run_status::ok, {36, 80, 2, 36, 512}},
      {{"--floppy=1.2", "img"}, run_status::invalid_size},
      {{"--floppy=720M", "img"}, run_status::invalid_size},
      {{"--size=1G", "--blocksize=64k", "img"}, run_status::invalid_blocksize},
      {{"--size=1G", "--blocksize=+8", "img"}, run_status::invalid_blocksize},
      {{"--size=1G", "--sector-size=4096x", "img"}, run_status::invalid_geometry},
      {{"--dry-run", "--no-clobber", "--size=1G", "img"}, run_status::ok, {63, 2081, 16, 63, 512}},
      {{"--dry-run", "--progress", "--size=1G", "img"}, run_status::usage},
      {{"--dry-run", "--preallocation=off", "--size=1G", "img"}, run_status::usage},
      {{"--info", "--sync", "img"}, run_status::usage},
      {{"--info", "--no-clobber", "img"}, run_status::usage},
      {{"--floppy", "160K", "--blocksize=1", "img"}, run_status::ok, {1, 40, 1, 8, 512}},
      {{"--floppy=", "--blocksize=0", "img"}, run_status::invalid_blocksize},
      {{"--size=1b", "img"}, run_status::invalid_size},
      {{"--size=1.5K", "img"}, run_status::invalid_size},
      {{"--size=-1", "img"}, run_status::invalid_size},
      {{"--size=0K", "img"}, run_status::invalid_size},
      {{"--size=", "img"}, run_status::invalid_size},
      {{"--size=x", "--blocksize=2048", "img"}, run_status::invalid_blocksize},
      {{"--size=x", "--sector-size=1000", "img"}, run_status::invalid_size},
      {{"--size=1G", "--sector-size=1000", "img"}, run_status::invalid_geometry},
      {{"--size=1G", "--blocksize=2047", "--sector-size=4096", "img"},
       run_status::invalid_blocksize},
      {{"--size=1G"}, run_status::usage},
      {{"--floppy=1.44M", "img", "2"}, run_status::usage},
      {{"--sector-size=512", "--floppy=1.44M", "img"}, run_status::usage},
      {{"--blocksize=2", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--output=json", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--output=xml", "--dry-run", "img", "2", "1", "1", "3", "128"}, run_status::usage},
      {{"--info"}, run_status::usage},
      {{"--info", "--size=1G", "img"}, run_status::usage},
  };
  for (const example &e : examples) {
    image_plan result{};
    ASSERT_EQ(plan(e.arguments, result), e.status) << e.arguments.front();
    const image_header &h = result.header;
    if (e.status == run_status::ok) {
      EXPECT_EQ(e.disk,
                (std::array{h.blocksize, h.cylinders, h.heads, h.sectors, h.bytes_per_sector}))
          << e.arguments.front();
    }
  }
}

TEST(PlanImage, CountsBlocksOfASectorTotalBeyond32Bits) {
  image_plan result{};
  // 65536 * 65536 * 3 sectors = 3 * 2^32, in blocks of 2047: rounded up.
  ASSERT_EQ(plan({"img", "2047", "65536", "65536", "3", "0"}, result), run_status::ok);
  EXPECT_EQ(result.header.block_count, 6294530U);
}

// The fields the PC's BIOS, DOS and every FAT reader take at fixed places:
// a floppy's standard parameters, and an MBR's entry within cylinder 1023
// and past it.
TEST(PlanImage, FormatsWithTheFieldsWhereThePcReadsThem) {
  struct example {
    std::vector<const char *> arguments;
    std::uint64_t lba;
    std::size_t at;
    std::vector<std::uint8_t> bytes;
  };
  const example examples[] = {
      {{"--fat", "--floppy=1.44M", "img"}, 0, 11, {0x00, 0x02, 0x01, 0x01, 0x00, 0x02, 0xe0,
                                                   0x00, 0x40, 0x0b, 0xf0, 0x09, 0x00, 0x12,
                                                   0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x29}},
      {{"--fat", "--size=10M", "img"},
       0,
       446,
       {0x80, 0x01, 0x01, 0x00, 0x01, 0x0f, 0x3f, 0x14, 0x3f, 0x00, 0x00, 0x00, 0x71, 0x52, 0x00,
        0x00}},
      {{"--fat=16", "--size=1G", "img"}, 0, 450, {0x0e, 0xfe, 0xff, 0xff}},
      {{"--fat", "--size=10M", "img"}, 0, 510, {0x55, 0xaa}},
      {{"--fat=32", "--size=100M", "img"}, 64, 484, {0x72, 0x72, 0x41, 0x61}},  // FSInfo
  };
  for (const example &e : examples) {
    image_plan result{};
    ASSERT_EQ(plan(e.arguments, result), run_status::ok) << e.arguments[1];
    ASSERT_TRUE(result.formatted);
    std::vector<std::uint8_t> sector(result.header.bytes_per_sector);
    render_format_sector(result.format, e.lba, sector);
    EXPECT_EQ(std::vector<std::uint8_t>(
                  sector.begin() + static_cast<std::ptrdiff_t>(e.at),
                  sector.begin() + static_cast<std::ptrdiff_t>(e.at + e.bytes.size())),
              e.bytes)
        << e.arguments[1] << " sector " << e.lba << " at " << e.at;
  }
}

}  // namespace
}  // namespace blankimg
