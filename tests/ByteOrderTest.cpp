// Byte order on a little-endian host: file order is host order, so nothing moves.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "KepFileIO.h"
#include "TGAIO.h"
#include "mac/MacSpecific.h"

static_assert(ZEL_HOST_BIG_ENDIAN == 0, "these tests describe the little-endian build");

TEST(ByteOrder, ValueSwapsReturnTheirArgument) {
  EXPECT_EQ(ZelEndian16_Swap(0x1234), 0x1234);
  EXPECT_EQ(ZelEndian32_Swap(0x12345678u), 0x12345678u);
  EXPECT_EQ(ZelEndian64_Swap(0x0102030405060708ull), 0x0102030405060708ull);
  const uint32_t nanBits = 0x7F800001u;  // a signalling NaN passes bit for bit
  float nan;
  std::memcpy(&nan, &nanBits, 4);
  const float same = ZelEndianFloat32_Swap(nan);
  EXPECT_EQ(std::memcmp(&same, &nanBits, 4), 0);
  EXPECT_EQ(ZelEndianFloat64_Swap(-2.5), -2.5);
}

TEST(ByteOrder, ConvertersLeaveMemoryAloneAndReturnOne) {
  using Converter = uint32 (*)(void*, uint32);
  for (const Converter convert :
       {ZelByteSwap_bool8, ZelByteSwap_char8, ZelByteSwap_int8, ZelByteSwap_uint8, ZelByteSwap_int16,
        ZelByteSwap_uint16, ZelByteSwap_int32, ZelByteSwap_uint32, ZelByteSwap_float32,
        ZelByteSwap_float64, ZelByteSwap_TGAHeaderInfo, ZelByteSwap_ZelBitmap})
    for (uint32 num : {0u, 3u}) {
      std::vector<unsigned char> data(3 * sizeof(ZelBitmap) + 1);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 29 + 3);
      const std::vector<unsigned char> before = data;
      EXPECT_EQ(convert(data.data() + 1, num), 1u);
      EXPECT_EQ(data, before);
    }

  const unsigned char file[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0x18, 8};
  TGAHeaderInfo header;  // a 256 x 256, 24-bit file's header
  std::memcpy(&header, file, 18);
  ZelByteSwap_TGAHeaderInfo(&header, 1);
  EXPECT_EQ(header.imwidth, 256);
  EXPECT_EQ(header.imheight, 256);
  EXPECT_EQ(std::memcmp(&header, file, 18), 0);
}
