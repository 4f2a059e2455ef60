// DDS and KTX2 outputs through the command line: the whole chain in one file, the values of the
// other encoders, and DDS inputs merged again; and the command line's refusals of bad settings
// (options, containers that do not go together, height scales, empty and hostile images), before
// anything is written. (KTX2 level layout is in DdsKtxTest; cut and damaged files of every
// reader are the fuzz corpus, replayed by ctest.)
#include <cmath>

#include "DdsKtx.h"
#include "TestSupport.h"

namespace {

using B = unsigned char;

// Level `level` of a DDS file with the DX10 header: 148 header bytes, then the levels in order.
Bytes DdsLevel(const Bytes& file, BwGpuFormat format, int w, int h, int level) {
  size_t at = 148;
  for (int l = 0; l < level; ++l) at += BwGpuLevelBytes(format, std::max(1, w >> l), std::max(1, h >> l));
  const size_t n = BwGpuLevelBytes(format, std::max(1, w >> level), std::max(1, h >> level));
  return Bytes(file.begin() + long(at), file.begin() + long(at + n));
}

}  // namespace

// The chains of the GPU layouts hold what the other encoders give: rgba8 the Targa bytes (red,
// green, blue, 255, top row first), rg16s and rgba16s the .kep words of h and H (top row first),
// BC3n (.dds) and EAC RG11 (.ktx2) values close to the Targa level 0.
TEST(GpuOutput, LevelsCarryTheValuesOfTheOtherEncoders) {
  const int w = 37, h = 22;
  TempDir dir;
  WriteTestMaps(dir.path(), w, h);
  ASSERT_EQ(::Run({"-m", "base.tga", "detail.tga", "t.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-m", "--format=rgba8", "base.tga", "detail.tga", "a.dds"}, dir.path()).status, 0);
  const Bytes dds = ReadFile(dir / "a.dds");
  EXPECT_EQ(Bytes(dds.begin() + 28, dds.begin() + 32), Bytes({6, 0, 0, 0}));  // mip levels: 37 x 22 down to 1 x 1
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
  const Bytes tga = ReadFile(dir / "t00.tga");
  for (const char* format : {"bc3n", "eacrg11", "eacrg11s"}) {
    const std::string name = std::string("o.") + (format[0] == 'b' ? "dds" : "ktx2");
    ASSERT_EQ(::Run({"-m", std::string("--format=") + format, "base.tga", "detail.tga", name}, dir.path()).status, 0)
        << format;
    Bytes file = ReadFile(dir / name);
    FILE* fp = fmemopen(file.data(), file.size(), "rb");
    BwDdsImage image;
    std::string error;
    ASSERT_TRUE((format[0] == 'b' ? BwReadDds : BwReadKtx2)(fp, &image, &error)) << format << ": " << error;
    std::fclose(fp);
    EXPECT_EQ(image.levelCount, 6) << format;
    float worst = 0;
    for (size_t i = 0; i < size_t(w) * h; ++i)
      for (size_t c = 0; c < 2; ++c) {  // Targa texels are blue, green, red: x is byte 2, y byte 1
        const float targa = float(tga[18 + 3 * i + 2 - c]) / 127.5f - 1.0f;
        worst = std::max(worst, std::fabs(image.normals[3 * i + c] - targa));
      }
    EXPECT_LT(worst, 0.1f) << format;
  }
}

