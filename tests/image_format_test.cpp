#include "image/image_format.hpp"
#include "engine/output_stream.hpp"
#include "platform/system.hpp"

#include <array>
#include <limits>

#include <gtest/gtest.h>

#include "tests/test_support.hpp"

namespace blankimg {
namespace {

using test::bytes;

TEST(PutBigendianUint32, StoresMostSignificantByteFirstAndNothingElse) {
  struct example {
    std::uint32_t value;
    std::array<std::uint8_t, 4> stored;
  };
  const example examples[] = {
      {0x01020304U, {0x01, 0x02, 0x03, 0x04}},
      {0x00000080U, {0x00, 0x00, 0x00, 0x80}},
      {0xfffffffeU, {0xff, 0xff, 0xff, 0xfe}},
  };
  for (const example &e : examples) {
    std::array<std::uint8_t, 6> buffer;
    buffer.fill(0xaa);
    put_bigendian_uint32(std::span(buffer).subspan<1, 4>(), e.value);
    const std::array<std::uint8_t, 6> expected = {0xaa,        e.stored[0], e.stored[1],
                                                  e.stored[2], e.stored[3], 0xaa};
    EXPECT_EQ(buffer, expected) << std::hex << e.value;
  }
}

TEST(MapEntry, PacksLengthAboveOffsetAndDropsWhatDoesNotFit) {
  struct example {
    const char *name;
    std::uint64_t offset;
    std::uint32_t length;
    std::array<std::uint8_t, 8> stored;
  };
  const example examples[] = {
      {"first block of the worked example", 104, 256, {0x00, 0x10, 0, 0, 0, 0, 0x00, 0x68}},
      {"second block of the worked example", 360, 256, {0x00, 0x10, 0, 0, 0, 0, 0x01, 0x68}},
      {"length of exactly 2^20 keeps only the offset", 104, 1U << 20, {0, 0, 0, 0, 0, 0, 0, 0x68}},
      {"offset of exactly 2^44 keeps only the length",
       1ULL << 44,
       256,
       {0x00, 0x10, 0, 0, 0, 0, 0, 0}},
      {"largest length and offset fill every bit",
       (1ULL << 44) - 1,
       (1U << 20) - 1,
       {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
      {"bits above both fields are dropped",
       (1ULL << 63) | 1,
       0xfff00005U,
       {0x00, 0x00, 0x50, 0, 0, 0, 0, 0x01}},
  };
  for (const example &e : examples) {
    std::array<std::uint8_t, 8> stored{};
    put_mapentry(stored, encode_mapentry(e.offset, e.length));
    EXPECT_EQ(stored, e.stored) << e.name;
  }
}

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
