#include "afp/bitstream7_unit.h"

#include <gtest/gtest.h>

#include <numeric>

TEST(TBitStream7, EncodedSizeIsCountPlusSevenBitsPerValue) {
  struct Case {
    std::size_t n;
    std::size_t bytes;
  } const cases[] = {{0, 2}, {1, 3}, {7, 9}, {8, 9}, {9, 10}, {1000, 877}, {65535, 57346}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<std::uint8_t> raw(c.n);
    for (std::size_t i = 0; i < c.n; ++i) raw[i] = static_cast<std::uint8_t>((i * 37) % 128);
    const auto enc = TBitStream7::Encode(raw);
    EXPECT_EQ(enc.size(), c.bytes);
    EXPECT_EQ(enc[0] | (enc[1] << 8), static_cast<int>(c.n));
    EXPECT_EQ(TBitStream7::Decode(enc), raw);
  }
}

TEST(TBitStream7, PacksLeastSignificantBitFirstAndDropsTheEighthBit) {
  // Value 0 = 1 takes bits 0..6; value 1 = 0x7F takes bits 7..13: 0x81, 0x3F.
  const std::vector<std::uint8_t> raw = {0x01, 0xFF};
  EXPECT_EQ(TBitStream7::Encode(raw), (std::vector<std::uint8_t>{0x02, 0x00, 0x81, 0x3F}));
  EXPECT_EQ(TBitStream7::Decode(TBitStream7::Encode(raw)), (std::vector<std::uint8_t>{1, 0x7F}));
}

TEST(TBitStream7, ErrorsInsteadOfOverrunning) {
  try {
    TBitStream7::Encode(std::vector<std::uint8_t>(65536));
    FAIL() << "no error";
  } catch (const EAfpCacheError& e) {
    EXPECT_STREQ(e.what(), "TBitStream7 Encode() max 65535");
  }
  auto enc = TBitStream7::Encode(std::vector<std::uint8_t>(16, 5));
  std::vector<std::uint8_t> out = {9};
  for (std::size_t cut = 0; cut < enc.size(); ++cut) {
    SCOPED_TRACE(cut);
    // The exact-size buffer matters: the decoder must not touch the byte after it.
    std::vector<std::uint8_t> shortdata(enc.begin(), enc.begin() + static_cast<long>(cut));
    EXPECT_FALSE(TBitStream7::DecodeInto(shortdata, out));
    EXPECT_TRUE(out.empty());
    EXPECT_THROW(TBitStream7::Decode(shortdata), EAfpCacheError);
  }
  EXPECT_TRUE(TBitStream7::Decode(std::vector<std::uint8_t>{0, 0}).empty());
}
