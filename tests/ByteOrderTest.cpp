// The byte-order converters. This file is built twice: for this little-endian host, where
// nothing moves, and as ByteOrderBigEndian with the big-endian order forced, where every field
// of 16 bits or more is reversed and byte fields stay.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "KepFileIO.h"
#include "TGAIO.h"
#include "TestSupport.h"
#include "mac/MacSpecific.h"

constexpr bool kBig = ZEL_HOST_BIG_ENDIAN;

TEST(ByteOrder, ValueSwaps) {
  EXPECT_EQ(ZelEndian16_Swap(0x1234), kBig ? 0x3412 : 0x1234);
  EXPECT_EQ(ZelEndian32_Swap(0x12345678u), kBig ? 0x78563412u : 0x12345678u);
  EXPECT_EQ(ZelEndian64_Swap(0x0102030405060708ull), kBig ? 0x0807060504030201ull : 0x0102030405060708ull);
  // A signalling NaN (made by the first swap where bytes move) passes bit for bit both ways.
  const uint32_t bits32[2] = {0x0100807Fu, 0x7F800001u};
  const uint64_t bits64[2] = {0x010000000000F07Full, 0x7FF0000000000001ull};
  float f[3];
  double d[3];
  std::memcpy(&f[0], &bits32[!kBig], 4);
  std::memcpy(&d[0], &bits64[!kBig], 8);
  for (int i = 1; i < 3; ++i) f[i] = ZelEndianFloat32_Swap(f[i - 1]), d[i] = ZelEndianFloat64_Swap(d[i - 1]);
  EXPECT_EQ(std::memcmp(&f[1], &bits32[1], 4) | std::memcmp(&f[2], &bits32[!kBig], 4), 0);
  EXPECT_EQ(std::memcmp(&d[1], &bits64[1], 8) | std::memcmp(&d[2], &bits64[!kBig], 8), 0);
}

// Three elements at an odd address (no alignment assumed), after a call for none; for Targa
// headers (size 0 below) two whose bytes all differ, where exactly the six 16-bit fields move.
TEST(ByteOrder, ArrayAndHeaderConverters) {
  using Converter = uint32 (*)(void*, uint32);
  const std::pair<Converter, size_t> cases[] = {
      {ZelByteSwap_bool8, 1}, {ZelByteSwap_char8, 1},  {ZelByteSwap_int8, 1},  {ZelByteSwap_uint8, 1},
      {ZelByteSwap_int16, 2}, {ZelByteSwap_uint16, 2}, {ZelByteSwap_int32, 4}, {ZelByteSwap_uint32, 4},
      {ZelByteSwap_float32, 4}, {ZelByteSwap_float64, 8}, {ZelByteSwap_TGAHeaderInfo, 0}};
  Bytes before(37);
  for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<unsigned char>(0x40 + i);
  for (const auto& [convert, size] : cases) {
    Bytes data = before, expected = before;
    EXPECT_EQ(convert(data.data() + 1, 0) + convert(data.data() + 1, size ? 3 : 2), 2u);
    std::vector<size_t> fields = {3, 5, 8, 10, 12, 14, 21, 23, 26, 28, 30, 32}, sizes(fields.size(), 2);
    if (size) fields = {0, size, 2 * size}, sizes.assign(3, size);
    for (size_t k = 0; kBig && k < fields.size(); ++k)
      std::reverse(expected.begin() + long(1 + fields[k]), expected.begin() + long(1 + fields[k] + sizes[k]));
    EXPECT_EQ(data, expected) << size;
  }
}

// width, height and format reverse; bitDepth and the texel pointer stay.
TEST(ByteOrder, ZelBitmapRecords) {
  auto fields = [](const ZelBitmap& b) {
    return std::make_tuple(b.width, b.height, b.bitDepth, uint32_t(b.format), (const void*)b.pixels);
  };
  unsigned char texel = 0;
  const ZelBitmap in[2] = {{0x0102, 0x0304, 0x20, ZelBitmapFormatEnum(0x0A0B0C0D), &texel},
                           {0x1122, 0x3344, 0x40, ZEL_BITMAP_FORMAT_1010102, nullptr}};
  const ZelBitmap big[2] = {{0x0201, 0x0403, 0x20, ZelBitmapFormatEnum(0x0D0C0B0A), &texel},
                            {0x2211, 0x4433, 0x40, ZelBitmapFormatEnum(0x0A000000), nullptr}};
  ZelBitmap bmp[2] = {in[0], in[1]};
  EXPECT_EQ(ZelByteSwap_ZelBitmap(bmp, 2), 1u);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(fields(bmp[i]), fields(kBig ? big[i] : in[i])) << i;
}
