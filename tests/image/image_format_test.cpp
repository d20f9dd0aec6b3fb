#include "image/image_format.hpp"

#include <array>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/test_support.hpp"

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

}  // namespace
}  // namespace blankimg