TEST(GpuOutput, RefusalsAndDdsInputs) {
  const int w = 16, h = 12;
  TempDir dir;
  WriteTestMaps(dir.path(), w, h);
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--format=bc7", "base.tga", "detail.tga", "x.dds"}, "ERROR: Unknown format bc7 (bc5, bc5s, rg16s, rgba16s, rgb10a2, rgba8, bc3n, eacrg11, eacrg11s, astc4x4, astc5x5, astc6x6 or astc8x8)\n"},
      {{"--format=astc4x4", "base.tga", "detail.tga", "x.dds"}, "ERROR: A .dds output takes bc5, bc5s, rg16s, rgba16s, rgb10a2, rgba8 or bc3n, not astc4x4\n"},
      {{"--dds-header=dx9", "base.tga", "detail.tga", "x.ktx2"}, "ERROR: --dds-header needs a .dds output\n"},
      {{"--dds-header=dx9", "base.tga", "detail.tga", "x.tga"}, "ERROR: --dds-header needs a .dds output\n"},
      {{"--astc-quality=best", "base.tga", "detail.tga", "x.ktx2"}, "ERROR: Bad value in --astc-quality=best (fastest, fast, medium, thorough, verythorough or exhaustive)\n"},
      {{"-s", "base.tga", "detail.tga", "x.dds"}, "ERROR: The encodings s and S write .kep textures only: x.dds\n"},
      {{"--format=bc5", "base.tga", "detail.tga", "x.tga"}, "ERROR: --format needs a .dds, .ktx2 or .astc output\n"},
      {{"--format=bc5", "base.tga", "detail.tga", "x.png"}, "ERROR: --format needs a .dds, .ktx2 or .astc output\n"},
      {{"--rond", "base.tga", "detail.tga", "x.tga"}, "ERROR: Unknown option --rond\n"},
      {{"--bits=12", "base.tga", "detail.tga", "x.png"}, "ERROR: Bad value in --bits=12 (8 or 16)\n"},
      {{"--flip-green=left", "base.tga", "detail.tga", "x.tga"}, "ERROR: Bad value in --flip-green=left (base, second, output, comma-separated)\n"},
      {{"-h", "base.tga", "detail.tga", "x.png"}, "ERROR: The encodings h, H, i, s and S write .kep textures, not PNG files: x.png\n"},
      {{"--bits=16", "base.tga", "detail.tga", "x.tga"}, "ERROR: --bits=16 needs a .png output\n"},
      {{"--bits=32", "base.tga", "detail.tga", "x.dds"}, "ERROR: A .dds output takes --bits=8 only (--format chooses the encoding), not --bits=32\n"},
      {{"--bits=8", "base.tga", "detail.tga", "x.exr"}, "ERROR: A .exr output takes --bits=16 (half) or --bits=32 (float), not --bits=8\n"},
      {{"--height-channel=a", "base.tga", "height.tga", "1", "x.tga"}, "ERROR: The height map has no alpha channel: height.tga\n"},
      {{"--detail-strength=-1", "base.tga", "detail.tga", "x.tga"}, "ERROR: Bad value in --detail-strength=-1 (a finite number, 0 or more)\n"},
      {{"--detail-strength=1e39", "none.tga", "detail.tga", "x.tga"}, "ERROR: Bad value in --detail-strength=1e39 (a finite number, 0 or more)\n"},
      {{"--blend=overlay", "base.tga", "detail.tga", "x.tga"}, "ERROR: Bad value in --blend=overlay (rnm, whiteout, udn or linear)\n"},
      {{"--edges=mirror", "base.tga", "detail.tga", "x.tga"}, "ERROR: Bad value in --edges=mirror (wrap or clamp)\n"},
      {{"--fill=-2", "base.tga", "detail.tga", "x.tga"}, "ERROR: Bad value in --fill=-2 (a number of passes, or all)\n"},
      {{"--mask=small.tga", "base.tga", "detail.tga", "x.tga"}, "ERROR: The mask small.tga is 2x2, the maps are 16x12\n"},
      {{"--mask=none.tga", "base.tga", "detail.tga", "x.tga"}, "ERROR: Unable to open none.tga\n"},
      {{"wide0.tga", "wide0.tga", "x.tga"}, "ERROR: wide0.tga has no texels (0x5)\n"},
      {{"-m", "high0.tga", "detail.tga", "x.tga"}, "ERROR: high0.tga has no texels (5x0)\n"},
      // A name of an image container that is not written, before any input is read.
      {{"-h", "none.tga", "detail.tga", "x.Jpeg"}, "ERROR: Bumpweld does not write .Jpeg files: x.Jpeg (a name ending in .png, .tif, .tiff, .exr, .dds, .ktx2 or .astc writes that container; any other name a Targa file or a .kep texture)\n"},
      // A height scale that is not finite as a float is refused before any input is read.
      {{"none.tga", "none.tga", "nan", "x.tga"}, "ERROR: The height scale nan is not a finite number\n"},
      {{"-m", "none.tga", "none.tga", "-inf", "x.tga"}, "ERROR: The height scale -inf is not a finite number\n"},
      {{"none.tga", "none.tga", "1e400", "x.tga"}, "ERROR: The height scale 1e400 is not a finite number\n"},
      {{"none.tga", "none.tga", "1e39", "x.tga"}, "ERROR: The height scale 1e39 is not a finite number\n"},
      {{"none.tga", "none.tga", "1e38", "x.tga"}, "ERROR: Unable to open none.tga\n"},
      // Hostile Targa files, one a fault.
      {{"v8.tga", "detail.tga", "x.tga"}, "ERROR: Normal map should be at 32 or 24bits per pixel!\n"},
      {{"v15.tga", "detail.tga", "x.tga"}, "ERROR: Unhandled bit depth for bump map!\n"},
      {{"base.tga", "v15.tga", "1", "x.tga"}, "ERROR: Unhandled bit depth for bump map!\n"},
      {{"mapped.tga", "detail.tga", "x.tga"}, "ERROR: Unable to read mapped.tga\n"},
      {{"cut.tga", "detail.tga", "x.tga"}, "ERROR: Unable to read cut.tga\n"},
      // 65535 x 65535 claimed in a 100-byte file: refused before anything that size is allocated.
      {{"lying.tga", "detail.tga", "x.tga"}, "ERROR: Unable to read lying.tga\n"},
      {{"", "detail.tga", "x.tga"}, "ERROR: No file name passed to ReadNormalMap!\n"},
  };
  WriteFile(dir / "small.tga", MakeTga(2, 2, 8, Bytes(4, 9), 3));
  WriteFile(dir / "wide0.tga", MakeTga(0, 5, 24, {}));
  WriteFile(dir / "high0.tga", MakeTga(5, 0, 24, {}));
  WriteFile(dir / "v8.tga", MakeTga(1, 1, 8, {200}));
  WriteFile(dir / "v15.tga", MakeTga(1, 1, 15, {200}));
  WriteFile(dir / "mapped.tga", MakeTga(1, 1, 24, {1, 2, 3}, 1));
  WriteFile(dir / "cut.tga", MakeTga(2, 1, 24, {1, 2, 3, 4, 5}));
  WriteFile(dir / "lying.tga", MakeTga(65535, 65535, 24, Bytes(82, 9)));
  for (const auto& [args, message] : refused) {
    const RunResult r = ::Run(args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, message)) << r.out;
    EXPECT_FALSE(FileExists(dir / "x.dds") || FileExists(dir / "x.tga") || FileExists(dir / "x00.tga") ||
                 FileExists(dir / "x.png") || FileExists(dir / "x.exr") || HasTemporaries(dir.path()));
  }
  // A DDS or KTX2 output read back as an input gives the picture it holds: rgba8 re-merged
  // exactly like the Targa file it equals, and BC5 with z rebuilt.
  ASSERT_EQ(::Run({"-e", "base.tga", "detail.tga", "t.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-e", "--format=rgba8", "base.tga", "detail.tga", "t.dds"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-e", "--format=rgba8", "base.tga", "detail.tga", "t.ktx2"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-e", "base.tga", "detail.tga", "bc5.dds"}, dir.path()).status, 0);
  for (const char* in : {"t.tga", "t.dds", "t.ktx2", "bc5.dds"})
    ASSERT_EQ(::Run({"-e", in, "detail.tga", std::string(in) + ".tga"}, dir.path()).status, 0) << in;
  EXPECT_EQ(ReadFile(dir / "t.tga.tga"), ReadFile(dir / "t.dds.tga"));
  EXPECT_EQ(ReadFile(dir / "t.tga.tga"), ReadFile(dir / "t.ktx2.tga"));
}
