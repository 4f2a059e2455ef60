// Per-texel kernels of the filters, shared with the merge of the pipeline, and the filters of
// whole normal images.
//
// A normal image is a heap array of float, texels stored row after row with no gaps,
// numComponents floats per texel in the order x, y, z. Texel (x, y) of a level w texels wide
// starts at float (y * w + x) * numComponents; a smaller mip level lies packed at the start of a
// full-size buffer and uses its own width as its row length. A texel whose three components all
// have a magnitude of at most 1e-7 is empty: it has no direction (the loaders mark bytes 127,
// 127, 127 this way, and the merge leaves a texel empty where the base map is empty).
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "Console.h"
#include "NormalMath.h"

// Rescales a filled texel to unit length in double precision; an empty texel is left as it is.
inline void BwRenormalizeTexel(float* t) {
  if (!BwIsFilled(t)) return;
  double v[3] = {double(t[0]), double(t[1]), double(t[2])};
  BwNormalize(v);
  t[0] = float(v[0]);
  t[1] = float(v[1]);
  t[2] = float(v[2]);
}

// Renormalises `count` consecutive texels.
void BwRenormalizeTexels(float* texels, int64_t count, int numComponents);
// Renormalises every filled texel of a width x height image in place.
void BwRenormalizeImage(float* img, int width, int height, int numComponents);
void BwShowRenormalizeStage(BwConsole& console, int height);

// The direction of the single-precision sum a + b + c + d, or (0, 0, 0) for a sum shorter than
// 1e-7.
inline void BwBoxTexel(const float* a, const float* b, const float* c, const float* d, float* out) {
  float norm[3];
  for (int k = 0; k < 3; ++k) norm[k] = (((0.0f + a[k]) + b[k]) + c[k]) + d[k];
  const double len = std::sqrt(double((norm[0] * norm[0] + norm[1] * norm[1]) + norm[2] * norm[2]));
  if (len < BW_TINY) {
    out[0] = out[1] = out[2] = 0.0f;
    return;
  }
  out[0] = float(double(norm[0]) / len);
  out[1] = float(double(norm[1]) / len);
  out[2] = float(double(norm[2]) / len);
}

// The compute and the console parts of the dilation and box filter stages (DilateImage and
// BoxFilter are the two together), so that a stage's console output can be printed before the
// work is done.
//
// Fills empty texels of the width x height image from their filled four-neighbours, `passes`
// rings (INT_MAX: until none is left that can be filled), wrapping around the edges or, with
// clampEdges, never reaching past them. The work of a pass is that of the texels next to the
// last ring, so a gap costs about its own size, however many passes fill it.
void BwDilateTexels(float* img, int width, int height, int passes, int numComponents, bool clampEdges = false);
// The same passes on `rowCount` consecutive rows of a taller image (a window, in the image's
// row order, wrapping past its last row where the edges wrap): no texel has a neighbour past the
// window's first or last row, so a fill differs from the whole image's at most passes - 1 rows
// from those ends and is exact farther in.
void BwDilateWindow(float* rows, int width, int rowCount, int passes, int numComponents, bool clampEdges);
// The four-neighbours of texel (x, y) of a width x height image, as texel indices (y * width +
// x) into out: previous row, next row, previous column, next column, wrapping around the edges,
// or with `clamp` none past a left or right edge and with `clampRows` none past the first or last
// row. Returns how many there are.
int BwNeighbours(int64_t x, int64_t y, int64_t width, int64_t height, bool clamp, bool clampRows, int64_t out[4]);
// A texel (its index, y * width + x) and its normal: a fill of the dilation, or a seed.
struct BwFill {
  uint32_t texel;
  float value[3];
};
// The same passes as BwDilateTexels on an image known only by which texels are filled (`filled`:
// bit x % 64 of word y * rowWords + x / 64 for texel (x, y)) and by `seeds`, the filled texels
// that have an empty four-neighbour, with their normals, sorted by texel: the same fills, each
// marked in `filled` and handed to `take` a pass at a time, sorted by texel. Memory follows the
// rings of the passes, never the image.
void BwDilateSparse(uint64_t* filled, int64_t rowWords, int width, int height, int passes, bool clampEdges,
                    std::vector<BwFill> seeds, const std::function<void(const std::vector<BwFill>&)>& take);
void BwShowDilationStage(BwConsole& console, int passes);
// The normalised sums of 2 x 2 blocks of `source` (lastWidth x lastHeight) into `result`
// (resultWidth x resultHeight): when both have the same size each block starts at its own texel
// and wraps around the edges (with clampEdges, the edge texel stands in for what lies past it);
// otherwise each block starts at twice the result texel's coordinates (a mip level), with a row
// or column outside the source replaced by its last one.
void BwBoxFilterTexels(float* result, int resultWidth, int resultHeight, const float* source,
                       int lastWidth, int lastHeight, int numComponents, bool clampEdges = false);
// One row of `width` box-filtered texels into out, from a source row and the row after it
// (sourceWidth texels each): in the same-size mode (halve false) wrapping at the right edge, in
// the halving mode from columns 2x and 2x + 1.
void BwBoxFilterRow(const float* row, const float* nextRow, int64_t sourceWidth, bool halve,
                    int64_t width, int numComponents, float* out, bool clampEdges = false);
void BwShowBoxFilterStage(BwConsole& console, int height);
