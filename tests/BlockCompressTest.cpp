// BC4 / BC5 encoder and decoders: blocks with known optimal answers, the optimum of a brute-force
// search, decoder vectors from the block layouts, padding and row order of whole images.
#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "BlockCompress.h"
#include "Parallel.h"
#include "TestSupport.h"

namespace {

// Code units: UNORM (c + 1) * 127.5, SNORM c * 127.
float Code(float c, BwBc4Kind kind) { return kind == BwBc4Kind::UNORM ? (c + 1.0f) * 127.5f : c * 127.0f; }
float FromCode(float code, BwBc4Kind kind) { return kind == BwBc4Kind::UNORM ? code / 127.5f - 1.0f : code / 127.0f; }

// Squared error, in code units, of the block decoded from `bytes` against `values`.
double BlockError(const float* values, const unsigned char* bytes, BwBc4Kind kind) {
  float decoded[16];
  BwDecodeBc4Block(bytes, kind, decoded);
  double sum = 0;
  for (int i = 0; i < 16; ++i) sum += std::pow(double(Code(decoded[i], kind)) - double(Code(values[i], kind)), 2.0);
  return sum;
}

// Indices 0 to 7 for texels 0 to 7, then 7: a block that decodes to its whole palette.
const unsigned char kAllIndices[6] = {0x88, 0xC6, 0xFA, 0xFF, 0xFF, 0xFF};

// The least squared error over every pair of endpoint bytes.
double BruteForceOptimum(const float* values, BwBc4Kind kind) {
  double best = std::numeric_limits<double>::infinity();
  for (int e0 = 0; e0 < 256; ++e0)
    for (int e1 = 0; e1 < 256; ++e1) {
      if (kind == BwBc4Kind::SNORM && (e0 == 128 || e1 == 128)) continue;  // -128 is -127
      float palette[16];
      BwDecodeBc4Block(Cat({{uint8_t(e0), uint8_t(e1)}, Bytes(kAllIndices, kAllIndices + 6)}).data(), kind, palette);
      double sum = 0;
      for (int t = 0; t < 16 && sum < best; ++t) {
        double nearest = std::numeric_limits<double>::infinity();
        for (int i = 0; i < 8; ++i)
          nearest = std::min(nearest, std::pow(double(Code(palette[i], kind)) - double(Code(values[t], kind)), 2.0));
        sum += nearest;
      }
      best = std::min(best, sum);
    }
  return best;
}

const BwBc4Kind kKinds[] = {BwBc4Kind::UNORM, BwBc4Kind::SNORM};

}  // namespace

// Blocks of one value, of two, eight-step ramps, and -1 and 1 with a cluster between them (only
// the six-value mode holds all three). Values on one palette come back exactly; a constant off
// every palette is within half of the finest palette step (1/7 of a code unit) of one.
TEST(BlockCompressTest, KnownBestBlocks) {
  const BwBc4Kind U = BwBc4Kind::UNORM, S = BwBc4Kind::SNORM;
  // Codes repeated to fill 16 texels; sixValueMode: only that mode holds the block exactly.
  const struct { BwBc4Kind kind; std::vector<float> codes; bool sixValueMode; } cases[] = {
      {U, {0}, false}, {U, {255}, false}, {U, {77}, false}, {S, {-127}, false}, {S, {127}, false}, {S, {0}, false},
      {U, {127.5f}, false}, {U, {165.75f}, false}, {S, {38.1f}, false}, {S, {-97.79f}, false}, {U, {254.87f}, false},
      {U, {10, 200}, false}, {S, {-90, 33}, false}, {U, {70, 80, 90, 100, 110, 120, 130, 140}, false},
      {S, {-56, -48, -40, -32, -24, -16, -8, 0}, false}, {U, {0, 255, 140, 0, 140, 255, 140, 0}, true},
      {S, {-127, 127, 12, 12}, true}, {U, {0, 255, 120, 124, 128}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << ", codes " << c.codes[0] << ", ...");
    float block[16];
    for (int i = 0; i < 16; ++i) block[i] = FromCode(c.codes[size_t(i) % c.codes.size()], c.kind);
    unsigned char bytes[8];
    BwEncodeBc4Block(block, c.kind, bytes);
    const bool onPalette = c.codes.size() > 1 || c.codes[0] == std::floor(c.codes[0]);
    EXPECT_LE(BlockError(block, bytes, c.kind), onPalette ? 1e-4 : 16.0 / (14.0 * 14.0) + 1e-4);
    const bool s = c.kind == S;
    EXPECT_TRUE(!c.sixValueMode || (s ? int8_t(bytes[0]) <= int8_t(bytes[1]) : bytes[0] <= bytes[1]));
  }
}

