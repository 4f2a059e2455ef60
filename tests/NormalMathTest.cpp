// Vector normalisation and the from-to rotation: exact results (among them the opposite case,
// whose axis tie goes to y) and the parallel threshold. (The row kernels are compared with these
// on random vectors in RowKernelsTest.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

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
