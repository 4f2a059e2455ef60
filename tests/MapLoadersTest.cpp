// Normal map and height map loaders on small Targa files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "Bumpweld.h"
#include "TestSupport.h"

namespace {

using Image = std::vector<float>;

// Death tests read standard error; the messages go to standard output.
#define EXPECT_FATAL(statement, message) EXPECT_EXIT({ std::fflush(stdout); dup2(2, 1); statement; }, \
    ::testing::ExitedWithCode(255), ::testing::Matcher<const std::string&>(message))

class MapLoadersTest : public ::testing::Test {
 protected:
  void SetUp() override { BwResetSettings(), gQuiet = 2; }
  std::string Tga(int width, int height, int depth, const Bytes& texels) {
    const std::string path = dir_ / ("map" + std::to_string(files_++) + ".tga");
    WriteFile(path, MakeTga(width, height, depth, texels));
    return path;
  }
  // Loads a normal map (scale < 0) or a height map; a normal map leaves the component count alone.
  Image Load(const std::string& path, float scale = -1) {
    int w = 0, h = 0, nc = 5;
    BwArray<float> normals;
    if (scale < 0) ReadNormalMap(path.c_str(), &w, &h, &nc, &normals);
    else GetBumpMapFromHeightMap(path.c_str(), &w, &h, &normals, scale);
    EXPECT_EQ(nc, 5);
    return Image(normals.get(), normals.get() + w * h * 3);
  }
  TempDir dir_;
  int files_ = 0;
};

// Texel bytes in file order: byte 0 is z, byte 1 y, byte 2 x; 127, 127, 127 is the empty texel.
// 32-bit files give the same normals whatever their alpha bytes.
TEST_F(MapLoadersTest, NormalMapBytesToUnitVectors) {
  const Bytes texels = {127, 127, 127, 255, 128, 128, 0, 0, 0, 0, 255, 64};
  double last[3] = {(64 - 127.5) / 127.5, 1, -1};
  Normalize(last);
  const float third = float(-1 / std::sqrt(3.0));
  const Image want = {0, 0, 0, 0.0039215f, 0.0039215f, 0.9999846f, third, third, third,
                      float(last[0]), float(last[1]), float(last[2])};
  const Image loaded = Load(Tga(2, 2, 24, texels));
  ASSERT_EQ(loaded.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(loaded[k], want[k], 1e-7) << "float " << k;
  EXPECT_EQ(Image(loaded.begin(), loaded.begin() + 3), Image(3, 0.0f));
  for (const Bytes& alpha : {Bytes{0, 0, 0, 0}, Bytes{255, 1, 127, 200}}) {
    Bytes texels32;
    for (size_t t = 0; t < 4; ++t) {
      for (size_t k = 0; k < 3; ++k) texels32.push_back(texels[t * 3 + k]);
      texels32.push_back(alpha[t]);
    }
    EXPECT_EQ(Load(Tga(2, 2, 32, texels32)), loaded);
  }
}

// No height map name: zero dimensions, no image, not a word.
TEST_F(MapLoadersTest, RefusalsAndTheMissingHeightMap) {
  gQuiet = 1;
  const char* const shallow = "ERROR: Normal map should be at 32 or 24bits per pixel!\n";
  const char* const unhandled = "ERROR: Unhandled bit depth for bump map!\n";
  const struct { int depth; const char* message; } cases[] = {{8, shallow}, {16, shallow}, {15, unhandled}};
  int w = 5, h = 5, nc = 3;
  BwArray<float> map;
  for (const auto& c : cases) {
    const std::string path = Tga(1, 1, c.depth, Bytes(size_t(c.depth / 8), 200));
    EXPECT_FATAL(ReadNormalMap(path.c_str(), &w, &h, &nc, &map), c.message) << c.depth;
  }
  EXPECT_FATAL(ReadNormalMap("", &w, &h, &nc, &map), "ERROR: No file name passed to ReadNormalMap!\n");
  const std::string path = Tga(2, 2, 15, Bytes(4, 9));
  EXPECT_FATAL(GetBumpMapFromHeightMap(path.c_str(), &w, &h, &map, 1.0f), unhandled);
  gQuiet = 0;
  map.reset(static_cast<float*>(std::malloc(4)));
  testing::internal::CaptureStdout();
  GetBumpMapFromHeightMap(nullptr, &w, &h, &map, 1.0f);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(w == 0 && h == 0 && !map);
}

// A ramp rising by one per step along x (or along y, the next row), three texels across. Away
// from the seam the normal leans toward falling height; at the first and last steps, where the
// wrap sees the opposite edge, it leans the other way.
TEST_F(MapLoadersTest, HeightRampNormalsAndSeams) {
  const int length = 8;
  for (bool alongY : {false, true}) {
    const int w = alongY ? 3 : length, h = alongY ? length : 3, sign = alongY ? 1 : -1;
    Bytes texels;
    for (int t = 0; t < w * h; ++t) texels.push_back(Bytes::value_type(10 + (alongY ? t / w : t % w)));
    const Image img = Load(Tga(w, h, 8, texels), 1.0f);
    ASSERT_EQ(img.size(), size_t(w * h * 3));
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
TEST_F(MapLoadersTest, HeightMapDepthsAndZeroScale) {
  const int w = 5, h = 4;
  Bytes grey;
  for (int t = 0; t < w * h; ++t) grey.push_back(Bytes::value_type(t * 73 + 11));
  const Image want = Load(Tga(w, h, 8, grey), 2.5f);
  for (int depth : {16, 24, 32}) {
    Bytes texels;
    for (int t = 0; t < w * h; ++t)
      for (int k = 0; k < depth / 8; ++k) texels.push_back(k == 0 ? grey[size_t(t)] : Bytes::value_type(t * 31 + k * 97));
    EXPECT_EQ(Load(Tga(w, h, depth, texels), 2.5f), want) << depth;
  }
  const Image flat = Load(Tga(w, h, 8, grey), 0.0f);
  for (size_t t = 0; t < size_t(w * h); ++t) {
    EXPECT_EQ(Image(&flat[t * 3], &flat[t * 3 + 3]), Image({0, 0, 1})) << t;
    EXPECT_TRUE(std::signbit(flat[t * 3]) && std::signbit(flat[t * 3 + 1])) << t;
  }
}

}  // namespace