// Smooth and noisy blocks stay close to the best pair of endpoints a full search finds.
TEST(BlockCompressTest, NearBruteForceOptimum) {
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8 & 0xFFFF; };
  double ours = 0, optimum = 0;
  for (int n = 0; n < 24; ++n) {
    const BwBc4Kind kind = kKinds[n % 2];
    const float base = float(next()) / 65535.0f * 1.6f - 0.8f;
    const float slope = (float(next()) / 65535.0f - 0.5f) * (n < 12 ? 0.05f : 0.4f);
    float block[16];
    for (int i = 0; i < 16; ++i)
      block[i] = std::max(-1.0f, std::min(1.0f, base + slope * float(i % 4 + i / 4) + float(next()) * 1e-7f));
    unsigned char bytes[8];
    BwEncodeBc4Block(block, kind, bytes);
    const double error = BlockError(block, bytes, kind), best = BruteForceOptimum(block, kind);
    EXPECT_LE(error, best * 1.25 + 1e-3) << "block " << n;
    ours += error, optimum += best;
  }
  EXPECT_LE(ours, optimum * 1.05 + 1e-3);
}

// Layout vectors: palettes of both modes, SNORM -128 read as -127, BC3 green in four-colour mode.
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
  // Green 63 and 0 (bits 5-10 of the 5:6:5 words), indices 0, 1, 2, 3, then 0.
  const unsigned char colour[8] = {0xE0, 0x07, 0x00, 0x00, 0xE4, 0x00, 0x00, 0x00};
  float g[16];
  BwDecodeBc3GreenBlock(colour, g);
  const float expected[4] = {1.0f, -1.0f, 1.0f / 3.0f, -1.0f / 3.0f};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(g[i], expected[i], 1e-6) << i;
}

// Images: blocks past the right and bottom edges repeat the edge texels, rows are stored bottom
// row first and blocks top row first, and empty texels encode as flat.
TEST(BlockCompressTest, ImagePaddingRowOrderAndEmptyTexels) {
  std::vector<float> sixteen;
  for (int i = 0; i < 16; ++i) sixteen.insert(sixteen.end(), {0.25f, -0.5f, 0.83f});
  for (BwBc4Kind kind : kKinds) {
    unsigned char a[16], b[16];
    BwEncodeBc5Image(sixteen.data(), 1, 1, 3, kind, a);
    BwEncodeBc5Image(sixteen.data(), 4, 4, 3, kind, b);
    EXPECT_EQ(Bytes(a, a + 16), Bytes(b, b + 16));
  }
  // 4 x 8, four floats a texel: the top four rows (stored last) have x = 0.5, the others -0.5;
  // the fourth float must not matter. The first block row is the top.
  std::vector<float> image;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 4; ++x) image.insert(image.end(), {y >= 4 ? 0.5f : -0.5f, 0.0f, 0.0f, NAN});
  unsigned char blocks[32];
  BwEncodeBc5Image(image.data(), 4, 8, 4, BwBc4Kind::UNORM, blocks);
  float top[16], bottom[16], y[16];
  BwDecodeBc4Block(blocks, BwBc4Kind::UNORM, top);
  BwDecodeBc4Block(blocks + 16, BwBc4Kind::UNORM, bottom);
  BwDecodeBc4Block(blocks + 8, BwBc4Kind::UNORM, y);
  for (int i = 0; i < 16; ++i) {
    EXPECT_NEAR(top[i], 0.5f, 1e-3f);
    EXPECT_NEAR(bottom[i], -0.5f, 1e-3f);
    EXPECT_TRUE(std::isfinite(y[i]) && std::fabs(y[i]) < 1e-3f) << y[i];  // empty texels: 0
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

// Angle in degrees between a unit normal and the one a reader rebuilds from x and y.
double Angle(const float* normal, float x, float y) {
  const double z = std::sqrt(std::max(0.0, 1.0 - double(x) * x - double(y) * y)), len = std::hypot(double(x), double(y), z);
  const double dot = (double(x) * normal[0] + double(y) * normal[1] + z * normal[2]) / len;
  return std::acos(std::min(1.0, std::max(-1.0, dot))) * 180.0 / M_PI;
}

}  // namespace

