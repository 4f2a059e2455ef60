// ASTC: the codec's error per block size, the same bytes on any number of threads or bands, the
// .astc writer and reader with hostile headers, and astcenc's own command line as an outside
// decoder of our files.
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

// A w x h normal image (bottom row first) of bumps of several sizes, tilted towards +x in the top
// half of the picture and towards -x in the bottom half, so that a flipped image shows.
std::vector<float> Bumps(int w, int h) {
  std::vector<float> n;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float tilt = 2.0f * float(y) >= float(h) ? 0.35f : -0.35f;
      float a = tilt + 0.4f * std::sin(0.31f * float(x) + 0.07f * float(y));
      float b = 0.45f * std::cos(0.19f * float(y) - 0.11f * float(x));
      const float z = std::sqrt(std::max(0.0f, 1.0f - a * a - b * b));
      const float length = std::sqrt(a * a + b * b + z * z);
      n.insert(n.end(), {a / length, b / length, z / length});
    }
  return n;
}

// The angle in degrees between two normals.
double Degrees(const float* a, const float* b) {
  const double dot = double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
  const double la = std::sqrt(double(a[0]) * a[0] + double(a[1]) * a[1] + double(a[2]) * a[2]);
  const double lb = std::sqrt(double(b[0]) * b[0] + double(b[1]) * b[1] + double(b[2]) * b[2]);
  return std::acos(std::clamp(dot / (la * lb), -1.0, 1.0)) * 180.0 / 3.14159265358979;
}

Bytes Encode(const std::vector<float>& normals, int w, int h, int bw, int bh, int quality = BW_ASTC_MEDIUM) {
  Bytes blocks(BwAstcImageBytes(w, h, bw, bh));
  std::string error;
  EXPECT_TRUE(BwEncodeAstcImage(normals.data(), w, h, 3, bw, bh, quality, blocks.data(), &error)) << error;
  return blocks;
}

// A .astc file of Bumps(w, h).
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

Read ReadAstc(Bytes file) {
  Read r;
  FILE* fp = fmemopen(file.data(), file.size(), "rb");
  r.ok = BwReadAstc(fp, &r.image, &r.error);
  std::fclose(fp);
  return r;
}

}  // namespace

// Mean and largest angle of a decoded image against the float normals it was encoded from, for
// each block size at the default quality, on an odd size whose edge blocks are partly outside.
TEST(AstcTest, AngleErrorPerBlockSize) {
  const int w = 53, h = 37;
  const std::vector<float> normals = Bumps(w, h);
  const struct {
    int bw, bh;
    double mean, worst;
  } cases[] = {{4, 4, 0.6, 6.0}, {5, 5, 0.9, 6.0}, {6, 6, 1.0, 5.0}, {8, 8, 2.4, 15.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bw) + "x" + std::to_string(c.bh));
    const Bytes blocks = Encode(normals, w, h, c.bw, c.bh);
    std::vector<float> decoded(size_t(w * h * 3));
    std::string error;
    ASSERT_TRUE(BwDecodeAstcImage(blocks.data(), w, h, c.bw, c.bh, decoded.data(), &error)) << error;
    double sum = 0, worst = 0;
    for (int i = 0; i < w * h; ++i) {
      const double d = Degrees(&normals[size_t(i * 3)], &decoded[size_t(i * 3)]);
      sum += d, worst = std::max(worst, d);
    }
    EXPECT_LT(sum / (w * h), c.mean);
    EXPECT_LT(worst, c.worst);
  }
}

