// Vector normalisation and the from-to rotation: exact results (among them the opposite case,
// whose axis tie goes to y), the parallel threshold, and the rotation properties.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "NormalMath.h"

// Row i of m times a, in double.
double Dot(const float* m, int i, const float* a) {
  return double(m[i * 3]) * a[0] + double(m[i * 3 + 1]) * a[1] + double(m[i * 3 + 2]) * a[2];
}

void Unit(double x, double y, double z, float* out) {
  double v[3] = {x, y, z};
  BwNormalize(v);
  for (int k = 0; k < 3; ++k) out[k] = float(v[k]);
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

// Random pairs near parallel, near opposite and unrelated: m carries from onto to and is
// orthonormal. Near opposite, h = 1 / (1 + e) in single precision (on inputs only float-close
// to unit length) loses accuracy as 1 + e shrinks, so there the tolerance grows as 1 / (1 + e).
TEST(NormalMathTest, RandomPairsGiveRotations) {
  std::mt19937 rng(20240611);
  std::normal_distribution<double> g;
  for (int trial = 0; trial < 9000; ++trial) {
    float from[3], to[3], m[9];
    Unit(g(rng), g(rng), g(rng), from);
    const double sign = trial % 3 - 1.0, eps = sign == 0.0 ? 1e9 : std::pow(10.0, -(trial / 3 % 9));
    Unit(sign * from[0] + eps * g(rng), sign * from[1] + eps * g(rng), sign * from[2] + eps * g(rng), to);
    const double e = double((from[0] * to[0] + from[1] * to[1]) + from[2] * to[2]);
    const double tol = (std::fabs(e) > 0.9999999 || e > -0.9) ? 4e-6 : 2e-6 / (1.0 + e);
    BwFromToRotation(from, to, m);
    for (int i = 0; i < 3; ++i) {
      ASSERT_NEAR(Dot(m, i, from), to[i], tol) << "trial " << trial;
      for (int j = 0; j < 3; ++j) ASSERT_NEAR(Dot(m, i, m + j * 3), i == j, tol) << "trial " << trial;
    }
  }
}
