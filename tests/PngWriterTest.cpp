// PNG writing: round trips through libpng at every layout, files independent of the thread
// count and of how rows are handed over, and write errors.
#include <cstring>
#include <tuple>

#include "Parallel.h"
#include "PngSupport.h"
#include "PngWriter.h"

namespace {

struct Result {
  bool ok = false;
  Bytes file;
  std::string error;
};

// Writes `samples` (top row first; 16-bit samples native) handing `batch` rows at a time.
Result Write(int w, int h, int bits, int channels, const Bytes& samples, int64_t batch = 7) {
  Result r;
  const size_t rowBytes = size_t(w) * channels * (bits / 8);
  r.file = Written([&](FILE* fp) {
    BwPngWriter writer;
    r.ok = writer.Begin(fp, w, h, bits, channels, &r.error);
    for (int64_t y = 0; r.ok && y < h; y += batch)
      r.ok = writer.WriteRows(samples.data() + size_t(y) * rowBytes, std::min<int64_t>(batch, h - y), &r.error);
    r.ok = r.ok && writer.End(&r.error);
  });
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
        const uint16_t u = uint16_t(v * 257 + c);
        out.resize(out.size() + size_t(bits / 8));
        if (bits == 8) out.back() = (unsigned char)v;
        else std::memcpy(&out[out.size() - 2], &u, 2);
      }
  return out;
}

}  // namespace

TEST(BwPngWriter, RoundTripsThroughLibpng) {
  // 4097 wide: 21 rows a segment and 672 a band, so 1500 rows make three bands.
  const std::tuple<int, int, int, int> cases[] = {
      {1, 1, 16, 3}, {7, 3, 8, 1}, {5, 9, 16, 2}, {13, 11, 8, 3}, {9, 4, 16, 4}, {4097, 1500, 8, 3}};
  const uint16_t one = 1;
  const int hostOrder = *reinterpret_cast<const unsigned char*>(&one) == 1 ? PNG_TRANSFORM_SWAP_ENDIAN : 0;
  for (const auto& [w, h, bits, channels] : cases) {
    SCOPED_TRACE(testing::Message() << w << "x" << h << " " << bits << " bits " << channels << " channels");
    const Bytes samples = Picture(w, h, bits, channels);
    const Result written = Write(w, h, bits, channels, samples);
    ASSERT_TRUE(written.ok) << written.error;
    const LibpngImage back = DecodePngWithLibpng(written.file, hostOrder);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(std::make_tuple(back.width, back.height, back.depth, back.colourType),
              std::make_tuple(w, h, bits, channels == 1 ? 0 : channels == 2 ? 4 : channels == 3 ? 2 : 6));
    EXPECT_TRUE(back.rows == samples);
  }
}

TEST(BwPngWriter, SameBytesForAnyThreadCountAndBatching) {
  const int w = 1500, h = 700;  // 58 rows a segment: 13 segments in one band
  const Bytes samples = Picture(w, h, 8, 3);
  Result one;
  {
    const BwThreadLimit limit(1);
    one = Write(w, h, 8, 3, samples, h);
  }
  ASSERT_TRUE(one.ok) << one.error;
  for (const auto& [threads, batch] : {std::make_pair(2, 1), std::make_pair(3, 58), std::make_pair(8, 333)}) {
    const BwThreadLimit limit(threads);
    const Result other = Write(w, h, 8, 3, samples, batch);
    EXPECT_TRUE(other.ok && other.file == one.file) << threads << " threads, " << batch << " rows at a time";
  }
}

// A write error is reported, not a file cut short.
TEST(BwPngWriter, ReportsWriteErrors) {
  FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  std::string error;
  EXPECT_FALSE(BwPngWriter().Begin(full, 5, 1, 8, 3, &error));
  EXPECT_EQ(error, "PNG: write error");
  std::fclose(full);
}