// The bytes do not depend on the number of threads, nor on whether a picture is encoded whole or
// in bands of whole block rows from the top (the last band shorter), as a chain's writer does.
TEST(AstcTest, SameBytesOnAnyThreadsAndBands) {
  const int w = 131, h = 70, bw = 6, bh = 6;
  const std::vector<float> normals = Bumps(w, h);
  Bytes one;
  {
    BwThreadLimit limit(1);
    one = Encode(normals, w, h, bw, bh);
  }
  for (int threads : {2, 3, 8}) {
    BwThreadLimit limit(threads);
    EXPECT_EQ(Encode(normals, w, h, bw, bh), one) << threads << " threads";
  }
  // Bands of 12 rows from the top of the picture, which is the end of the stored rows.
  BwAstcEncoder encoder;
  Bytes banded;
  for (int top = 0; top < h; top += 12) {
    const int rows = std::min(12, h - top);
    Bytes band(BwAstcImageBytes(w, rows, bw, bh));
    std::string error;
    const float* first = normals.data() + size_t(h - top - rows) * w * 3;
    ASSERT_TRUE(encoder.Encode(first, w, rows, 3, bw, bh, BW_ASTC_MEDIUM, band.data(), &error)) << error;
    banded.insert(banded.end(), band.begin(), band.end());
  }
  EXPECT_EQ(banded, one);
}

// A higher quality preset searches more and never does worse on this picture.
TEST(AstcTest, QualityPresets) {
  const int w = 40, h = 40;
  const std::vector<float> normals = Bumps(w, h);
  double previous = 1e9;
  for (int quality : {BW_ASTC_FASTEST, BW_ASTC_MEDIUM, BW_ASTC_EXHAUSTIVE}) {
    const Bytes blocks = Encode(normals, w, h, 8, 8, quality);
    std::vector<float> decoded(size_t(w * h * 3));
    ASSERT_TRUE(BwDecodeAstcImage(blocks.data(), w, h, 8, 8, decoded.data(), nullptr));
    double sum = 0;
    for (int i = 0; i < w * h; ++i) sum += Degrees(&normals[size_t(i * 3)], &decoded[size_t(i * 3)]);
    EXPECT_LE(sum, previous) << BwAstcQualityName(quality);
    previous = sum;
  }
  std::string error;
  Bytes out(BwAstcImageBytes(w, h, 8, 8));
  EXPECT_FALSE(BwEncodeAstcImage(normals.data(), w, h, 3, 8, 8, 6, out.data(), &error));
  EXPECT_FALSE(BwEncodeAstcImage(normals.data(), w, h, 3, 7, 7, 0, out.data(), &error));
  EXPECT_EQ(error, "ASTC has no 7x7 blocks");
}

// The writer's header, and the reader giving back what the decoder gives.
TEST(AstcTest, FileRoundTrip) {
  const int w = 23, h = 17;
  const Bytes file = AstcFile(w, h, 5, 5);
  const Bytes header = {0x13, 0xAB, 0xA1, 0x5C, 5, 5, 1, 23, 0, 0, 17, 0, 0, 1, 0, 0};
  ASSERT_EQ(file.size(), 16u + 5 * 4 * 16);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), header);
  const Read r = ReadAstc(file);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.image.width, w);
  EXPECT_EQ(r.image.height, h);
  EXPECT_EQ(r.image.format, BwGpuFormat::ASTC5X5);
  std::vector<float> decoded(size_t(w * h * 3));
  ASSERT_TRUE(BwDecodeAstcImage(file.data() + 16, w, h, 5, 5, decoded.data(), nullptr));
  EXPECT_EQ(std::memcmp(r.image.normals.get(), decoded.data(), decoded.size() * sizeof(float)), 0);
}

// One header for each way a file can lie; none is decoded, nothing large is allocated.
TEST(AstcTest, HostileFilesRefused) {
  const Bytes good = AstcFile(9, 9, 4, 4);
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
      {"bad_magic", with(0, {0x13, 0xAB, 0xA1, 0x5D}), "not a .astc file"},
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
    const Read r = ReadAstc(c.file);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.error);
  }
  EXPECT_TRUE(ReadAstc(good).ok);
}

