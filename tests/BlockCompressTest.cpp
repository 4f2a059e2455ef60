// BC4 / BC5 / BC3n encoders and decoders: decoder vectors from the block layouts, BC3n's blocks
// against BC5's and against every green pair, and the same bytes on every thread count and
// processor version. (Padding and row order of whole images are checked
// against independent readers in DdsKtxTest; the encoder's quality against other encoders by
// the benchmark.)
#include <algorithm>
#include <cmath>
#include <tuple>

#include "BlockCompress.h"
#include "Parallel.h"
#include "TestSupport.h"

namespace {

// Indices 0 to 7 for texels 0 to 7, then 7: a block that decodes to its whole palette.
const unsigned char kAllIndices[6] = {0x88, 0xC6, 0xFA, 0xFF, 0xFF, 0xFF};

}  // namespace

// Layout vectors: palettes of both modes, SNORM -128 read as -127, BC3 green in four-colour mode
// with its 6 bits expanded to 8 as a GPU reads them.
TEST(BlockCompressTest, DecodersFollowTheBlockLayouts) {
  using K = BwBc4Kind;
  const std::vector<float> eight = {1, -1, 5 / 7.0f, 3 / 7.0f, 1 / 7.0f, -1 / 7.0f, -3 / 7.0f, -5 / 7.0f};
  const std::vector<float> six = {-1, 1, -0.6f, -0.2f, 0.2f, 0.6f, -1, 1};
  const std::tuple<int, int, K, std::vector<float>> cases[] = {
      {255, 0, K::UNORM, eight}, {0, 255, K::UNORM, six}, {0x80, 0x7F, K::SNORM, six}, {0x7F, 0x81, K::SNORM, eight}};
  for (const auto& [e0, e1, kind, first8] : cases) {
    float v[16];
    BwDecodeBc4Block(Cat({{uint8_t(e0), uint8_t(e1)}, Bytes(kAllIndices, kAllIndices + 6)}).data(), kind, v);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(v[i], first8[size_t(i)], 1e-6) << e0 << " texel " << i;
  }
  // Green (bits 5-10 of the 5:6:5 words) read as 8 bits, its top bits repeated: 63 and 0, and 33
  // and 31 (134 and 125, thirds 131 and 128) with red and blue all ones; indices 0, 1, 2, 3.
  const std::pair<Bytes, std::vector<int>> colours[] = {
      {{0xE0, 0x07, 0x00, 0x00, 0xE4, 0x00, 0x00, 0x00}, {255, 0, 170, 85}},
      {{0x3F, 0xFC, 0xFF, 0xFB, 0xE4, 0x00, 0x00, 0x00}, {134, 125, 131, 128}}};
  for (const auto& [colour, expected] : colours) {
    float g[16];
    BwDecodeBc3GreenBlock(colour.data(), g);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(g[i], float(expected[size_t(i)]) / 255.0f * 2.0f - 1.0f, 1e-6) << i;
  }
}

namespace {

// A normal image of w x h texels, three floats each, with rough blocks: odd texels lean far in
// x, down to a few degrees above the horizon, where an error in x turns the normal most; even
// texels lean less and count less.
std::vector<float> MixedNormals(int w, int h, uint32_t seed) {
  auto next = [&seed] { return float((seed = seed * 1664525u + 1013904223u) >> 8 & 0xFFFF) / 65535.0f; };
  std::vector<float> image;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float nx = (x + y) % 2 ? 0.8f + 0.17f * next() : 0.5f * next(), ny = (x + y) % 2 ? 0.2f : 0.0f;
      image.insert(image.end(), {nx, ny, std::sqrt(std::max(0.0f, 1.0f - nx * nx - ny * ny))});
    }
  return image;
}

}  // namespace

// The same bytes on one thread and on all, and in every processor version of the code that
// runs here (the baseline build checks the same hashes): the versions score different numbers
// of candidate pairs and blocks at once. The picture has smooth blocks (the narrow window),
// rough ones, and blocks at the ends of the range (the six-value mode).
TEST(BlockCompressTest, SameBytesOnEveryThreadCountAndProcessorVersion) {
  const int w = 137, h = 70;  // 35 x 18 blocks, the last column and row padded
  std::vector<float> image = MixedNormals(w, h, 99);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* t = &image[(size_t(y) * w + x) * 3];
      if (x < w / 3)
        t[0] = 0.3f * std::sin(0.05f * float(x) + 0.07f * float(y)), t[1] = 0.2f * std::cos(0.04f * float(y));
      else if (x >= 2 * w / 3)
        t[0] = (x + y) % 3 ? 0.9f + 0.1f * t[0] : 1.0f, t[1] = t[1] - 0.95f;
    }
  const std::pair<BwBc4Kind, uint64_t> cases[] = {{BwBc4Kind::UNORM, 2662166789675455041ull},
                                                  {BwBc4Kind::SNORM, 16986716218854738130ull}};
  for (const auto& [kind, hash] : cases) {
    SCOPED_TRACE(int(kind));
    ExpectSameBytesEverywhere(35 * 18 * 16, hash, [&, kind = kind](unsigned char* out, int version) {
      BwEncodeBc5Image(image.data(), w, h, 3, kind, out, BwVectorVersion(version));
    });
  }
}

