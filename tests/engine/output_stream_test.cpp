// The one way bytes reach an image: positioned writes, and writes that
// follow on where the stream cannot seek.
#include "engine/output_stream.hpp"

#include <array>
#include <limits>

#include <gtest/gtest.h>

#include "platform/system.hpp"
#include "tests/support/test_support.hpp"

namespace blankimg {
namespace {

using test::bytes;

struct FseekwriteTest : ::testing::Test {
  void SetUp() override {
    const platform::destination opened = platform::open_destination(path.c_str(), false);
    ASSERT_TRUE(opened.opened);
    stream = {.handle = opened.handle, .positioned = opened.positioned, .position = 0};
    is_open = true;
  }
  void TearDown() override {
    if (is_open) {
      EXPECT_TRUE(platform::close_destination(stream.handle));
    }
  }
  bytes close_and_read() {
    EXPECT_TRUE(platform::close_destination(stream.handle));
    is_open = false;
    return test::read_file(path);
  }
  test::scratch_dir dir;
  std::string path = dir.file("out");
  output_stream stream{};
  bool is_open = false;
};

TEST_F(FseekwriteTest, CountZeroWritesNothingAndReturnsZero) {
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(fseekwrite(stream, 1000, 0, &byte), 0U);
  EXPECT_TRUE(close_and_read().empty());
}

TEST_F(FseekwriteTest, WritesLandAtTheirPositionsInAnyOrder) {
  const std::array<std::uint8_t, 2> first = {1, 2};
  const std::array<std::uint8_t, 2> second = {3, 4};
  const std::array<std::uint8_t, 2> third = {5, 6};
  EXPECT_EQ(fseekwrite(stream, 4, 2, first.data()), 2U);
  EXPECT_EQ(fseekwrite(stream, 6, 2, second.data()), 2U);  // follows on
  EXPECT_EQ(fseekwrite(stream, 1, 2, third.data()), 2U);   // goes back
  EXPECT_EQ(close_and_read(), (bytes{0, 5, 6, 0, 1, 2, 3, 4}));
}

TEST_F(FseekwriteTest, PositionBeyond32BitsLandsExactlyThere) {
  const std::uint64_t position = (std::uint64_t{1} << 32) + 3;
  const std::array<std::uint8_t, 4> data = {0xde, 0xad, 0xbe, 0xef};
  EXPECT_EQ(fseekwrite(stream, position, 4, data.data()), 4U);
  ASSERT_TRUE(platform::close_destination(stream.handle));
  is_open = false;
  EXPECT_EQ(test::file_size(path), position + 4);
  EXPECT_EQ(test::read_part(path, position - 1, 5), (bytes{0, 0xde, 0xad, 0xbe, 0xef}));
}

TEST_F(FseekwriteTest, PositionTheFileCannotReachFailsTheSeekAndWritesNothing) {
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(fseekwrite(stream, std::numeric_limits<std::uint64_t>::max(), 1, &byte), 0U);
  EXPECT_TRUE(close_and_read().empty());
}

image_header worked_example_header() {
  return image_header{.header_length = 80,
                      .fixed_word_a = 2,
                      .fixed_word_b = 2,
                      .fixed_word_c = 0,
                      .blocksize = 2,
                      .block_count = 2,
                      .cylinders = 1,
                      .heads = 1,
                      .sectors = 3,
                      .bytes_per_sector = 128,
                      .zero_block_a = {},
                      .zero_block_b = {}};
}

TEST_F(FseekwriteTest, WriteHeaderStoresEveryFieldAtItsOffset) {
  EXPECT_EQ(write_header(stream, worked_example_header()), 0);
  const bytes image = test::worked_example_image();
  EXPECT_EQ(close_and_read(), bytes(image.begin(), image.begin() + header_length));
}

TEST_F(FseekwriteTest, WriteHeaderFailsOnAFileOpenForReadingOnly) {
  platform::image_source source{};
  ASSERT_TRUE(platform::open_source(path.c_str(), source));
  output_stream reading{.handle = source.handle, .positioned = true, .position = 0};
  EXPECT_EQ(write_header(reading, worked_example_header()), 1);
  platform::close_source(source);
}

// A pipe or a device takes only the write that follows on from the last.
TEST_F(FseekwriteTest, AStreamThatCannotSeekTakesOnlyWritesThatFollowOn) {
  stream.positioned = false;
  const std::array<std::uint8_t, 2> data = {1, 2};
  EXPECT_EQ(fseekwrite(stream, 0, 2, data.data()), 2U);
  EXPECT_EQ(fseekwrite(stream, 2, 2, data.data()), 2U);
  EXPECT_EQ(fseekwrite(stream, 1, 2, data.data()), 0U);
  EXPECT_EQ(close_and_read(), (bytes{1, 2, 1, 2}));
}

}  // namespace
}  // namespace blankimg
