#include "atoms/bytes.h"

#include <gtest/gtest.h>

TEST(Bytes, NumberStringsKeepNulBytesAndDropHighBits) {
  EXPECT_EQ(U32BEBytes(0), ByteString(4, '\0'));
  EXPECT_EQ(U32BEBytes(258), ByteString("\x00\x00\x01\x02", 4));
  EXPECT_EQ(U16BEBytes(258), ByteString("\x01\x02", 2));
  EXPECT_EQ(U16BEBytes(258 + 65536), ByteString("\x01\x02", 2));
}

TEST(Bytes, ReadAndWriteBigEndian) {
  uint8_t b[6] = {0xFF, 0xFF, 0xFF, 0xFE, 0x12, 0x34};
  EXPECT_EQ(ReadU32BE(b, 0), 4294967294u);
  EXPECT_EQ(int32_t(ReadU32BE(b, 0)), -2);
  EXPECT_EQ(ReadU16BE(b, 4), 0x1234u);
  WriteU32BE(b, 1, 0xA1B2C3D4);
  EXPECT_EQ(ReadU32BE(b, 1), 0xA1B2C3D4u);
  WriteU16BE(b, 4, 0x1ABCD);
  EXPECT_EQ(ReadU16BE(b, 4), 0xABCDu);
  EXPECT_EQ(b[0], 0xFF);
}

TEST(Bytes, BodyHasNeverUnderflows) {
  struct Case { int64_t length, offset, width; bool has; };
  const Case cases[] = {
      {16, 12, 4, true}, {16, 13, 4, false}, {16, 16, 0, true}, {16, 17, 0, false},
      {0, 0, 4, false},  {4, -1, 4, false},  {INT64_MAX, INT64_MAX - 3, 4, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BodyHas(c.length, c.offset, c.width), c.has) << c.length << " " << c.offset;
}

TEST(Bytes, CaseBlindComparisonNeedsEqualLengths) {
  EXPECT_TRUE(EqualsIgnoringCase("MOOF", "moof"));
  EXPECT_TRUE(EqualsIgnoringCase("drm ", "DRM "));
  EXPECT_FALSE(EqualsIgnoringCase("drm", "drm "));
  EXPECT_FALSE(EqualsIgnoringCase("\xA9nam", "\x89nam"));
}
