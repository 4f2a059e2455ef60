// BC4 / BC5 encoder and decoders: decoder vectors from the block layouts, and the same bytes on
// every thread count and processor version. (Padding and row order of whole images are checked
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
  const std::pair<BwBc4Kind, uint64_t> cases[] = {{BwBc4Kind::UNORM, 8245762106054771442ull},
                                                  {BwBc4Kind::SNORM, 9330885989674161223ull}};
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
    for (BwVectorVersion code : {BwVectorVersion::BASELINE, BwVectorVersion::AVX2, BwVectorVersion::AVX512}) {
      if (!BwVectorVersionRuns(code)) continue;
      std::vector<unsigned char> version(all.size());
      BwEncodeBc5Image(image.data(), w, h, 3, kind, version.data(), code);
      EXPECT_EQ(version, all) << "version " << int(code) << ", kind " << int(kind);
    }
  }
}
