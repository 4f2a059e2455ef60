// .kep textures: the header's fields at their offsets, a record written and read back unchanged,
// and headers that promise more texels than the file holds refused before anything is allocated.
#include <memory>

#include "KepFileIO.h"
#include "TestSupport.h"

namespace {

TEST(KepFileIO, RecordRoundTripsAndLiesAreRefused) {
  TempDir dir;
  unsigned char texels[3 * 2 * 4];
  for (size_t i = 0; i < sizeof texels; ++i) texels[i] = static_cast<unsigned char>(i * 7);
  ZelBitmap written = {3, 2, 32, ZEL_BITMAP_FORMAT_1010102, texels};
  ASSERT_TRUE(ZelWrite3DKEPImageFile(&written, (dir / "t.kep").c_str()));
  const Bytes file = ReadFile(dir / "t.kep");
  ASSERT_EQ(file.size(), size_t(ZEL_KEP_HEADER_BYTES) + sizeof texels);
  // Width, height, depth and format little-endian; the pointer slot zero.
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 13), Bytes({3, 0, 2, 0, 32, ZEL_BITMAP_FORMAT_1010102, 0, 0, 0, 0, 0, 0, 0}));

  ZelBitmap read = {};
  ASSERT_TRUE(ZelRead3DKEPImageFile(&read, (dir / "t.kep").c_str()));
  const std::unique_ptr<unsigned char[]> pixels(read.pixels);
  EXPECT_TRUE(read.width == 3 && read.height == 2 && read.bitDepth == 32 && read.format == ZEL_BITMAP_FORMAT_1010102);
  EXPECT_EQ(Bytes(pixels.get(), pixels.get() + sizeof texels), Bytes(texels, texels + sizeof texels));

  // A header claiming 65535 x 65535 texels of 8 bytes, and one cut short.
  for (const Bytes& lie : {Cat({Bytes({0xff, 0xff, 0xff, 0xff, 64, 7, 0, 0, 0, 0, 0, 0, 0}), Bytes(100, 1)}),
                           Bytes({3, 0, 2})}) {
    WriteFile(dir / "lie.kep", lie);
    ZelBitmap refused = {};
    const std::string message = Printed([&] { EXPECT_FALSE(ZelRead3DKEPImageFile(&refused, (dir / "lie.kep").c_str())); }, true);
    EXPECT_FALSE(message.empty());
    delete[] refused.pixels;
  }
}

}  // namespace
