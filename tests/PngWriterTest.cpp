// PNG writing: round trips through libpng at every layout, files independent of the thread
// count and of how rows are handed over, refusals, and the size against libpng's defaults.
#include <cstring>
#include <tuple>

#include "Parallel.h"
#include "PngIO.h"
#include "PngSupport.h"
#include "PngWriter.h"
#include "TGAIO.h"

namespace {

struct Written {
  bool ok = false;
  Bytes file;
  std::string error;
};

// Writes `samples` (top row first; 16-bit samples native) handing `batch` rows at a time.
Written Write(int w, int h, int bits, int channels, const Bytes& samples, int64_t batch = 7) {
  Written r;
  FILE* fp = std::tmpfile();
  BwPngWriter writer;
  const size_t rowBytes = size_t(w) * channels * (bits / 8);
  r.ok = writer.Begin(fp, w, h, bits, channels, &r.error);
  for (int64_t y = 0; r.ok && y < h; y += batch)
    r.ok = writer.WriteRows(samples.data() + size_t(y) * rowBytes, std::min<int64_t>(batch, h - y), &r.error);
  r.ok = r.ok && writer.End(&r.error);
  r.file.resize(size_t(std::ftell(fp)));
  std::rewind(fp);
  r.file.resize(std::fread(r.file.data(), 1, r.file.size(), fp));
  std::fclose(fp);
  return r;
}

// A smooth picture with some noise, like a normal map: compressible, but not trivially.
Bytes Picture(int w, int h, int bits, int channels) {
  Bytes out;
  uint32_t noise = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        noise = noise * 1103515245u + 12345u;
        const int v = (x * (c + 1) * 3 + y * (5 - c) * 2) % 251 + int(noise >> 29);
        if (bits == 8) {
          out.push_back((unsigned char)v);
        } else {
          const uint16_t u = uint16_t(v * 257 + c);
          out.insert(out.end(), reinterpret_cast<const unsigned char*>(&u), reinterpret_cast<const unsigned char*>(&u) + 2);
        }
      }
  return out;
}

// The samples as libpng returns them: 16-bit big-endian.
Bytes BigEndian(Bytes samples, int bits) {
  for (size_t i = 0; bits == 16 && i < samples.size(); i += 2) {
    uint16_t u;
    std::memcpy(&u, &samples[i], 2);
    samples[i] = (unsigned char)(u >> 8);
    samples[i + 1] = (unsigned char)u;
  }
  return samples;
}

}  // namespace

TEST(BwPngWriter, RoundTripsThroughLibpng) {
  // 4097 wide: 21 rows a segment and 672 a band, so 1500 rows make three bands.
  const std::tuple<int, int, int, int> cases[] = {
      {1, 1, 8, 3}, {1, 1, 16, 3}, {7, 3, 8, 1}, {5, 9, 16, 2}, {13, 11, 8, 3}, {13, 11, 16, 3},
      {3, 17, 8, 4}, {9, 4, 16, 4}, {4097, 1500, 8, 3}, {333, 517, 16, 3}};
  const int colourType[5] = {0, 0, 4, 2, 6};
  for (const auto& [w, h, bits, channels] : cases) {
    SCOPED_TRACE(testing::Message() << w << "x" << h << " " << bits << " bits " << channels << " channels");
    const Bytes samples = Picture(w, h, bits, channels);
    const Written written = Write(w, h, bits, channels, samples);
    ASSERT_TRUE(written.ok) << written.error;
    const LibpngImage back = DecodePngWithLibpng(written.file);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(std::make_tuple(back.width, back.height, back.depth, back.colourType),
              std::make_tuple(w, h, bits, colourType[channels]));
    EXPECT_TRUE(back.pixels == BigEndian(samples, bits));
    // And through the project's reader: bottom row first, blue and red exchanged.
    BwDecodedImage image;
    std::string error;
    ASSERT_TRUE(BwReadPngMemory(written.file.data(), written.file.size(), &image, &error)) << error;
    const size_t texelBytes = size_t(channels * bits / 8), sampleBytes = size_t(bits / 8);
    bool same = true;
    for (int y = 0; y < h && same; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < channels; ++c) {
          const int from = channels >= 3 && c < 3 ? 2 - c : c;
          same = same && std::memcmp(&image.data[((size_t(h - 1 - y) * w + x) * texelBytes) + size_t(c) * sampleBytes],
                                     &samples[(size_t(y) * w + x) * texelBytes + size_t(from) * sampleBytes], sampleBytes) == 0;
        }
    EXPECT_TRUE(same);
  }
}

