#include "tool/run.hpp"

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

TEST(PlanImage, ChecksInOrderAndKeepsEveryDerivedSizeInItsField) {
  struct example {
    std::vector<const char *> arguments;  // blocksize, cylinders, heads, sectors, bytes/sector
    run_status status;
  };
  const example examples[] = {
      {{"img", "2", "1", "1", "3"}, run_status::usage},
      {{"img", "2", "1", "1", "3", "128", "x"}, run_status::usage},
      {{"img", "2047", "1", "1", "3", "512"}, run_status::ok},
      {{"img", "2048", "1", "1", "3", "128"}, run_status::invalid_blocksize},
      {{"img", "0", "0", "1", "3", "512"}, run_status::invalid_blocksize},
      {{"img", "-1", "1", "1", "3", "512"}, run_status::invalid_blocksize},
      {{"img", "4294967297", "1", "1", "3", "512"}, run_status::invalid_blocksize},
      {{"img", "2", "0", "1", "3", "512"}, run_status::invalid_geometry},
      {{"img", "2", "1", "0", "3", "512"}, run_status::invalid_geometry},
      {{"img", "2", "1", "1", "0", "512"}, run_status::invalid_geometry},
      {{"img", "2", "4294967296", "1", "3", "512"}, run_status::invalid_geometry},
      {{"img", "2", "1", "1", "3", "-2147483649"}, run_status::invalid_geometry},
      {{"img", "1", "1", "1", "1", "1048575"}, run_status::ok},
      {{"img", "1", "1", "1", "1", "1048576"}, run_status::invalid_geometry},
      {{"img", "0", "1", "1", "1", "1048576"}, run_status::invalid_blocksize},
      {{"img", "2", "1", "1", "1", "524288"}, run_status::invalid_blocksize},
      {{"img", "2047", "1", "1", "1", "1024"}, run_status::invalid_blocksize},
      {{"img", "2047", "1", "1", "1", "512"}, run_status::ok},
      {{"img", "1", "4294967295", "1", "1", "0"}, run_status::ok},
      {{"img", "1", "2147483648", "2", "1", "0"}, run_status::image_too_large},
      {{"img", "2", "2147483648", "2", "1", "0"}, run_status::ok},
      {{"img", "1", "-1", "-1", "-1", "0"}, run_status::image_too_large},
      {{"img", "2047", "-1", "-1", "-1", "0"}, run_status::image_too_large},
      {{"img", "1", largest_block_count_in_reach, "1", "1", "1048575"}, run_status::ok},
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

TEST(PlanImage, FillsTheHeaderOfTheWorkedExample) {
  image_plan result{};
  ASSERT_EQ(plan({"img", "2", "1", "1", "3", "128"}, result), run_status::ok);
  EXPECT_STREQ(result.dest, "img");
  EXPECT_EQ(result.block_bytes, 256U);
  const image_header &h = result.header;
  EXPECT_EQ(std::vector<std::uint32_t>({h.header_length, h.fixed_word_a, h.fixed_word_b,
                                        h.fixed_word_c, h.blocksize, h.block_count, h.cylinders,
                                        h.heads, h.sectors, h.bytes_per_sector}),
            std::vector<std::uint32_t>({80, 2, 2, 0, 2, 2, 1, 1, 3, 128}));
  EXPECT_EQ(h.zero_block_a, (std::array<std::uint8_t, 16>{}));
  EXPECT_EQ(h.zero_block_b, (std::array<std::uint8_t, 16>{}));
}

TEST(PlanImage, CountsBlocksOfASectorTotalBeyond32Bits) {
  image_plan result{};
  // 65536 * 65536 * 3 sectors = 3 * 2^32, in blocks of 2047: rounded up.
  ASSERT_EQ(plan({"img", "2047", "65536", "65536", "3", "0"}, result), run_status::ok);
  EXPECT_EQ(result.header.block_count, 6294530U);
}

TEST(ProgramName, FallsBackToTheToolsNameWithoutOne) {
  const std::array<const char *, 1> named = {"./mkimg"};
  const std::array<const char *, 1> unnamed = {""};
  const std::array<const char *, 1> null_name = {nullptr};
  EXPECT_STREQ(program_name(named), "./mkimg");
  EXPECT_STREQ(program_name(unnamed), "blankimg");
  EXPECT_STREQ(program_name(null_name), "blankimg");
  EXPECT_STREQ(program_name({}), "blankimg");
}

}  // namespace
}  // namespace blankimg
