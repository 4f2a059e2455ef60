// BC4 / BC5 block encoder from float normals, and the BC4, BC5 and BC3-green block decoders.
//
// Values are handled in endpoint units: UNORM t = (c + 1) * 127.5 in [0, 255], SNORM t = c * 127
// in [-127, 127]. A palette entry k steps from the low endpoint of n steps decodes to
// (k * hi + (n - k) * lo) / n; the encoder evaluates exactly that expression, so the error it
// minimises is the error of the decoded block.
#include "BlockCompress.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "BwVector.h"
#include "Parallel.h"

namespace {

constexpr int TEXELS = 16;

struct Bc4Range {
  float minCode;  // the lowest endpoint value and the fixed low entry of the six-value mode
  float maxCode;
};

constexpr Bc4Range RangeOf(BwBc4Kind kind) {
  return kind == BwBc4Kind::UNORM ? Bc4Range{0.0f, 255.0f} : Bc4Range{-127.0f, 127.0f};
}

// Sum of 16 floats in a fixed pairwise order, the same in every processor version of the code.
BW_INLINE float Sum16(const float* BW_RESTRICT e) {
  float a[8];
  for (int i = 0; i < 8; ++i) a[i] = e[i] + e[i + 8];
  float b[4];
  for (int i = 0; i < 4; ++i) b[i] = a[i] + a[i + 4];
  return (b[0] + b[2]) + (b[1] + b[3]);
}

// The 16 targets of one block, also scaled by the palette denominators 7 and 5: a palette entry
// k steps from lo of n steps is (k * hi + (n - k) * lo) / n, so n * t - (k * (hi - lo) + n * lo)
// is n times the decoded error, with every palette term an exact small integer.
struct Block {
  float t[TEXELS];
  float t7[TEXELS];
  float t5[TEXELS];
  Bc4Range range;
};

// Palette step of each texel (0 to kSteps) between lo and hi, the nearest by rounding the
// scaled distance from lo (lo == hi puts every texel at step 0).
template <int kSteps>
BW_INLINE void Steps(const float* BW_RESTRICT t, float lo, float hi, float* BW_RESTRICT k) {
  const float span = hi - lo;
  const float scale = span > 0.0f ? float(kSteps) / span : 0.0f;
  for (int i = 0; i < TEXELS; ++i) {
    float pos = (t[i] - lo) * scale;
    pos = pos > 0.0f ? pos : 0.0f;
    pos = pos < float(kSteps) ? pos : float(kSteps);
    k[i] = float(int(pos + 0.5f));  // non-negative: truncation rounds half up
  }
}

// Squared decoded error of the block for the integer endpoints lo <= hi, each texel on its
// entry. With kSteps 5 the fixed entries minCode and maxCode take a texel when nearer; *chosen
// (when given) receives each texel's entry: the step, or -1 for minCode, 6 for maxCode.
template <int kSteps>
BW_INLINE float PaletteError(const Block& b, float lo, float hi, float* BW_RESTRICT chosen) {
  constexpr float n = float(kSteps);
  const float* BW_RESTRICT scaled = kSteps == 7 ? b.t7 : b.t5;
  float k[TEXELS];
  Steps<kSteps>(b.t, lo, hi, k);
  const float span = hi - lo, base = n * lo;
  const float fixedLo = n * b.range.minCode, fixedHi = n * b.range.maxCode;
  float e[TEXELS];
  for (int i = 0; i < TEXELS; ++i) {
    const float d = scaled[i] - (k[i] * span + base);
    float err = d * d;
    if constexpr (kSteps == 5) {
      const float dMin = scaled[i] - fixedLo, dMax = scaled[i] - fixedHi;
      err = dMin * dMin < err ? dMin * dMin : err;
      err = dMax * dMax < err ? dMax * dMax : err;
    }
    e[i] = err;
  }
  if (chosen) {
    for (int i = 0; i < TEXELS; ++i) {
      chosen[i] = k[i];
      if constexpr (kSteps == 5) {
        const float d = scaled[i] - (k[i] * span + base);
        const float dMin = scaled[i] - fixedLo, dMax = scaled[i] - fixedHi;
        const float err = std::min(d * d, dMin * dMin);
        chosen[i] = dMin * dMin < d * d ? -1.0f : chosen[i];
        chosen[i] = dMax * dMax < err ? 6.0f : chosen[i];
      }
    }
  }
  return Sum16(e) * (1.0f / (n * n));
}

// Least-squares endpoints for the palette entries in `chosen` (texels on the fixed entries of
// the six-value mode left out). False when the texels do not pin down two endpoints.
template <int kSteps>
BW_INLINE bool FitEndpoints(const float* t, const float* chosen, float* lo, float* hi) {
  double a = 0, b = 0, c = 0, d = 0, e = 0;
  for (int i = 0; i < TEXELS; ++i) {
    if (chosen[i] < 0.0f || chosen[i] > float(kSteps)) continue;
    const double w = double(chosen[i]) / kSteps;
    const double v = 1.0 - w;
    a += v * v;
    b += v * w;
    c += w * w;
    d += v * double(t[i]);
    e += w * double(t[i]);
  }
  const double det = a * c - b * b;
  if (!(det > 1e-9)) return false;
  *lo = float((c * d - b * e) / det);
  *hi = float((a * e - b * d) / det);
  return std::isfinite(*lo) && std::isfinite(*hi);
}

struct Candidate {
  float error;
  int lo, hi;
  bool six;  // the six-value mode
};

// Error of one endpoint pair in one mode; pairs the mode cannot store score infinity.
BW_INLINE float PairError(const Block& b, int lo, int hi, bool six) {
  if (lo < int(b.range.minCode) || hi > int(b.range.maxCode)) return HUGE_VALF;
  if (six) return lo <= hi ? PaletteError<5>(b, float(lo), float(hi), nullptr) : HUGE_VALF;
  return lo < hi ? PaletteError<7>(b, float(lo), float(hi), nullptr) : HUGE_VALF;
}

BW_INLINE void Consider(const Block& b, int lo, int hi, bool six, Candidate* best) {
  const float error = PairError(b, lo, hi, six);
  if (error < best->error) *best = {error, lo, hi, six};
}

// Refines float endpoints by alternating entry choice and least-squares fit, then tries the
// four integer pairs around the result.
template <int kSteps>
BW_INLINE void Refine(const Block& b, float lo, float hi, Candidate* best) {
  constexpr bool six = kSteps == 5;
  for (int round = 0; round < 2 && hi - lo > 1e-3f; ++round) {
    float chosen[TEXELS];
    PaletteError<kSteps>(b, lo, hi, chosen);
    float fitLo, fitHi;
    if (!FitEndpoints<kSteps>(b.t, chosen, &fitLo, &fitHi) || !(fitLo <= fitHi)) break;
    lo = std::min(std::max(fitLo, b.range.minCode), b.range.maxCode);
    hi = std::min(std::max(fitHi, b.range.minCode), b.range.maxCode);
  }
  const int baseLo = int(std::floor(lo)), baseHi = int(std::floor(hi));
  for (int i = 0; i <= 1; ++i)
    for (int j = 0; j <= 1; ++j) Consider(b, baseLo + i, baseHi + j, six, best);
  if (!(best->error < HUGE_VALF)) Consider(b, baseLo, baseLo + (six ? 0 : 1), six, best);
}

// Moves to the best of the eight neighbouring pairs while one of them is better.
BW_INLINE void Descend(const Block& b, Candidate* best) {
  for (int round = 0; round < 8 && best->error > 0.0f; ++round) {
    const Candidate start = *best;
    for (int i = -1; i <= 1; ++i)
      for (int j = -1; j <= 1; ++j)
        if (i != 0 || j != 0) Consider(b, start.lo + i, start.hi + j, start.six, best);
    if (!(best->error < start.error)) break;
  }
}

// Searches one mode from the range [lo, hi] the block's values cover. Smooth blocks often hold
// fewer distinct levels than the palette: a ramp over the 4 x 4 block has 4 or 7, which sit
// exactly on the palette when the endpoints reach a sixth of the range beyond one end, so
// those two extended ranges are starting points as well.
template <int kSteps>
BW_INLINE void Search(const Block& b, float lo, float hi, Candidate* best) {
  Candidate local = {HUGE_VALF, 0, 0, kSteps == 5};
  Refine<kSteps>(b, lo, hi, &local);
  const float extra = (hi - lo) / float(kSteps - 1);
  if (extra > 0.0f) {
    Refine<kSteps>(b, lo, std::min(hi + extra, b.range.maxCode), &local);
    Refine<kSteps>(b, std::max(lo - extra, b.range.minCode), hi, &local);
  }
  // In a narrow block a step is a fraction of a code and which integers bound the range
  // matters most: try every pair from two below to two above each end.
  if (hi - lo < 16.0f) {
    const int baseLo = int(std::floor(lo)), baseHi = int(std::floor(hi));
    for (int i = -2; i <= 2; ++i)
      for (int j = -1; j <= 3; ++j) Consider(b, baseLo + i, baseHi + j, kSteps == 5, &local);
  }
  Descend(b, &local);
  if (local.error < best->error) *best = local;
}

// Bytes of the chosen pair: endpoints in the order that selects the mode, then the indices.
BW_INLINE void PackBlock(const Block& b, const Candidate& c, BwBc4Kind kind, unsigned char out[8]) {
  float chosen[TEXELS];
  uint64_t bits = 0;
  int e0, e1;
  if (c.six) {
    PaletteError<5>(b, float(c.lo), float(c.hi), chosen);
    e0 = c.lo, e1 = c.hi;
    for (int i = 0; i < TEXELS; ++i) {
      const int k = int(chosen[i]);
      const int index = k < 0 ? 6 : k > 5 ? 7 : k == 0 ? 0 : k == 5 ? 1 : k + 1;
      bits |= uint64_t(index) << (3 * i);
    }
  } else {
    PaletteError<7>(b, float(c.lo), float(c.hi), chosen);
    e0 = c.hi, e1 = c.lo;
    for (int i = 0; i < TEXELS; ++i) {
      const int k = int(chosen[i]);
      const int index = k == 7 ? 0 : k == 0 ? 1 : 8 - k;
      bits |= uint64_t(index) << (3 * i);
    }
  }
  // SNORM endpoints are two's complement bytes.
  out[0] = static_cast<unsigned char>(uint32_t(e0) & 0xFFu);
  out[1] = static_cast<unsigned char>(uint32_t(e1) & 0xFFu);
  (void)kind;
  for (int i = 0; i < 6; ++i) out[2 + i] = static_cast<unsigned char>((bits >> (8 * i)) & 0xFFu);
}

// The whole search for one block of 16 components.
BW_INLINE void EncodeBc4(const float* values, BwBc4Kind kind, unsigned char out[8]) {
  Block b;
  b.range = RangeOf(kind);
  for (int i = 0; i < TEXELS; ++i) {
    float c = values[i];
    c = c == c ? c : 0.0f;  // not a number: the middle of the range
    c = c > -1.0f ? c : -1.0f;
    c = c < 1.0f ? c : 1.0f;
    b.t[i] = kind == BwBc4Kind::UNORM ? (c + 1.0f) * 127.5f : c * 127.0f;
    b.t7[i] = 7.0f * b.t[i];
    b.t5[i] = 5.0f * b.t[i];
  }
  float mn = b.t[0], mx = b.t[0];
  for (int i = 1; i < TEXELS; ++i) {
    mn = std::min(mn, b.t[i]);
    mx = std::max(mx, b.t[i]);
  }
  Candidate best = {HUGE_VALF, 0, 0, true};
  // A block of one integer value is exact in the six-value mode.
  if (mn == mx && mn == std::floor(mn)) {
    best = {0.0f, int(mn), int(mn), true};
  } else {
    Search<7>(b, mn, mx, &best);
    // The six-value mode pays when texels lie at or near the ends of the range, which it holds
    // exactly, while the rest span a narrower range between: start from the range of the
    // texels away from the ends, for two meanings of "near" (half a code, 5% of the range).
    const float span = b.range.maxCode - b.range.minCode;
    if (best.error > 0.0f && (mn < b.range.minCode + 0.05f * span || mx > b.range.maxCode - 0.05f * span)) {
      for (float edge : {0.5f, 0.05f * span}) {
        float innerLo = HUGE_VALF, innerHi = -HUGE_VALF;
        for (int i = 0; i < TEXELS; ++i) {
          if (b.t[i] < b.range.minCode + edge || b.t[i] > b.range.maxCode - edge) continue;
          innerLo = std::min(innerLo, b.t[i]);
          innerHi = std::max(innerHi, b.t[i]);
        }
        if (innerLo <= innerHi) Search<5>(b, innerLo, innerHi, &best);
      }
    }
  }
  PackBlock(b, best, kind, out);
}

}  // namespace

