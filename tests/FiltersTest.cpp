// Whole-image filters: renormalisation, border dilation and the two box filter modes.
#include <cmath>

#include "Bumpweld.h"
#include "TestSupport.h"

using Image = std::vector<float>;

void Use(int w, int h, int quiet = 2) { BwResetSettings(), gWidth = w, gHeight = h, gQuiet = quiet; }

Image Texel(const Image& img, int t) { return Image(&img[size_t(t) * 3], &img[size_t(t) * 3 + 3]); }

// The direction of the double sum of texels `at`, as float.
Image Direction(const Image& img, const std::vector<int>& at) {
  double v[3] = {0, 0, 0};
  for (int t : at) for (int k = 0; k < 3; ++k) v[k] += img[size_t(t * 3 + k)];
  Normalize(v);
  return {float(v[0]), float(v[1]), float(v[2])};
}

// `passes` dilation passes on a copy of `start`, with a scratch buffer of garbage.
Image Dilate(const Image& start, int passes) {
  gDilateTexels = passes;
  Image a = start, b(start.size(), 9.0f);
  float *img = a.data(), *scratch = b.data();
  DilateImage(&img, &scratch, 3);
  return Image(img, img + start.size());
}

TEST(FiltersTest, NormalizeImageTouchesOnlyFilledTexelsAndSpinsPerRow) {
  Use(1, 4, 0);
  Image img = {3, 4, 0, 0, 0, 0, 5e-8f, 0, 0, 2e-7f, 0, 0};
  EXPECT_EQ(Printed([&] { NormalizeImage(img.data(), 3); }), "\rRenormalize\n" + Spin(4) + "\r");
  EXPECT_EQ(img, (Image{0.6f, 0.8f, 0, 0, 0, 0, 5e-8f, 0, 0, 1, 0, 0}));
}

// After n passes the filled texels are those within four-neighbour distance n of the seed at
// (0, 0) on the torus, and the seed keeps its value. Without a filled texel nothing changes,
// and the spinner still turns once a pass.
TEST(FiltersTest, DilationGrowsOneWrappedRingPerPass) {
  const int w = 7, h = 5;
  Image start(size_t(w * h) * 3, 0.0f);
  start[2] = -1;
  for (int passes = 0; passes <= 6; ++passes) {
    Use(w, h);
    const Image out = Dilate(start, passes);
    EXPECT_EQ(Texel(out, 0), Image({0, 0, -1}));
    for (int t = 0; t < w * h; ++t) {
      const int dist = std::min(t % w, w - t % w) + std::min(t / w, h - t / w);
      EXPECT_EQ(Texel(out, t) != Image(3, 0.0f), dist <= passes) << passes << " passes, texel " << t;
    }
  }
  Use(3, 2, 0);
  const Image empty = {0, 0, 0, 5e-8f, 0, 0, 0, -9e-8f, 0, 0, 0, 1e-8f, -0.0f, 0, 0, 0, 0, 0};
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Dilate(empty, 3), empty); }), "\rFilling borders\n" + Spin(3) + "\r");
}

// One pass: `target` takes the direction of the sum of the texels in `sum`, a texel that is
// both left and right (or upper and lower) neighbour counted twice; cancelling gives (1, 0, 0).
// Texel 1 of tiny components is empty: it is filled, and adds nothing to texel 7.
TEST(FiltersTest, DilationSumsFilledNeighboursWithTheirMultiplicity) {
  const Image tinyAbove = {0, 0, 0, 5e-8f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const struct { int w, h; Image img; int target; std::vector<int> sum; } cases[] = {
      {2, 3, {0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 2, {0, 3, 3}},
      {3, 2, {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}, 1, {0, 4, 4}},
      {3, 3, {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0}, 4, {}},
      {3, 3, tinyAbove, 7, {4}}, {3, 3, tinyAbove, 1, {4}}};
  for (const auto& c : cases) {
    Use(c.w, c.h);
    EXPECT_EQ(Texel(Dilate(c.img, 1), c.target), c.sum.empty() ? Image({1, 0, 0}) : Direction(c.img, c.sum))
        << c.w << "x" << c.h << " texel " << c.target;
  }
}

// Same size: the block at a texel with the next column and row, wrapping at the edges.
// Halving: the block at twice the coordinates; a missing column or row repeats the last one,
// and texels beyond the blocks hold NaN, which would show in any output that read them. One
// spinner frame per output row. A cancelling block gives the empty texel.
TEST(FiltersTest, BoxFilterBlocksInBothModes) {
  const struct { int sw, sh, w, h, target; std::vector<int> block; } cases[] = {
      {3, 3, 3, 3, 0, {0, 1, 3, 4}},     {3, 3, 3, 3, 8, {8, 6, 2, 0}},  {3, 4, 3, 4, 5, {5, 3, 8, 6}},
      {4, 4, 2, 2, 3, {10, 11, 14, 15}}, {5, 5, 2, 2, 1, {2, 3, 7, 8}},  {5, 5, 2, 2, 3, {12, 13, 17, 18}},
      {2, 1, 1, 1, 0, {0, 1, 0, 1}},     {1, 4, 1, 2, 1, {2, 3, 2, 3}},  {4, 2, 2, 1, 1, {2, 3, 6, 7}}};
  for (const auto& c : cases) {
    Image src, out(size_t(c.w * c.h) * 3, 7.0f);
    for (int t = 0; t < c.sw * c.sh; ++t) {  // unit vectors in assorted directions
      const bool beyond = c.w < c.sw && (t % c.sw >= 2 * c.w || t / c.sw >= 2 * c.h);
      for (float v : Direction({std::sin(t * 2.1f + 1), std::cos(t * 1.3f), std::sin(t * 0.7f) + 0.2f}, {0}))
        src.push_back(beyond ? NAN : v);
    }
    Use(c.w, c.h, 0);
    EXPECT_EQ(Printed([&] { BoxFilter(out.data(), src.data(), c.sw, c.sh, 3); }), "Box filtering\n" + Spin(c.h) + "\r");
    const Image want = Direction(src, c.block);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(out[size_t(c.target * 3 + k)], want[size_t(k)], 1e-6) << c.sw << "x" << c.sh << " texel " << c.target;
    for (float v : out) EXPECT_TRUE(std::isfinite(v)) << c.sw << "x" << c.sh;
  }
  Use(1, 1);
  const Image block = {0.6f, 0, 0.8f, -0.6f, 0, -0.8f, 0, 0, 0, 0, 0, 0};  // N, -N below, empty
  Image out(12, 7.0f);
  BoxFilter(out.data(), block.data(), 2, 2, 3);
  EXPECT_EQ(Texel(out, 0), Image(3, 0.0f));
}