// astcenc's command line decodes our files to exactly the bytes our decoder maps to normals
// (x in red, green and blue, y in alpha), the right way up.
TEST(AstcTest, AstcencDecodesOurFiles) {
  if (std::system("command -v astcenc >/dev/null 2>&1") != 0) GTEST_SKIP() << "astcenc is not on the PATH";
  TempDir dir;
  const int w = 45, h = 30;
  const std::vector<float> normals = Bumps(w, h);
  for (const int* size : {(const int[]){4, 4}, (const int[]){6, 6}, (const int[]){8, 8}}) {
    SCOPED_TRACE(std::to_string(size[0]));
    const Bytes file = AstcFile(w, h, size[0], size[1]);
    WriteFile(dir / "in.astc", file);
    ASSERT_EQ(std::system(("cd " + dir.path() + " && astcenc -dl in.astc out.png >/dev/null").c_str()), 0);
    BwDecodedImage png;
    std::string error;
    FILE* fp = std::fopen((dir / "out.png").c_str(), "rb");
    ASSERT_TRUE(fp && BwReadPng(fp, &png, &error)) << error;
    std::fclose(fp);
    ASSERT_EQ(png.width, w);
    ASSERT_EQ(png.channels, 4);
    const Read r = ReadAstc(file);
    ASSERT_TRUE(r.ok) << r.error;
    int tiltedRight = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        // Picture row y from the top; both images store the bottom row first.
        const unsigned char* t = png.data.get() + (size_t(h - 1 - y) * w + x) * 4;
        const float* n = r.image.normals.get() + (size_t(h - 1 - y) * w + x) * 3;
        ASSERT_EQ(t[0], t[1]);
        ASSERT_EQ(t[0], t[2]);
        ASSERT_EQ(n[0], float(t[0]) / 255.0f * 2.0f - 1.0f) << x << "," << y;
        ASSERT_EQ(n[1], float(t[3]) / 255.0f * 2.0f - 1.0f) << x << "," << y;
        tiltedRight += (t[0] > 128) == (2 * y < h);
      }
    EXPECT_GT(tiltedRight, w * h * 3 / 4);  // the top half leans to +x (a flip: a quarter)
  }
}

// KTX2 files of the four ASTC layouts: the Vulkan format, the data format descriptor of an ASTC
// block (colour model 162, the block's size less one, one 128-bit sample), the swizzle a reader
// needs before the writer's entry (keys in order), and level 0 read back as the decoder gives it.
TEST(AstcTest, Ktx2Files) {
  const int w = 29, h = 19;
  const struct {
    BwGpuFormat format;
    uint32_t vk;
    int block;
  } cases[] = {{BwGpuFormat::ASTC4X4, 157, 4}, {BwGpuFormat::ASTC5X5, 161, 5}, {BwGpuFormat::ASTC6X6, 165, 6},
               {BwGpuFormat::ASTC8X8, 171, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vk);
    const int levels = BwMipLevelCount(w, h);
    const Bytes file = Written([&](FILE* fp) {
      BwGpuTextureWriter writer;
      std::string error;
      ASSERT_TRUE(writer.Begin(fp, BwContainer::KTX2, c.format, w, h, levels, &error)) << error;
      for (int level = 0; level < levels; ++level) {
        const int lw = std::max(1, w >> level), lh = std::max(1, h >> level);
        Bytes blocks(BwGpuLevelBytes(c.format, lw, lh));
        ASSERT_TRUE(BwEncodeGpuLevel(c.format, Bumps(lw, lh).data(), lw, lh, 3, blocks.data(), {}, &error)) << error;
        ASSERT_TRUE(writer.Level(level, blocks.data(), blocks.size(), &error)) << error;
      }
      ASSERT_TRUE(writer.End(&error)) << error;
    });
    const auto u32 = [&](size_t at) { return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24); };
    EXPECT_EQ(u32(12), c.vk);
    const size_t dfd = u32(48), kvd = u32(56);
    EXPECT_EQ(u32(dfd), 4u + 24 + 16);                             // one sample
    EXPECT_EQ(u32(dfd + 12) & 0xFF, 162u);                         // KHR_DF_MODEL_ASTC
    EXPECT_EQ(u32(dfd + 16), uint32_t(c.block - 1) * 0x101u);      // texel block dimensions
    EXPECT_EQ(u32(dfd + 20), 16u);                                 // bytesPlane0
    EXPECT_EQ(u32(dfd + 28), 127u << 16);                          // bits 0 to 127, channel ASTC data
    EXPECT_EQ(u32(dfd + 40), 0xFFFFFFFFu);                         // sampleUpper
    EXPECT_EQ(u32(kvd), 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[kvd + 4]), 16), std::string("KTXswizzle\0ra01\0", 16));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[kvd + 24])), "KTXwriter");

    Bytes copy = file;
    FILE* fp = fmemopen(copy.data(), copy.size(), "rb");
    BwDdsImage image;
    std::string error;
    ASSERT_TRUE(BwReadKtx2(fp, &image, &error)) << error;
    std::fclose(fp);
    EXPECT_EQ(image.format, c.format);
    std::vector<float> decoded(size_t(w * h * 3));
    const size_t level0 = size_t(u32(80));
    ASSERT_TRUE(BwDecodeAstcImage(file.data() + level0, w, h, c.block, c.block, decoded.data(), nullptr));
    EXPECT_EQ(std::memcmp(image.normals.get(), decoded.data(), decoded.size() * sizeof(float)), 0);
  }
}