void BwEncodeBc4Block(const float values[16], BwBc4Kind kind, unsigned char out[8]) {
  EncodeBc4(values, kind, out);
}

void BwDecodeBc4Block(const unsigned char in[8], BwBc4Kind kind, float values[16]) {
  const Bc4Range range = RangeOf(kind);
  int e0 = in[0], e1 = in[1];
  if (kind == BwBc4Kind::SNORM) {
    e0 = e0 >= 128 ? std::max(e0 - 256, -127) : e0;
    e1 = e1 >= 128 ? std::max(e1 - 256, -127) : e1;
  }
  float palette[8] = {float(e0), float(e1)};
  if (e0 > e1) {
    for (int i = 2; i < 8; ++i) palette[i] = float((8 - i) * e0 + (i - 1) * e1) / 7.0f;
  } else {
    for (int i = 2; i < 6; ++i) palette[i] = float((6 - i) * e0 + (i - 1) * e1) / 5.0f;
    palette[6] = range.minCode;
    palette[7] = range.maxCode;
  }
  uint64_t bits = 0;
  for (int i = 0; i < 6; ++i) bits |= uint64_t(in[2 + i]) << (8 * i);
  for (int i = 0; i < TEXELS; ++i) {
    const float p = palette[(bits >> (3 * i)) & 7u];
    values[i] = kind == BwBc4Kind::UNORM ? p / 255.0f * 2.0f - 1.0f : p / 127.0f;
  }
}

