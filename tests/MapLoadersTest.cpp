// Normal map and height map loaders on small Targa files.
#include <cmath>

#include "Bumpweld.h"
#include "TestSupport.h"

using Image = std::vector<float>;

// The normals of a normal map (scale < 0) or a height map file of the given texels.
Image Load(int w, int h, int depth, const Bytes& texels, float scale = -1) {
  BwResetSettings(), gQuiet = 2;
  TempDir dir;
  WriteFile(dir / "map.tga", MakeTga(w, h, depth, texels));
  int width = 0, height = 0, nc = 3;
  BwArray<float> normals;
  if (scale < 0) ReadNormalMap((dir / "map.tga").c_str(), &width, &height, &nc, &normals);
  else GetBumpMapFromHeightMap((dir / "map.tga").c_str(), &width, &height, &normals, scale);
  EXPECT_TRUE(width == w && height == h);
  return Image(normals.get(), normals.get() + w * h * 3);
}

// Byte 0 is z, byte 1 y, byte 2 x, (b - 127.5) / 127.5 normalised; 127, 127, 127 is empty;
// alpha is ignored; one texel a row, so the row stride shows. (Refused depths: HostileInputTest.)
TEST(MapLoadersTest, NormalMapTexels) {
  const float third = float(1 / std::sqrt(3.0));
  EXPECT_EQ(Load(1, 2, 32, {127, 127, 127, 9, 0, 0, 255, 9}), Image({0, 0, 0, third, -third, -third}));
}

// A ramp rising by one per step along x (or along y, the next row), three texels across. Away
// from the seam the normal leans toward falling height; at the first and last steps, where the
// wrap sees the opposite edge, it leans the other way.
TEST(MapLoadersTest, HeightRampNormalsAndSeams) {
  const int length = 8;
  for (bool alongY : {false, true}) {
    const int w = alongY ? 3 : length, h = alongY ? length : 3, sign = alongY ? 1 : -1;
    Bytes texels;
    for (int t = 0; t < w * h; ++t) texels.push_back(Bytes::value_type(10 + (alongY ? t / w : t % w)));
    const Image img = Load(w, h, 8, texels, 1.0f);
    for (int t = 0; t < w * h; ++t) {
      const int step = alongY ? t / w : t % w;
      const float along = img[size_t(t * 3 + alongY)];
      EXPECT_NEAR(img[size_t(t * 3 + !alongY)], 0.0, 1e-6) << alongY << " texel " << t;
      if (step == 0 || step == length - 1) {
        EXPECT_LT(sign * along, 0.0f) << alongY << " seam texel " << t;
      } else {
        EXPECT_NEAR(along, sign * 0.0313571, 1e-7) << alongY << " texel " << t;
        EXPECT_NEAR(img[size_t(t * 3 + 2)], 0.9995083, 1e-7) << alongY << " texel " << t;
      }
    }
  }
}

// Only byte 0 of a texel is a height (the low byte at 16 bits). Scale 0 gives (-0, -0, 1).
TEST(MapLoadersTest, HeightMapDepthsAndZeroScale) {
  const int w = 5, h = 4;
  Bytes grey;
  for (int t = 0; t < w * h; ++t) grey.push_back(Bytes::value_type(t * 73 + 11));
  const Image want = Load(w, h, 8, grey, 2.5f);
  for (int depth : {16, 24, 32}) {
    Bytes texels;
    for (int t = 0; t < w * h; ++t)
      for (int k = 0; k < depth / 8; ++k) texels.push_back(k ? Bytes::value_type(t * 31 + k * 97) : grey[size_t(t)]);
    EXPECT_EQ(Load(w, h, depth, texels, 2.5f), want) << depth;
  }
  const Image flat = Load(w, h, 8, grey, 0.0f);
  for (size_t i = 0; i < flat.size(); ++i)
    EXPECT_TRUE(flat[i] == (i % 3 == 2) && std::signbit(flat[i]) == (i % 3 < 2)) << "float " << i;
}
