// Whole-image filters on float images, whose texels can be far shorter than any 8-bit input
// gives. (Whole runs pin down the rest: dilation rings and their wrap, neighbour multiplicity,
// box filter blocks of both modes, spinners; see PipelineTest.)
#include "Bumpweld.h"
#include "TestSupport.h"

using Image = std::vector<float>;

void Use(int w, int h, int quiet = 2) { BwResetSettings(), gWidth = w, gHeight = h, gQuiet = quiet; }

// `passes` dilation passes on a copy of `start`, with a scratch buffer of garbage.
Image Dilate(const Image& start, int passes) {
  gDilateTexels = passes;
  Image a = start, b(start.size(), 9.0f);
  float *img = a.data(), *scratch = b.data();
  DilateImage(&img, &scratch, 3);
  return Image(img, img + start.size());
}

// Tiny texels count as empty: renormalisation leaves them, a dilation pass fills them and takes
// nothing from them (an image of nothing else stays as it is, while the spinner turns once a
// pass), and a box filter block that cancels out gives one.
TEST(FiltersTest, TinyTexelsCountAsEmpty) {
  Use(1, 4, 0);
  Image img = {3, 4, 0, 0, 0, 0, 5e-8f, 0, 0, 2e-7f, 0, 0};
  EXPECT_EQ(Printed([&] { NormalizeImage(img.data(), 3); }), "\rRenormalize\n" + Spin(4) + "\r");
  EXPECT_EQ(img, (Image{0.6f, 0.8f, 0, 0, 0, 0, 5e-8f, 0, 0, 1, 0, 0}));

  Use(3, 3);  // a tiny texel above (0, 1, 0), then an empty one, in the middle column
  const Image out = Dilate({0, 0, 0, 5e-8f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1);
  EXPECT_EQ(Image(&out[3], &out[6]), Image({0, 1, 0}));
  EXPECT_EQ(Image(&out[21], &out[24]), Image({0, 1, 0}));
  Use(3, 2, 0);
  const Image tiny = {0, 0, 0, 5e-8f, 0, 0, 0, -9e-8f, 0, 0, 0, 1e-8f, -0.0f, 0, 0, 0, 0, 0};
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Dilate(tiny, 3), tiny); }), "\rFilling borders\n" + Spin(3) + "\r");

  Use(1, 1);
  const Image block = {0.6f, 0, 0.8f, -0.6f, 0, -0.8f, 0, 0, 0, 0, 0, 0};  // N, -N below, empty
  Image box(12, 7.0f);
  BoxFilter(box.data(), block.data(), 2, 2, 3);
  EXPECT_EQ(Image(&box[0], &box[3]), Image(3, 0.0f));
}