// The same bytes on one thread and on all, and in the baseline and the AVX2 versions of the code
// (the baseline build checks the same hashes): the two versions score different numbers of
// candidate pairs at once. The picture has smooth blocks (the narrow window), rough ones, and
// blocks at the ends of the range (the six-value mode).
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
  const std::pair<BwBc4Kind, uint64_t> cases[] = {{BwBc4Kind::UNORM, 8245762106054771442ull},
                                                  {BwBc4Kind::SNORM, 7504994233818650497ull}};
  for (const auto& [kind, hash] : cases) {
    std::vector<unsigned char> all(35 * 18 * 16), one(all.size());
    BwEncodeBc5Image(image.data(), w, h, 3, kind, all.data());
    {
      BwThreadLimit limit(1);
      BwEncodeBc5Image(image.data(), w, h, 3, kind, one.data());
    }
    uint64_t fnv1a = 14695981039346656037ull;
    for (unsigned char b : all) fnv1a = (fnv1a ^ b) * 1099511628211ull;
    EXPECT_EQ(all, one) << int(kind);
    EXPECT_EQ(fnv1a, hash) << int(kind);
  }
}

// Errors weighted by the angle they turn the normal: in blocks whose texels lean by different
// amounts, BC5 blocks come out clearly closer in direction than x and y encoded on their own,
// in the sum of squared angles and at the worst texel.
TEST(BlockCompressTest, ErrorsCountByTheAngleTheyTurnTheNormal) {
  const int w = 64, h = 64;
  const std::vector<float> image = MixedNormals(w, h, 7);
  std::vector<unsigned char> blocks(16 * 16 * 16);
  BwEncodeBc5Image(image.data(), w, h, 3, BwBc4Kind::UNORM, blocks.data());
  double weighted = 0, separate = 0, weightedWorst = 0, separateWorst = 0;
  for (int by = 0; by < 16; ++by)
    for (int bx = 0; bx < 16; ++bx) {
      float plain[2][16], bc5[2][16];  // x and y of each texel
      const float* normals[16];
      unsigned char bytes[8];
      for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < 16; ++i) {
          normals[i] = &image[(size_t(h - 1 - (4 * by + i / 4)) * w + 4 * bx + i % 4) * 3];
          plain[c][i] = normals[i][c];
        }
        BwEncodeBc4Block(plain[c], BwBc4Kind::UNORM, bytes);
        BwDecodeBc4Block(bytes, BwBc4Kind::UNORM, plain[c]);
        BwDecodeBc4Block(&blocks[(size_t(by) * 16 + bx) * 16 + 8 * size_t(c)], BwBc4Kind::UNORM, bc5[c]);
      }
      for (int i = 0; i < 16; ++i) {
        const double a = Angle(normals[i], bc5[0][i], bc5[1][i]), b = Angle(normals[i], plain[0][i], plain[1][i]);
        weighted += a * a, separate += b * b;
        weightedWorst = std::max(weightedWorst, a), separateWorst = std::max(separateWorst, b);
      }
    }
  EXPECT_LT(weighted, 0.9 * separate);
  EXPECT_LT(weightedWorst, 0.8 * separateWorst);
}
