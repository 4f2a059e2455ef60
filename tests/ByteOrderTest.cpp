// The byte-order converters. This file is built twice: for this little-endian host, where
// nothing moves, and as ByteOrderBigEndian with the big-endian order forced, where every field
// of 16 bits or more is reversed and byte fields stay.
#include <algorithm>
#include <tuple>

#include "KepFileIO.h"
#include "TGAIO.h"
#include "TestSupport.h"
#include "mac/MacSpecific.h"

constexpr bool kBig = ZEL_HOST_BIG_ENDIAN;

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
