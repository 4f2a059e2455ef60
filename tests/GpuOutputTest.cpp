// DDS and KTX2 outputs through the command line: the whole chain in one file, the values of the
// other encoders, the container choices and refusals, and DDS inputs merged again.
#include <cstring>

#include "DdsKtx.h"
#include "TestSupport.h"

namespace {

using B = unsigned char;

uint32_t Word32(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// Level `level` of a DDS file with the DX10 header: 148 header bytes, then the levels in order.
Bytes DdsLevel(const Bytes& file, BwGpuFormat format, int w, int h, int level) {
  size_t at = 148;
  for (int l = 0; l < level; ++l) at += BwGpuLevelBytes(format, std::max(1, w >> l), std::max(1, h >> l));
  const size_t n = BwGpuLevelBytes(format, std::max(1, w >> level), std::max(1, h >> level));
  return Bytes(file.begin() + long(at), file.begin() + long(at + n));
}

}  // namespace

TEST(GpuOutput, LevelsCarryTheValuesOfTheOtherEncoders) {
  const int w = 37, h = 22;
  TempDir dir;
  WriteTestMaps(dir.path(), w, h);
  // rgba8 holds the Targa bytes (red, green, blue, 255, top row first); rg16s and rgba16s the
  // .kep words of h and H, top row first.
  ASSERT_EQ(::Run({"-m", "base.tga", "detail.tga", "t.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-m", "--format=rgba8", "base.tga", "detail.tga", "a.dds"}, dir.path()).status, 0);
  const Bytes dds = ReadFile(dir / "a.dds");
  EXPECT_EQ(Word32(dds, 28), 6u);  // mip levels: 37 x 22 down to 1 x 1
  for (int level = 0; level < 6; ++level) {
    const Bytes tga = ReadFile(dir / ("t0" + std::to_string(level) + ".tga"));
    const int lw = tga[12], lh = tga[14];
    const Bytes texels = DdsLevel(dds, BwGpuFormat::RGBA8, w, h, level);
    for (int y = 0; y < lh; ++y)
      for (int x = 0; x < lw; ++x) {
        const B* t = tga.data() + 18 + (size_t(lh - 1 - y) * lw + x) * 3;
        const B* d = texels.data() + (size_t(y) * lw + x) * 4;
        ASSERT_EQ(Bytes(d, d + 4), Bytes({t[2], t[1], t[0], 255})) << level << " " << x << "," << y;
      }
  }
  for (const auto& [letter, texelBytes] : {std::pair("-h", 4), std::pair("-H", 8)}) {
    ASSERT_EQ(::Run({letter, "base.tga", "detail.tga", "k.kep"}, dir.path()).status, 0);
    ASSERT_EQ(::Run({letter, "base.tga", "detail.tga", "k.dds"}, dir.path()).status, 0);
    const Bytes kep = ReadFile(dir / "k.kep"), gpu = ReadFile(dir / "k.dds");
    for (int y = 0; y < h; ++y) {
      const long k = 13 + long(h - 1 - y) * w * texelBytes, g = 148 + long(y) * w * texelBytes;
      ASSERT_EQ(Bytes(kep.begin() + k, kep.begin() + k + w * texelBytes), Bytes(gpu.begin() + g, gpu.begin() + g + w * texelBytes)) << letter;
    }
  }
  // KTX2 holds the same level bytes as DDS, at the offsets of its level index.
  ASSERT_EQ(::Run({"-m", "base.tga", "detail.tga", "b.dds"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-m", "base.tga", "detail.tga", "b.KTX2"}, dir.path()).status, 0);
  const Bytes bc5 = ReadFile(dir / "b.dds"), ktx = ReadFile(dir / "b.KTX2");
  EXPECT_EQ(Word32(bc5, 128), 83u);  // DXGI_FORMAT_BC5_UNORM
  for (int level = 0; level < 6; ++level) {
    const long offset = long(Word32(ktx, 80 + 24 * size_t(level))), length = long(Word32(ktx, 88 + 24 * size_t(level)));
    EXPECT_EQ(Bytes(ktx.begin() + offset, ktx.begin() + offset + length), DdsLevel(bc5, BwGpuFormat::BC5, w, h, level)) << level;
  }
}

TEST(GpuOutput, ChoicesRefusalsAndDdsInputs) {
  const int w = 16, h = 12;
  TempDir dir;
  WriteTestMaps(dir.path(), w, h);
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--format=bc7", "base.tga", "detail.tga", "x.dds"}, "ERROR: Unknown format bc7 (bc5, bc5s, rg16s, rgba16s, rgb10a2 or rgba8)\n"},
      {{"-s", "base.tga", "detail.tga", "x.dds"}, "ERROR: The encodings s and S write .kep textures only: x.dds\n"},
      {{"--format=bc5", "base.tga", "detail.tga", "x.tga"}, "ERROR: --format needs a .dds or .ktx2 output\n"},
      {{"--format=bc5", "base.tga", "detail.tga", "x.png"}, "ERROR: --format needs a .dds or .ktx2 output\n"},
  };
  for (const auto& [args, message] : refused) {
    const RunResult r = ::Run(args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, message)) << r.out;
    EXPECT_FALSE(FileExists(dir / "x.dds") || FileExists(dir / "x.tga"));
  }
  // A DDS output read back as an input gives the picture it holds: rgba8 re-merged exactly like
  // the Targa file it equals, and BC5 with z rebuilt.
  ASSERT_EQ(::Run({"-e", "base.tga", "detail.tga", "t.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-e", "--format=rgba8", "base.tga", "detail.tga", "t.dds"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-e", "base.tga", "detail.tga", "bc5.dds"}, dir.path()).status, 0);
  for (const char* in : {"t.tga", "t.dds", "bc5.dds"})
    ASSERT_EQ(::Run({"-e", in, "detail.tga", std::string(in) + ".tga"}, dir.path()).status, 0) << in;
  EXPECT_EQ(ReadFile(dir / "t.tga.tga"), ReadFile(dir / "t.dds.tga"));

}