void BwDecodeBc3GreenBlock(const unsigned char in[8], float values[16]) {
  // Colours are 5:6:5 words; green is bits 5 to 10.
  const int g0 = ((in[0] | in[1] << 8) >> 5) & 0x3F;
  const int g1 = ((in[2] | in[3] << 8) >> 5) & 0x3F;
  const float palette[4] = {float(g0), float(g1), float(2 * g0 + g1) / 3.0f, float(g0 + 2 * g1) / 3.0f};
  const uint32_t bits = uint32_t(in[4]) | uint32_t(in[5]) << 8 | uint32_t(in[6]) << 16 | uint32_t(in[7]) << 24;
  for (int i = 0; i < TEXELS; ++i) values[i] = palette[(bits >> (2 * i)) & 3u] / 63.0f * 2.0f - 1.0f;
}

BW_VECTOR_CLONES
void BwEncodeBc5Rows(const float* const* rows, int rowCount, int width, int numComponents,
                     BwBc4Kind kind, unsigned char* out) {
  const int blocks = (width + 3) / 4;
  for (int block = 0; block < blocks; ++block) {
    float x[TEXELS], y[TEXELS];
    for (int r = 0; r < 4; ++r) {
      const float* row = rows[std::min(r, rowCount - 1)];
      for (int c = 0; c < 4; ++c) {
        const int64_t column = std::min(block * 4 + c, width - 1);
        x[4 * r + c] = row[column * numComponents];
        y[4 * r + c] = row[column * numComponents + 1];
      }
    }
    EncodeBc4(x, kind, out + 16 * block);
    EncodeBc4(y, kind, out + 16 * block + 8);
  }
}

void BwEncodeBc5Image(const float* image, int width, int height, int numComponents,
                      BwBc4Kind kind, unsigned char* out) {
  const int64_t blocksWide = (width + 3) / 4;
  const int64_t blockRows = (height + 3) / 4;
  // About 256 blocks a task at least, so that small mip levels stay on one thread.
  const int64_t grain = std::max<int64_t>(1, 256 / blocksWide);
  BwParallelFor(blockRows, grain, [=](int64_t begin, int64_t end) {
    for (int64_t band = begin; band < end; ++band) {
      const float* rows[4];
      const int rowCount = int(std::min<int64_t>(4, height - 4 * band));
      for (int r = 0; r < rowCount; ++r) {
        const int64_t pictureRow = 4 * band + r;
        rows[r] = image + (height - 1 - pictureRow) * int64_t(width) * numComponents;
      }
      BwEncodeBc5Rows(rows, rowCount, width, numComponents, kind, out + band * blocksWide * 16);
    }
  });
}
