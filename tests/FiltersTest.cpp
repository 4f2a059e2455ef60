// Whole-image filters on float images, whose texels can be far shorter than any 8-bit input
// gives. (Whole runs pin down the rest: dilation rings and their wrap, neighbour multiplicity,
// box filter blocks of both modes, spinners; see PipelineTest.)
#include <climits>
#include <cmath>

#include "Filters.h"
#include "TestSupport.h"

using Image = std::vector<float>;

// What a stage prints on a console at quiet level 0.
std::string Shown(const std::function<void(BwConsole&)>& stage) {
  std::string text;
  BwConsole console(0, [&](int, const char* t, size_t n) { text.append(t, n); });
  stage(console);
  return text;
}

// Tiny texels count as empty: renormalisation leaves them, a dilation pass fills them and takes
// nothing from them (an image of nothing else stays as it is), and a box filter block that
// cancels out gives one.
TEST(FiltersTest, TinyTexelsCountAsEmpty) {
  Image img = {3, 4, 0, 0, 0, 0, 5e-8f, 0, 0, 2e-7f, 0, 0};
  EXPECT_EQ(Shown([&](BwConsole& c) { BwShowRenormalizeStage(c, 4); }), "\rRenormalize\n" + Spin(4) + "\r");
  BwRenormalizeImage(img.data(), 1, 4, 3);
  EXPECT_EQ(img, (Image{0.6f, 0.8f, 0, 0, 0, 0, 5e-8f, 0, 0, 1, 0, 0}));

  // A tiny texel above (0, 1, 0), then an empty one, in the middle column of a 3 x 3 image.
  Image out = {0, 0, 0, 5e-8f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  BwDilateTexels(out.data(), 3, 3, 1, 3);
  EXPECT_EQ(Image(&out[3], &out[6]), Image({0, 1, 0}));
  EXPECT_EQ(Image(&out[21], &out[24]), Image({0, 1, 0}));
  const Image tiny = {0, 0, 0, 5e-8f, 0, 0, 0, -9e-8f, 0, 0, 0, 1e-8f, -0.0f, 0, 0, 0, 0, 0};
  Image dilated = tiny;
  BwDilateTexels(dilated.data(), 3, 2, 3, 3);
  EXPECT_EQ(dilated, tiny);
  EXPECT_EQ(Shown([&](BwConsole& c) { BwShowDilationStage(c, 3); }), "\rFilling borders\n" + Spin(3) + "\r");

  const Image block = {0.6f, 0, 0.8f, -0.6f, 0, -0.8f, 0, 0, 0, 0, 0, 0};  // N, -N below, empty
  Image box(12, 7.0f);
  BwBoxFilterTexels(box.data(), 1, 1, block.data(), 2, 2, 3);
  EXPECT_EQ(Image(&box[0], &box[3]), Image(3, 0.0f));
}

// The dilation of an image known only by its filled bits and seeds makes the fills of the whole
// image's: blocks and lone texels filled, wrapped or clamped, some passes or all, one row or column.
TEST(FiltersTest, SparseDilationFillsAsTheWholeImage) {
  const struct { int w, h, passes; bool clamp; } cases[] = {
      {37, 23, 3, true}, {37, 23, INT_MAX, false}, {37, 23, INT_MAX, true}, {70, 1, INT_MAX, false}, {1, 45, INT_MAX, true}};
  for (const auto& c : cases) {
    const int64_t count = int64_t(c.w) * c.h, rowWords = (c.w + 63) / 64;
    Image img(size_t(count) * 3, 0.0f);
    std::vector<uint64_t> filled(size_t(c.h * rowWords), 0);
    for (int64_t i = 0; i < count; ++i)
      if ((i % c.w % 17 < 5 && i / c.w % 11 < 4) || i % 97 == 5) {
        img[size_t(i) * 3] = std::sin(float(i % 13)) * 0.6f, img[size_t(i) * 3 + 1] = std::cos(float(i % 13)) * 0.6f;
        img[size_t(i) * 3 + 2] = 0.8f;
        filled[size_t(i / c.w * rowWords + i % c.w / 64)] |= uint64_t(1) << (i % c.w % 64);
      }
    std::vector<BwFill> seeds;  // the filled texels with an empty neighbour
    for (int64_t i = 0, n[4]; i < count; ++i) {
      bool bordering = false;
      for (int k = 0, m = BwNeighbours(i % c.w, i / c.w, c.w, c.h, c.clamp, c.clamp, n); k < m; ++k)
        bordering = bordering || !BwIsFilled(&img[size_t(n[k]) * 3]);
      if (bordering && BwIsFilled(&img[size_t(i) * 3])) seeds.push_back(BwFill{uint32_t(i), {img[size_t(i) * 3], img[size_t(i) * 3 + 1], img[size_t(i) * 3 + 2]}});
    }
    Image whole = img, sparse = img;
    BwDilateTexels(whole.data(), c.w, c.h, c.passes, 3, c.clamp);
    BwDilateSparse(filled.data(), rowWords, c.w, c.h, c.passes, c.clamp, seeds, [&](const std::vector<BwFill>& fills) {
      for (const BwFill& f : fills) std::copy(f.value, f.value + 3, &sparse[size_t(f.texel) * 3]);
    });
    EXPECT_TRUE(whole == sparse && whole != img) << c.w << " x " << c.h << ", " << c.passes << " passes";
  }
}
