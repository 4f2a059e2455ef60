// Row kernels of the hot per-texel stages, written as plain loops over separate x, y and z
// arrays so that the compiler can vectorise them; each has a version for AVX2 processors and a
// baseline one, chosen when the program starts. They compute exactly what the per-texel
// functions (BwNormalize, BwFromToRotation, BwRenormalizeTexel) compute: the same operations in
// the same precision and order, only several texels at a time.
#pragma once

#include <cstdint>

#include "BwArray.h"
#include "Texels.h"

// Working arrays for one row of up to `width` texels; std::bad_alloc when they cannot be had.
struct BwRowScratch {
  explicit BwRowScratch(int64_t width);
  BwArray<double> dx, dy, dz;
  BwArray<float> bx, by, bz;  // base normals
  BwArray<float> sx, sy, sz;  // second-map normals
  BwArray<float> hm, hc, hp;  // heights of the rows above, at and below
  BwArray<float> rx, ry, rz;  // merged normals before renormalisation
  BwArray<float> st;          // the detail strength of each texel
  BwArray<unsigned char> flag;
};

// Unit normals of `count` texels of `texelBytes` bytes into ox, oy, oz (the empty texel for
// bytes 127, 127, 127).
void BwDecodeNormalsRow(const unsigned char* texels, int texelBytes, int64_t count, BwRowScratch* s,
                        float* ox, float* oy, float* oz);

// The heights of row y of a height field (see BwHeightField) into out.
void BwHeightRow(const BwHeightField& field, int64_t y, float* out);

// Normals of row y of a height field into ox, oy, oz, from the 3 x 3 Sobel operator wrapping
// around all four edges, or at clamped edges reading the edge texel for what lies past it.
void BwHeightNormalsRowSoA(const BwHeightField& field, int64_t y, BwRowScratch* s, float* ox,
                           float* oy, float* oz);

// Whether some of `count` texels of three floats is empty (see BwIsFilled).
bool BwRowHasEmpty(const float* texels, int64_t count);

// Writes x[i], y[i], z[i] as the three floats of texel i of out.
void BwInterleave(int64_t count, const float* x, const float* y, const float* z, float* out);

// Merges the base normals (s->bx, by, bz) with the second-map normals (s->sx, sy, sz) and
// renormalises, writing `count` texels of three floats to out.
void BwMergeRow(BwRowScratch* s, int64_t count, float* out);

// Scales the tilt of `count` normals (x, y, z) by their strength s, `scale` times the mask value
// (clamped to [0, 1]), which goes to `strength`: (s x, s y, z) renormalised in single
// precision, z taken as 0 where it is 0 or less, and (0, 0, 1) where nothing is left. Strengths
// of exactly 1 and 0, and empty texels, are left as they are; no finite strength empties a
// texel. `mask` may be `strength`.
void BwScaleTilt(int64_t count, float scale, const float* mask, float* strength, float* x, float* y, float* z);

// Blends the base normals (s->bx, by, bz) with the second-map normals (s->sx, sy, sz) by `blend`
// (BwBlend; BW_BLEND_RNM is BwMergeRow) and renormalises into out; where `strength` (if given)
// is 0 the texel is the base normal renormalised, and so it is where a closed-form blend leaves
// nothing (the two normals cancel). An empty texel of either map stays empty.
void BwBlendRow(BwRowScratch* s, int blend, const float* strength, int64_t count, float* out);

// Unit normals of row y of a normal map into ox, oy, oz (x from red, y from green, z from blue),
// the empty texel (0, 0, 0) for an 8-bit texel 127, 127, 127, a 16-bit one whose three high bytes
// are 127, or a float one of three components of magnitude at most 1e-7.
void BwDecodeNormalMapRow(const BwInputTexels& texels, int64_t y, BwRowScratch* s, float* ox,
                          float* oy, float* oz);
