// The byte-order converters of the Targa header and the .kep record. This file is built twice:
// for this little-endian host, where nothing moves, and as ByteOrderBigEndian with the
// big-endian order forced, where every field of 16 bits or more is reversed and byte fields stay.
#include <algorithm>
#include <tuple>

#include "KepFileIO.h"
#include "TGAIO.h"
#include "TestSupport.h"
#include "mac/MacSpecific.h"

constexpr bool kBig = ZEL_HOST_BIG_ENDIAN;

// Two Targa headers whose bytes all differ, at an odd address (no alignment assumed), after a
// call for none: exactly the six 16-bit fields of each move.
TEST(ByteOrder, TargaHeaders) {
  Bytes before(37);
  for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<unsigned char>(0x40 + i);
  Bytes data = before, expected = before;
  EXPECT_EQ(ZelByteSwap_TGAHeaderInfo(data.data() + 1, 0) + ZelByteSwap_TGAHeaderInfo(data.data() + 1, 2), 2u);
  for (size_t field : {3, 5, 8, 10, 12, 14, 21, 23, 26, 28, 30, 32})
    if (kBig) std::swap(expected[1 + field], expected[2 + field]);
  EXPECT_EQ(data, expected);
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
