// ASTC: the codec's error per block size, the same bytes on any number of threads or bands, the
// .astc writer and reader with hostile headers, astcenc's own command line as an outside decoder
// of our files, and the command line (KTX2 files of the ASTC layouts are in DdsKtxTest).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "AstcCodec.h"
#include "AstcFile.h"
#include "DdsKtx.h"
#include "Parallel.h"
#include "PngIO.h"
#include "TestSupport.h"

namespace {

// A w x h unit normal image (bottom row first) of bumps, tilted towards +x in the top half of the
// picture and towards -x in the bottom half, so that a flipped image shows.
std::vector<float> Bumps(int w, int h) {
  std::vector<float> n;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float a = (2 * y >= h ? 0.35f : -0.35f) + 0.4f * std::sin(0.31f * float(x) + 0.07f * float(y));
      const float b = 0.45f * std::cos(0.19f * float(y) - 0.11f * float(x));
      n.insert(n.end(), {a, b, std::sqrt(std::max(0.0f, 1.0f - a * a - b * b))});
    }
  return n;
}

// Mean and largest angle in degrees between two normal images of `count` texels.
std::pair<double, double> Angles(const float* a, const float* b, int count) {
  double sum = 0, worst = 0;
  for (int i = 0; i < count; ++i, a += 3, b += 3) {
    const double dot = double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
    const double d = std::acos(std::clamp(dot, -1.0, 1.0)) * 180.0 / 3.14159265358979;
    sum += d, worst = std::max(worst, d);
  }
  return {sum / count, worst};
}

Bytes Encode(const std::vector<float>& normals, int w, int h, int bw, int bh) {
  Bytes blocks(BwAstcImageBytes(w, h, bw, bh));
  std::string error;
  EXPECT_TRUE(BwEncodeAstcImage(normals.data(), w, h, 3, bw, bh, BW_ASTC_MEDIUM, blocks.data(), &error)) << error;
  return blocks;
}

// A .astc file of Bumps(w, h), its blocks given to the writer in two pieces.
Bytes AstcFile(int w, int h, int bw, int bh) {
  const Bytes blocks = Encode(Bumps(w, h), w, h, bw, bh);
  return Written([&](FILE* fp) {
    BwAstcFileWriter writer;
    std::string error;
    EXPECT_TRUE(writer.Begin(fp, bw, bh, w, h, &error) && writer.Blocks(blocks.data(), 16, &error) &&
                writer.Blocks(blocks.data() + 16, blocks.size() - 16, &error) && writer.End(&error))
        << error;
  });
}

struct Read {
  bool ok = false;
  BwDdsImage image;
  std::string error;
};

Read ReadBack(Bytes file) {
  Read r;
  FILE* fp = fmemopen(file.data(), file.size(), "rb");
  r.ok = BwReadAstc(fp, &r.image, &r.error);
  std::fclose(fp);
  return r;
}

}  // namespace