namespace {

// The weighted squared error of a green block's decoded values against 8-bit targets t.
double GreenError(const unsigned char colour[8], const float* t, const float* w) {
  float g[16];
  BwDecodeBc3GreenBlock(colour, g);
  double sum = 0;
  for (int i = 0; i < 16; ++i) sum += double(w[i]) * std::pow((double(g[i]) + 1.0) * 127.5 - double(t[i]), 2);
  return sum;
}

}  // namespace

// BC3n: the alpha block is BC5's x block (the same search and weights); the colour block holds
// green only, c0 > c1 unless one value fills the block (then c0 == c1 and indices 0), and its
// error is within 2% of the best of all 2080 green pairs; the same bytes on every thread count
// and processor version (the baseline build checks the same hash).
TEST(BlockCompressTest, Bc3nBlocks) {
  const int w = 41, h = 22;  // 11 x 6 blocks, the last column and row padded
  std::vector<float> image = MixedNormals(w, h, 5);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* t = &image[(size_t(y) * w + x) * 3];
      t[1] = x < 12 ? 0.3f : x < 24 ? 0.4f * std::sin(0.3f * float(x + y)) : t[0] - 0.5f;  // flat, smooth, rough
    }
  const size_t blocks = 11 * 6;
  std::vector<unsigned char> bc3n(blocks * 16), bc5(bc3n.size());
  BwEncodeBc3nImage(image.data(), w, h, 3, bc3n.data());
  BwEncodeBc5Image(image.data(), w, h, 3, BwBc4Kind::UNORM, bc5.data());
  double ours = 0, best = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = &bc3n[16 * b];
    EXPECT_TRUE(std::equal(block, block + 8, &bc5[16 * b])) << b;
    const int c0 = block[8] | block[9] << 8, c1 = block[10] | block[11] << 8;
    EXPECT_EQ((c0 | c1) & 0xF81F, 0) << b;  // red and blue 0
    EXPECT_TRUE(c0 > c1 || (c0 == c1 && std::all_of(block + 12, block + 16, [](int i) { return i == 0; }))) << b;
    // The targets and weights of the block's y, as the encoder sees them.
    float t[16], wy[16];
    const int bx = int(b % 11), by = int(b / 11);
    for (int i = 0; i < 16; ++i) {
      const int px = std::min(4 * bx + i % 4, w - 1), py = std::min(4 * by + i / 4, h - 1);
      const float* n = &image[(size_t(h - 1 - py) * w + px) * 3];
      t[i] = (n[1] + 1.0f) * 127.5f;
      wy[i] = 1.0f + n[1] * n[1] / std::max(1.0f - n[0] * n[0] - n[1] * n[1], 0.05f);
    }
    ours += GreenError(block + 8, t, wy);
    double least = HUGE_VAL;
    for (int lo = 0; lo < 64; ++lo)
      for (int hi = lo; hi < 64; ++hi) {
        unsigned char colour[8] = {uint8_t(hi << 5), uint8_t(hi >> 3), uint8_t(lo << 5), uint8_t(lo >> 3)};
        // Each texel on its nearest entry: the error of the pair.
        float g[4];
        for (int k = 0; k < 4; ++k) {
          colour[4] = uint8_t(k * 0x55);
          float v[16];
          BwDecodeBc3GreenBlock(colour, v);
          g[k] = (v[0] + 1.0f) * 127.5f;
        }
        double sum = 0;
        for (int i = 0; i < 16; ++i) {
          double d = HUGE_VAL;
          for (float gk : g) d = std::min(d, std::pow(double(gk) - double(t[i]), 2));
          sum += double(wy[i]) * d;
        }
        least = std::min(least, sum);
      }
    best += least;
  }
  EXPECT_LE(ours, 1.02 * best);
  ExpectSameBytesEverywhere(bc3n.size(), 15338616809242725287ull, [&](unsigned char* out, int version) {
    BwEncodeBc3nImage(image.data(), w, h, 3, out, BwVectorVersion(version));
  });
}
