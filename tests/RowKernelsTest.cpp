// The vectorised row kernels give bit for bit what the per-texel functions give, on whatever
// code path this processor selects (and on the baseline one in builds without the AVX2 clones).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "Bumpweld.h"
#include "Filters.h"
#include "NormalMath.h"
#include "RowKernels.h"

namespace {

constexpr int64_t kWidth = 1037;  // odd, so vector loops have remainders

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Random components: mostly unit-ish vectors, with exact axes, zeros, tiny values and NaNs.
float RandomComponent(std::mt19937* rng) {
  const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-8f, 2e-7f, NAN, 0.99999994f, 1e30f};
  if ((*rng)() % 8 == 0) return special[(*rng)() % 9];
  return std::uniform_real_distribution<float>(-1.0f, 1.0f)(*rng);
}

}  // namespace

TEST(RowKernels, DecodeMatchesNormalize) {
  std::mt19937 rng(7);
  BwRowScratch s(kWidth);
  for (int texelBytes : {3, 4}) {
    std::vector<unsigned char> texels(size_t(kWidth) * texelBytes);
    for (auto& b : texels) b = static_cast<unsigned char>(rng() % 4 == 0 ? 127 : rng());
    BwDecodeNormalsRow(texels.data(), texelBytes, kWidth, &s, s.bx.get(), s.by.get(), s.bz.get());
    for (int64_t i = 0; i < kWidth; ++i) {
      const unsigned char* t = texels.data() + i * texelBytes;
      float want[3] = {0.0f, 0.0f, 0.0f};
      if (!(t[0] == 127 && t[1] == 127 && t[2] == 127)) {
        double v[3] = {(t[2] - 127.5) / 127.5, (t[1] - 127.5) / 127.5, (t[0] - 127.5) / 127.5};
        Normalize(v);
        for (int k = 0; k < 3; ++k) want[k] = float(v[k]);
      }
      ASSERT_TRUE(SameBits(s.bx[i], want[0]) && SameBits(s.by[i], want[1]) && SameBits(s.bz[i], want[2]))
          << "texel " << i;
    }
  }
}

TEST(RowKernels, MergeMatchesRotationAndRenormalisation) {
  std::mt19937 rng(11);
  BwRowScratch s(kWidth);
  for (int round = 0; round < 20; ++round) {
    for (int64_t i = 0; i < kWidth; ++i) {
      s.bx[i] = RandomComponent(&rng), s.by[i] = RandomComponent(&rng), s.bz[i] = RandomComponent(&rng);
      s.sx[i] = RandomComponent(&rng), s.sy[i] = RandomComponent(&rng), s.sz[i] = RandomComponent(&rng);
      if (i % 5 == 0) s.bx[i] = s.by[i] = 0.0f, s.bz[i] = (i % 10 == 0) ? 1.0f : -1.0f;  // the reflection branch
    }
    std::vector<float> out(size_t(kWidth) * 3);
    BwMergeRow(&s, kWidth, out.data());
    const float from[3] = {0.0f, 0.0f, 1.0f};
    for (int64_t i = 0; i < kWidth; ++i) {
      const float v0[3] = {s.bx[i], s.by[i], s.bz[i]}, v1[3] = {s.sx[i], s.sy[i], s.sz[i]};
      float want[3] = {0.0f, 0.0f, 0.0f};
      if (double(v0[0] * v0[0] + v0[1] * v0[1] + v0[2] * v0[2]) > 1e-7) {
        float m[9];
        fromToRotation(from, v0, m);
        for (int k = 0; k < 3; ++k) want[k] = v1[0] * m[k * 3] + v1[1] * m[k * 3 + 1] + v1[2] * m[k * 3 + 2];
        BwRenormalizeTexel(want);
      }
      for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(SameBits(out[size_t(i) * 3 + k], want[k]) || (std::isnan(want[k]) && std::isnan(out[size_t(i) * 3 + k])))
            << "texel " << i << " component " << k;
    }
  }
}