// Each block size at the default quality, on an odd size whose edge blocks are partly outside;
// values outside the normals' range; a block size ASTC does not have.
TEST(AstcTest, AngleErrorPerBlockSize) {
  const int w = 53, h = 37;
  const std::vector<float> normals = Bumps(w, h);
  const struct {
    int block;
    double mean, worst;
  } cases[] = {{4, 0.6, 6.0}, {5, 0.9, 6.0}, {6, 1.0, 5.0}, {8, 2.4, 15.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    const Bytes blocks = Encode(normals, w, h, c.block, c.block);
    std::vector<float> decoded(size_t(w * h * 3));
    std::string error;
    ASSERT_TRUE(BwDecodeAstcImage(blocks.data(), w, h, c.block, c.block, decoded.data(), &error)) << error;
    const auto [mean, worst] = Angles(normals.data(), decoded.data(), w * h);
    EXPECT_LT(mean, c.mean);
    EXPECT_LT(worst, c.worst);
  }
  // Not a number counts as 0, values past the ends as the ends.
  std::vector<float> wild = normals, tame = normals;
  for (size_t i = 0; i < 30; i += 3) wild[i] = std::nanf(""), tame[i] = 0.0f;
  for (size_t i = 30; i < 60; ++i)  // x and y only: z keeps the normal above the horizon
    if (i % 3 != 2) wild[i] = i % 2 ? 7.0f : -3.0f, tame[i] = i % 2 ? 1.0f : -1.0f;
  EXPECT_EQ(Encode(wild, w, h, 4, 4), Encode(tame, w, h, 4, 4));
  Bytes out(BwAstcImageBytes(w, h, 8, 8));
  std::string error;
  EXPECT_FALSE(BwEncodeAstcImage(normals.data(), w, h, 3, 7, 7, BW_ASTC_FAST, out.data(), &error));
  EXPECT_EQ(error, "ASTC has no 7x7 blocks");
}

// The bytes do not depend on the number of threads, nor on whether a picture is encoded whole or
// in bands of whole block rows from the top (the last band shorter), as a chain's writer does.
TEST(AstcTest, SameBytesOnAnyThreadsAndBands) {
  const int w = 131, h = 70, block = 6;
  const std::vector<float> normals = Bumps(w, h);
  Bytes one;
  {
    BwThreadLimit limit(1);
    one = Encode(normals, w, h, block, block);
  }
  for (int threads : {2, 3, 8}) {
    BwThreadLimit limit(threads);
    EXPECT_EQ(Encode(normals, w, h, block, block), one) << threads << " threads";
  }
  BwAstcEncoder encoder;
  Bytes banded;
  for (int top = 0; top < h; top += 12) {
    const int rows = std::min(12, h - top);
    Bytes band(BwAstcImageBytes(w, rows, block, block));
    const float* first = normals.data() + size_t(h - top - rows) * w * 3;  // the band's lowest row
    ASSERT_TRUE(encoder.Encode(first, w, rows, 3, block, block, BW_ASTC_MEDIUM, band.data(), nullptr));
    banded.insert(banded.end(), band.begin(), band.end());
  }
  EXPECT_EQ(banded, one);
}

// The writer's header and the reader, then one file for each way a header can lie: none is
// decoded and nothing large is allocated.
TEST(AstcTest, FilesAndHostileHeaders) {
  const Bytes good = AstcFile(9, 9, 4, 4);
  EXPECT_EQ(Bytes(good.begin(), good.begin() + 16), Bytes({0x13, 0xAB, 0xA1, 0x5C, 4, 4, 1, 9, 0, 0, 9, 0, 0, 1, 0, 0}));
  const Read r = ReadBack(good);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.image.width == 9 && r.image.height == 9 && r.image.format == BwGpuFormat::ASTC4X4);
  std::vector<float> decoded(9 * 9 * 3);
  ASSERT_TRUE(BwDecodeAstcImage(good.data() + 16, 9, 9, 4, 4, decoded.data(), nullptr));
  EXPECT_EQ(std::memcmp(r.image.normals.get(), decoded.data(), decoded.size() * sizeof(float)), 0);

  const auto with = [&](size_t at, std::initializer_list<unsigned char> bytes) {
    Bytes b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + long(at));
    return b;
  };
  const struct {
    const char* name;
    Bytes file;
    const char* error;
  } cases[] = {
      {"short_header", Bytes(good.begin(), good.begin() + 15), "too short for a .astc header"},
      {"bad_magic", with(3, {0x5D}), "not a .astc file"},
      {"block_depth", with(6, {4}), "3D .astc images are not supported (blocks 4x4x4, depth 1)"},
      {"volume", with(13, {2}), "3D .astc images are not supported (blocks 4x4x1, depth 2)"},
      {"block_3x3", with(4, {3, 3}), "ASTC has no 3x3 blocks"},
      {"block_7x7", with(4, {7, 7}), "ASTC has no 7x7 blocks"},
      {"zero_width", with(7, {0, 0, 0}), ".astc size 0x9 is outside 1 to 65535"},
      {"huge_size", with(7, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), ".astc size 16777215x16777215 is outside 1 to 65535"},
      {"largest_size_short", with(7, {0xFF, 0xFF, 0, 0xFF, 0xFF, 0}),
       "the .astc file holds 144 bytes of blocks, not the 4294967296 of a 65535x65535 image"},
      {"truncated", Bytes(good.begin(), good.end() - 1), "the .astc file holds 143 bytes of blocks, not the 144 of a 9x9 image"},
      {"trailing_bytes", Cat({good, {0}}), "the .astc file holds 145 bytes of blocks, not the 144 of a 9x9 image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BwAllocationCap cap(1 << 20);
    const Read bad = ReadBack(c.file);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, c.error);
  }
}

