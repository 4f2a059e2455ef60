// The big-endian converters, built on this host with the byte order forced: every field of 16
// bits or more is reversed, byte fields never move, and a second call restores.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "KepFileIO.h"
#include "TGAIO.h"
#include "mac/MacSpecific.h"

static_assert(ZEL_HOST_BIG_ENDIAN == 1, "build with ZEL_HOST_BIG_ENDIAN=1");

using Bytes = std::vector<unsigned char>;

TEST(ByteOrderBigEndian, ValueSwaps) {
  EXPECT_EQ(ZelEndian16_Swap(0x1234), 0x3412);
  EXPECT_EQ(ZelEndian32_Swap(0x12345678u), 0x78563412u);
  EXPECT_EQ(ZelEndian64_Swap(0x0102030405060708ull), 0x0807060504030201ull);
  // Patterns whose reversal is a signalling NaN survive both ways bit for bit.
  const uint32_t bits32[2] = {0x0100807Fu, 0x7F800001u};
  const uint64_t bits64[2] = {0x010000000000F07Full, 0x7FF0000000000001ull};
  float f[3];
  double d[3];
  std::memcpy(&f[0], &bits32[0], 4);
  std::memcpy(&d[0], &bits64[0], 8);
  for (int i = 1; i < 3; ++i) f[i] = ZelEndianFloat32_Swap(f[i - 1]), d[i] = ZelEndianFloat64_Swap(d[i - 1]);
  EXPECT_EQ(std::memcmp(&f[1], &bits32[1], 4) | std::memcmp(&f[2], &bits32[0], 4), 0);
  EXPECT_EQ(std::memcmp(&d[1], &bits64[1], 8) | std::memcmp(&d[2], &bits64[0], 8), 0);
}

TEST(ByteOrderBigEndian, ArrayConvertersReverseEachElement) {
  using Converter = uint32 (*)(void*, uint32);
  const std::pair<Converter, size_t> cases[] = {
      {ZelByteSwap_bool8, 1}, {ZelByteSwap_char8, 1},  {ZelByteSwap_int8, 1},   {ZelByteSwap_uint8, 1},
      {ZelByteSwap_int16, 2}, {ZelByteSwap_uint16, 2}, {ZelByteSwap_int32, 4},  {ZelByteSwap_uint32, 4},
      {ZelByteSwap_float32, 4}, {ZelByteSwap_float64, 8}};
  Bytes before(1 + 3 * 8 + 1);
  for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<unsigned char>(i + 1);
  for (const auto& [convert, size] : cases) {
    SCOPED_TRACE(size);
    Bytes data = before, expected = before;
    EXPECT_EQ(convert(data.data() + 1, 0), 1u);
    EXPECT_EQ(data, before);
    EXPECT_EQ(convert(data.data() + 1, 3), 1u);  // at an odd address: no alignment assumed
    for (size_t e = 0; e < 3; ++e)
      std::reverse(expected.begin() + 1 + e * size, expected.begin() + 1 + (e + 1) * size);
    EXPECT_EQ(data, expected);
  }
}

TEST(ByteOrderBigEndian, TargaHeaderFromEitherByteOrder) {
  const Bytes little = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0x18, 8};  // 256 x 256
  const Bytes big = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0x18, 8};
  Bytes data = little;
  ZelByteSwap_TGAHeaderInfo(data.data(), 1);
  EXPECT_EQ(data, big);
  ZelByteSwap_TGAHeaderInfo(data.data(), 1);
  EXPECT_EQ(data, little);

  // Two headers back to back, every byte different: exactly the six 16-bit fields reverse.
  Bytes two(36), expected(36);
  for (size_t i = 0; i < 36; ++i) two[i] = expected[i] = static_cast<unsigned char>(0x40 + i);
  for (size_t base : {0, 18})
    for (size_t field : {3, 5, 8, 10, 12, 14}) std::swap(expected[base + field], expected[base + field + 1]);
  EXPECT_EQ(ZelByteSwap_TGAHeaderInfo(two.data(), 2), 1u);
  EXPECT_EQ(two, expected);
}

TEST(ByteOrderBigEndian, ZelBitmapKeepsBitDepthAndPixels) {
  auto fields = [](const ZelBitmap& b) {
    return std::make_tuple(b.width, b.height, b.bitDepth, uint32_t(b.format), (const void*)b.pixels);
  };
  unsigned char texel = 0;
  ZelBitmap bmp[2] = {{0x0102, 0x0304, 0x20, ZelBitmapFormatEnum(0x0A0B0C0D), &texel},
                      {0x1122, 0x3344, 0x40, ZEL_BITMAP_FORMAT_1010102, nullptr}};
  const auto first = fields(bmp[0]), second = fields(bmp[1]);
  EXPECT_EQ(ZelByteSwap_ZelBitmap(bmp, 2), 1u);
  EXPECT_EQ(fields(bmp[0]), std::make_tuple(0x0201, 0x0403, 0x20, 0x0D0C0B0Au, (const void*)&texel));
  EXPECT_EQ(fields(bmp[1]), std::make_tuple(0x2211, 0x4433, 0x40, 0x0A000000u, (const void*)nullptr));
  ZelByteSwap_ZelBitmap(bmp, 2);
  EXPECT_EQ(fields(bmp[0]), first);
  EXPECT_EQ(fields(bmp[1]), second);
}
