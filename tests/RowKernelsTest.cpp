// The vectorised row kernels give bit for bit what the per-texel functions give, on whatever
// code path this processor selects (and on the baseline one in builds without the AVX2 clones).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "Filters.h"
#include "NormalMath.h"
#include "RowKernels.h"

constexpr int64_t kWidth = 1037;  // odd, so vector loops have remainders

bool SameBits(const float* a, const float* b) { return std::memcmp(a, b, 3 * sizeof(float)) == 0; }

// Every layout a normal map's row comes in (Targa files, 8- and 16-bit images in either colour
// order, with and without alpha) decodes as the per-texel formula does.
TEST(RowKernels, DecodeMatchesNormalize) {
  struct Layout {
    int channels;
    bool wide, rgbOrder, targaRow;  // targaRow: through BwDecodeNormalsRow, as Targa files are
  };
  const Layout layouts[] = {{3, false, false, true}, {4, false, false, true}, {3, false, true, false},
                            {4, false, true, false}, {3, true, false, false}, {4, true, true, false}};
  std::mt19937 rng(7);
  BwRowScratch s(kWidth);
  for (const Layout& l : layouts) {
    const int size = l.wide ? 2 : 1;
    std::vector<unsigned char> texels(size_t(kWidth) * l.channels * size);
    for (auto& b : texels) b = static_cast<unsigned char>(rng() % 4 == 0 ? 127 : rng());
    if (l.targaRow) {
      BwDecodeNormalsRow(texels.data(), l.channels, kWidth, &s, s.bx.get(), s.by.get(), s.bz.get());
    } else {
      BwInputTexels in;
      in.data = texels.data();
      in.width = int(kWidth);
      in.height = 1;
      in.channels = l.channels;
      in.type = l.wide ? BW_TEXEL_U16 : BW_TEXEL_U8;
      in.rgbOrder = l.rgbOrder;
      BwDecodeNormalMapRow(in, 0, &s, s.bx.get(), s.by.get(), s.bz.get());
    }
    const double half = l.wide ? 32767.5 : 127.5;
    for (int64_t i = 0; i < kWidth; ++i) {
      const unsigned char* t = texels.data() + i * l.channels * size;
      unsigned value[3];  // red, green, blue
      for (int c = 0; c < 3; ++c) {
        const unsigned char* v = t + (l.rgbOrder ? c : 2 - c) * size;
        value[c] = l.wide ? unsigned(v[0] | v[1] << 8) : v[0];
      }
      double v[3] = {(value[0] - half) / half, (value[1] - half) / half, (value[2] - half) / half};
      BwNormalize(v);
      const unsigned shift = l.wide ? 8 : 0;
      const bool empty = value[0] >> shift == 127 && value[1] >> shift == 127 && value[2] >> shift == 127;
      const float want[3] = {empty ? 0.0f : float(v[0]), empty ? 0.0f : float(v[1]), empty ? 0.0f : float(v[2])};
      const float got[3] = {s.bx[i], s.by[i], s.bz[i]};
      ASSERT_TRUE(SameBits(got, want)) << "layout " << (&l - layouts) << " texel " << i;
    }
  }
}

// Random components: mostly unit-ish vectors, with exact axes, zeros, tiny values, NaNs and the
// values on either side of the parallel threshold.
TEST(RowKernels, MergeMatchesRotationAndRenormalisation) {
  std::mt19937 rng(11);
  auto component = [&rng] {
    const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-8f, 2e-7f, NAN, 0.99999994f, 0.99999988f, 1e30f};
    return rng() % 8 == 0 ? special[rng() % 10] : std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  };
  BwRowScratch s(kWidth);
  std::vector<float> out(size_t(kWidth) * 3);
  for (int round = 0; round < 20; ++round) {
    for (int64_t i = 0; i < kWidth; ++i) {
      s.bx[i] = component(), s.by[i] = component(), s.bz[i] = component();
      s.sx[i] = component(), s.sy[i] = component(), s.sz[i] = component();
      if (i % 5 == 0) s.bx[i] = s.by[i] = 0.0f, s.bz[i] = (i % 10 == 0) ? 1.0f : -1.0f;  // the reflection branch
    }
    BwMergeRow(&s, kWidth, out.data());
    const float from[3] = {0.0f, 0.0f, 1.0f};
    for (int64_t i = 0; i < kWidth; ++i) {
      const float v0[3] = {s.bx[i], s.by[i], s.bz[i]}, v1[3] = {s.sx[i], s.sy[i], s.sz[i]};
      float want[3] = {0.0f, 0.0f, 0.0f}, m[9];
      if (double(v0[0] * v0[0] + v0[1] * v0[1] + v0[2] * v0[2]) > 1e-7) {
        BwFromToRotation(from, v0, m);
        for (int k = 0; k < 3; ++k) want[k] = v1[0] * m[k * 3] + v1[1] * m[k * 3 + 1] + v1[2] * m[k * 3 + 2];
        BwRenormalizeTexel(want);
      }
      const float* got = &out[size_t(i) * 3];
      for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(std::memcmp(&got[k], &want[k], 4) == 0 || (std::isnan(want[k]) && std::isnan(got[k])))
            << "texel " << i << " component " << k;
    }
  }
}