// astcenc's command line decodes our files to exactly the bytes our reader maps to normals (x in
// red, green and blue, y in alpha), the right way up.
TEST(AstcTest, AstcencDecodesOurFiles) {
  if (std::system("command -v astcenc >/dev/null 2>&1") != 0) GTEST_SKIP() << "astcenc is not on the PATH";
  TempDir dir;
  const int w = 45, h = 30;
  for (int block : {4, 6, 8}) {
    SCOPED_TRACE(block);
    const Bytes file = AstcFile(w, h, block, block);
    WriteFile(dir / "in.astc", file);
    ASSERT_EQ(std::system(("cd " + dir.path() + " && astcenc -dl in.astc out.png >/dev/null").c_str()), 0);
    BwDecodedImage png;  // bottom row first, as our normals
    FILE* fp = std::fopen((dir / "out.png").c_str(), "rb");
    ASSERT_TRUE(fp && BwReadPng(fp, &png, nullptr));
    std::fclose(fp);
    ASSERT_TRUE(png.width == w && png.height == h && png.channels == 4);
    const Read r = ReadBack(file);
    ASSERT_TRUE(r.ok) << r.error;
    int leaningRight = 0;  // texels of the top half leaning to +x, and of the bottom half to -x
    for (int i = 0; i < w * h; ++i) {
      const unsigned char* t = png.data.get() + size_t(i) * 4;
      const float* n = r.image.normals.get() + size_t(i) * 3;
      ASSERT_TRUE(t[0] == t[1] && t[0] == t[2]) << i;
      ASSERT_EQ(n[0], float(t[0]) / 255.0f * 2.0f - 1.0f) << i;
      ASSERT_EQ(n[1], float(t[3]) / 255.0f * 2.0f - 1.0f) << i;
      leaningRight += (t[0] > 128) == (2 * (i / w) >= h);
    }
    EXPECT_GT(leaningRight, w * h * 3 / 4);  // a flipped picture: a quarter
  }
}

// Through the command line: a .astc chain as numbered files whose levels are those of the KTX2
// chain (thread counts: SameBytesOnAnyThreadsAndBands), a .astc input merged again, and refusals.
TEST(AstcTest, CommandLine) {
  const int w = 45, h = 33;
  TempDir dir;
  WriteTestMaps(dir.path(), w, h);
  for (const char* out : {"c.astc", "c.ktx2"})
    ASSERT_EQ(::Run({"-mq", "--format=astc6x6", "base.tga", "detail.tga", out}, dir.path()).status, 0);
  const Bytes ktx2 = ReadFile(dir / "c.ktx2");
  const int levels = BwMipLevelCount(w, h);
  EXPECT_FALSE(FileExists(dir / ("c0" + std::to_string(levels) + ".astc")));
  for (int level = 0; level < levels; ++level) {
    const std::string number = "0" + std::to_string(level);
    const Bytes file = ReadFile(dir / ("c" + number + ".astc"));
    const int lw = std::max(1, w >> level), lh = std::max(1, h >> level);
    ASSERT_EQ(file.size(), 16 + BwGpuLevelBytes(BwGpuFormat::ASTC6X6, lw, lh)) << level;
    EXPECT_TRUE(file[7] == lw && file[10] == lh) << level;
    const size_t at = ktx2[80 + 24 * level] | ktx2[81 + 24 * level] << 8 | ktx2[82 + 24 * level] << 16;
    EXPECT_TRUE(std::equal(file.begin() + 16, file.end(), ktx2.begin() + long(at))) << level;
  }
  EXPECT_EQ(::Run({"-q", "c00.astc", "c00.astc", "again.tga"}, dir.path()).status, 0);

  const Bytes level0 = ReadFile(dir / "c00.astc");
  WriteFile(dir / "cut.astc", Bytes(level0.begin(), level0.end() - 1));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } refusals[] = {
      {{"-q", "--format=bc5", "base.tga", "detail.tga", "x.astc"},
       "ERROR: A .astc output takes astc4x4, astc5x5, astc6x6 or astc8x8, not bc5\n"},
      {{"-qh", "base.tga", "detail.tga", "x.astc"},
       "ERROR: A .astc output takes astc4x4, astc5x5, astc6x6 or astc8x8, not the encodings h, H and i\n"},
      {{"-q", "cut.astc", "detail.tga", "x.tga"}, "ERROR: Unable to read cut.astc\n"},
  };
  for (const auto& refusal : refusals) {
    const RunResult r = ::Run(refusal.args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, refusal.message)) << r.out;
    EXPECT_FALSE(FileExists(dir / "x.astc") || FileExists(dir / "x.tga"));
  }
}
