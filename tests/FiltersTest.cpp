// Whole-image filters on float images, whose texels can be far shorter than any 8-bit input
// gives. (Whole runs pin down the rest: dilation rings and their wrap, neighbour multiplicity,
// box filter blocks of both modes, spinners; see PipelineTest.)
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