TEST(BwPngWriter, SameBytesForAnyThreadCountAndBatching) {
  const int w = 1500, h = 700;  // 58 rows a segment: 13 segments in one band
  const Bytes samples = Picture(w, h, 8, 3);
  Written one;
  {
    const BwThreadLimit limit(1);
    one = Write(w, h, 8, 3, samples, h);
  }
  ASSERT_TRUE(one.ok) << one.error;
  for (const auto& [threads, batch] : {std::make_pair(2, 1), std::make_pair(3, 58), std::make_pair(8, 333)}) {
    const BwThreadLimit limit(threads);
    const Written other = Write(w, h, 8, 3, samples, batch);
    EXPECT_TRUE(other.ok && other.file == one.file) << threads << " threads, " << batch << " rows at a time";
  }
}

TEST(BwPngWriter, RefusesBadUseWithOneMessage) {
  std::string error;
  FILE* fp = std::tmpfile();
  BwPngWriter w;
  EXPECT_FALSE(w.Begin(fp, 0, 5, 8, 3, &error));
  EXPECT_EQ(error, "PNG: cannot write an image of 0 x 5 texels (1 to 65535 a side)");
  EXPECT_FALSE(w.Begin(fp, 5, 5, 12, 3, &error));
  EXPECT_EQ(error, "PNG: cannot write 3 channels of 12 bits");
  const Bytes row(15, 1);
  ASSERT_TRUE(w.Begin(fp, 5, 2, 8, 3, &error));
  ASSERT_TRUE(w.WriteRows(row.data(), 1, &error));
  EXPECT_FALSE(w.End(&error));
  EXPECT_EQ(error, "PNG: image ended after 1 of 2 rows");
  ASSERT_TRUE(w.Begin(fp, 5, 1, 8, 3, &error));
  EXPECT_FALSE(w.WriteRows(row.data(), 2, &error));
  EXPECT_EQ(error, "PNG: more rows than the image has");
  std::fclose(fp);
  FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_FALSE(w.Begin(full, 5, 1, 8, 3, &error));
  EXPECT_EQ(error, "PNG: write error");
  std::fclose(full);
}

// Real normal maps come out at most 15% larger than libpng writes them at its defaults (zlib
// level 6, a filter chosen per row), the same settings most tools use.
TEST(BwPngWriter, SizeCloseToLibpngDefaults) {
  const std::string dir = TexturesDir();
  if (dir.empty()) GTEST_SKIP() << "no texture folder";
  for (const char* name : {"rock058_normal_1024.tga", "helmet_metal_normal_512.tga", "cube_normal_348.tga"}) {
    FILE* fp = std::fopen((dir + "/" + name).c_str(), "rb");
    ASSERT_NE(fp, nullptr) << name;
    int w = 0, h = 0, depth = 0;
    BwArray<unsigned char> tga;
    ASSERT_TRUE(TGAReadImage(fp, &w, &h, &depth, &tga)) << name;
    std::fclose(fp);
    Bytes rgb;
    std::vector<int> samples;
    for (int y = h - 1; y >= 0; --y)
      for (int x = 0; x < w; ++x)
        for (int c = 2; c >= 0; --c) {
          rgb.push_back(tga[size_t((y * w + x) * 3 + c)]);
          samples.push_back(rgb.back());
        }
    const Written ours = Write(w, h, 8, 3, rgb);
    const Bytes reference = EncodePng({w, h, 2, 8}, samples);
    ASSERT_TRUE(ours.ok && !reference.empty()) << name;
    EXPECT_LE(double(ours.file.size()), 1.15 * double(reference.size())) << name;
  }
}
