// PNG writing: round trips through libpng, files independent of the thread count and of how
// rows are handed over, and write errors.
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

// libpng reads back what was written: a small 16-bit picture, and an 8-bit one of 4097 x 1500
// texels (21 rows a segment, 672 a band: three bands); the large one has the same bytes for any
// thread count and however the rows are handed over.
TEST(BwPngWriter, RoundTripsAndSameBytesForAnyThreadCount) {
  const uint16_t one = 1;
  const int hostOrder = *reinterpret_cast<const unsigned char*>(&one) == 1 ? PNG_TRANSFORM_SWAP_ENDIAN : 0;
  for (const auto& [w, h, bits] : {std::tuple(9, 4, 16), std::tuple(4097, 1500, 8)}) {
    const Bytes samples = Picture(w, h, bits, 3);
    Result first;
    {
      const BwThreadLimit limit(1);
      first = Write(w, h, bits, 3, samples, h);
    }
    ASSERT_TRUE(first.ok) << first.error;
    const LibpngImage back = DecodePngWithLibpng(first.file, hostOrder);
    EXPECT_TRUE(back.ok && back.width == w && back.height == h && back.depth == bits && back.colourType == 2);
    EXPECT_TRUE(back.rows == samples) << w;
    for (const auto& [threads, batch] : {std::make_pair(2, 1), std::make_pair(3, 58), std::make_pair(8, 333)}) {
      const BwThreadLimit limit(threads);
      const Result other = Write(w, h, bits, 3, samples, batch);
      EXPECT_TRUE(other.ok && other.file == first.file) << threads << " threads, " << batch << " rows at a time";
    }
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