// Through the command line: a .astc chain as numbered files whose levels are those of the KTX2
// chain, the same bytes on one thread as on several, a .astc input merged again, and refusals.
TEST(AstcTest, CommandLine) {
  const int w = 45, h = 33;
  TempDir dir;
  WriteTestMaps(dir.path(), w, h);
  ASSERT_EQ(::Run({"-mq", "--format=astc6x6", "base.tga", "detail.tga", "c.astc"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-mq", "--format=astc6x6", "base.tga", "detail.tga", "c.ktx2"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-mq", "--format=astc6x6", "--threads=1", "base.tga", "detail.tga", "one.astc"}, dir.path()).status, 0);
  const Bytes ktx2 = ReadFile(dir / "c.ktx2");
  const int levels = BwMipLevelCount(w, h);
  EXPECT_FALSE(FileExists(dir / ("c0" + std::to_string(levels) + ".astc")));
  for (int level = 0; level < levels; ++level) {
    const std::string number = "0" + std::to_string(level);
    const Bytes file = ReadFile(dir / ("c" + number + ".astc"));
    const int lw = std::max(1, w >> level), lh = std::max(1, h >> level);
    ASSERT_EQ(file.size(), 16 + BwGpuLevelBytes(BwGpuFormat::ASTC6X6, lw, lh)) << level;
    EXPECT_EQ(file[7] | file[8] << 8, lw);
    EXPECT_EQ(file[10] | file[11] << 8, lh);
    const size_t entry = 80 + 24 * size_t(level);
    const size_t at = size_t(ktx2[entry] | ktx2[entry + 1] << 8 | ktx2[entry + 2] << 16);
    EXPECT_TRUE(std::equal(file.begin() + 16, file.end(), ktx2.begin() + long(at))) << level;
    EXPECT_EQ(ReadFile(dir / ("one" + number + ".astc")), file) << level;
  }
  RunResult r = ::Run({"-q", "c00.astc", "c00.astc", "again.tga"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;

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
  const Bytes level0 = ReadFile(dir / "c00.astc");
  WriteFile(dir / "cut.astc", Bytes(level0.begin(), level0.end() - 1));
  for (const auto& refusal : refusals) {
    r = ::Run(refusal.args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, refusal.message)) << r.out;
    EXPECT_FALSE(FileExists(dir / "x.astc") || FileExists(dir / "x.tga"));
  }
}
