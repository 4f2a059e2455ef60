// Vector normalisation and the from-to rotation: exact results (among them the opposite case,
// whose axis tie goes to y) and the parallel threshold. (The row kernels are compared with these
// on random vectors in RowKernelsTest.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "DdsKtx.h"
#include "NormalMath.h"

// Row i of m times a, in double.
double Dot(const float* m, int i, const float* a) {
  return double(m[i * 3]) * a[0] + double(m[i * 3 + 1]) * a[1] + double(m[i * 3 + 2]) * a[2];
}

TEST(NormalMathTest, NormalizeAndExactRotations) {
  const struct { double in[3], out[3]; } vectors[] = {{{3, 4, 0}, {0.6, 0.8, 0}}, {{0, 0, 0}, {1, 0, 0}},
      {{5e-8, 0, 0}, {1, 0, 0}}, {{0, -9e-8, 0}, {1, 0, 0}}, {{2e-7, 0, 0}, {1, 0, 0}}};
  for (const auto& c : vectors) {
    double v[3] = {c.in[0], c.in[1], c.in[2]};
    BwNormalize(v);
    EXPECT_TRUE(v[0] == c.out[0] && v[1] == c.out[1] && v[2] == c.out[2]) << c.in[0] << "," << c.in[1];
  }
  const struct { float from[3], to[3], m[9]; } rotations[] = {{{0, 0, 1}, {0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {{0, 0, 1}, {0, 0, -1}, {1, 0, 0, 0, -1, 0, 0, 0, -1}}, {{0, 0, 1}, {1, 0, 0}, {0, 0, 1, 0, 1, 0, -1, 0, 0}},
      {{1, 0, 0}, {0, 1, 0}, {0, -1, 0, 1, 0, 0, 0, 0, 1}}};
  for (const auto& c : rotations) {
    float m[9];
    BwFromToRotation(c.from, c.to, m);
    EXPECT_EQ(std::vector<float>(m, m + 9), std::vector<float>(c.m, c.m + 9)) << c.to[0] << c.to[1] << c.to[2];
  }
}

// (0, 0, 1) onto (s, 0, dot): the general formula turns about y, so element (0, 1) is exactly 0;
// the two reflections through the y axis give a rotation whose element (0, 1) is about -s.
TEST(NormalMathTest, ParallelThresholdOnTheWidenedDot) {
  const float z[3] = {0, 0, 1};
  for (const float dot : {0.99999994f, 0.99999988f}) {
    const float to[3] = {float(std::sqrt(1.0 - double(dot) * dot)), 0.0f, dot};
    ASSERT_EQ((z[0] * to[0] + z[1] * to[1]) + z[2] * to[2], dot);
    float m[9];
    BwFromToRotation(z, to, m);
    EXPECT_NEAR(m[1], dot == 0.99999994f ? -to[0] : 0.0f, dot == 0.99999994f ? 1e-6 : 0.0) << dot;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(Dot(m, i, z), to[i], 1e-6) << dot;
  }
}

// A normal below the horizon goes into every two-component layout as its projection onto the
// horizon, the nearest direction a reader that rebuilds z >= 0 can get back, not as its mirror
// image above it (106 degrees off for the normal here instead of 53).
TEST(NormalMathTest, BelowHorizonNormalsStoredOnTheHorizon) {
  const struct { float n[3]; int components; float x, y; } targets[] = {
      {{0.6f, 0, -0.8f}, 3, 1, 0}, {{0.3f, 0.4f, -0.5f}, 3, 0.6f, 0.8f}, {{0.3f, 0.4f, 0.5f}, 3, 0.3f, 0.4f},
      {{0, 0, -1}, 3, 0, 0}, {{0.3f, 0.4f, -0.5f}, 2, 0.3f, 0.4f}};
  for (const auto& c : targets) {
    float x, y;
    BwTwoComponentTarget(c.n, c.components, &x, &y);
    EXPECT_TRUE(x == c.x && y == c.y) << c.n[0] << "," << c.n[1] << "," << c.n[2] << " gave " << x << "," << y;
  }
  const int w = 8, h = 8;
  std::vector<float> normals;
  for (int i = 0; i < w * h; ++i) normals.insert(normals.end(), {0.48f, 0.36f, i % 3 ? 0.8f : -0.8f});
  for (BwGpuFormat format : {BwGpuFormat::BC5, BwGpuFormat::BC5S, BwGpuFormat::BC3N, BwGpuFormat::EACRG11,
                            BwGpuFormat::EACRG11S, BwGpuFormat::ASTC4X4}) {
    SCOPED_TRACE(BwGpuFormatInfoOf(format).name);
    std::vector<unsigned char> blocks(BwGpuLevelBytes(format, w, h));
    std::vector<float> decoded(normals.size());
    ASSERT_TRUE(BwEncodeGpuLevel(format, normals.data(), w, h, 3, blocks.data()) &&
                BwDecodeGpuLevel(format, blocks.data(), w, h, decoded.data()));
    for (int i = 0; i < w * h; ++i) {
      const float* d = &decoded[size_t(i) * 3];
      const double want[3] = {i % 3 ? 0.48 : 0.8, i % 3 ? 0.36 : 0.6, i % 3 ? 0.8 : 0.0};
      const double dot = (d[0] * want[0] + d[1] * want[1] + d[2] * want[2]) /
                         std::sqrt(double(d[0]) * d[0] + double(d[1]) * d[1] + double(d[2]) * d[2]);
      EXPECT_GT(dot, std::cos(10.0 * M_PI / 180.0)) << i;  // near the horizon z is steep in x and y
    }
  }
}
