// Whole-image passes over normal images: renormalisation, border dilation and box filtering.
#include <algorithm>
#include <vector>

#include "Filters.h"
#include "NormalMath.h"
#include "Parallel.h"

namespace {
// Texels below which a pass is not worth splitting over threads.
constexpr int64_t kTexelGrain = 1 << 15;

int64_t RowGrain(int width) { return std::max<int64_t>(1, kTexelGrain / std::max(width, 1)); }
}  // namespace

void BwRenormalizeTexels(float* texels, int64_t count, int numComponents) {
  for (int64_t i = 0; i < count; ++i) BwRenormalizeTexel(texels + i * numComponents);
}

void BwRenormalizeImage(float* img, int width, int height, int numComponents) {
  if (width <= 0 || height <= 0) return;
  const int64_t rowTexels = width;
  BwParallelFor(height, RowGrain(width), [=](int64_t y0, int64_t y1) {
    BwRenormalizeTexels(img + y0 * rowTexels * numComponents, (y1 - y0) * rowTexels, numComponents);
  });
}

void BwShowRenormalizeStage(BwConsole& console, int height) {
  console.Message("\rRenormalize\n");
  console.Spinner(height);  // one frame per row
  console.EndStage();
}

namespace {

// A texel that a dilation pass fills, and the direction it receives.
struct Fill {
  uint32_t texel;
  float value[3];
};

// Texel indices of the empty texels, in storage order. 65535 x 65535 texels fit in 32 bits.
std::vector<uint32_t> EmptyTexels(const float* img, int64_t texelCount, int numComponents) {
  const int threads = BwThreadCount();
  std::vector<std::vector<uint32_t>> parts(static_cast<size_t>(threads));
  const int64_t per = (texelCount + threads - 1) / threads;
  BwParallelFor(threads, 1, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t end = std::min(texelCount, (t + 1) * per);
      for (int64_t i = t * per; i < end; ++i)
        if (!BwIsFilled(img + i * numComponents)) parts[size_t(t)].push_back(uint32_t(i));
    }
  });
  std::vector<uint32_t> empty;
  for (const auto& part : parts) empty.insert(empty.end(), part.begin(), part.end());
  return empty;
}

// The four-neighbours of texel (x, y): previous row, next row, previous column, next column,
// wrapping around the edges, or with `clamp` none past a left or right edge and with
// `clampRows` none past the first or last row (there the edge texel stands in for what lies
// beyond, which is the empty texel itself). Returns how many there are.
int Neighbours(int64_t x, int64_t y, int64_t width, int64_t height, bool clamp, bool clampRows, int64_t out[4]) {
  int n = 0;
  if (y > 0 || !clampRows) out[n++] = (y == 0 ? height - 1 : y - 1) * width + x;
  if (y < height - 1 || !clampRows) out[n++] = (y == height - 1 ? 0 : y + 1) * width + x;
  if (x > 0 || !clamp) out[n++] = y * width + (x == 0 ? width - 1 : x - 1);
  if (x < width - 1 || !clamp) out[n++] = y * width + (x == width - 1 ? 0 : x + 1);
  return n;
}

// One dilation pass over the candidate texels: every empty one with a filled four-neighbour
// receives the direction of their sum. All reads see the image as it was at the start of the
// pass, so the fills are applied only after all of them are computed. Afterwards `candidates`
// holds the empty neighbours of the texels just filled, sorted and each once: a texel that the
// next pass fills has a neighbour filled by this one (had its filled neighbours all been there
// before, this pass would have filled it), so the next pass needs to look at no other.
void DilatePass(float* img, int64_t width, int64_t height, int numComponents, bool clamp, bool clampRows,
                std::vector<uint32_t>* candidates) {
  const int64_t count = int64_t(candidates->size());
  // The rings after the first are thin: not worth starting threads for.
  const int threads = count < kTexelGrain ? 1 : BwThreadCount();
  const int64_t per = (count + threads - 1) / threads;
  std::vector<std::vector<Fill>> fills(static_cast<size_t>(threads));

  BwParallelFor(threads, 1, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t end = std::min(count, (t + 1) * per);
      for (int64_t k = t * per; k < end; ++k) {
        const uint32_t texel = (*candidates)[size_t(k)];
        if (BwIsFilled(img + int64_t(texel) * numComponents)) continue;
        int64_t neighbours[4];
        const int n = Neighbours(texel % width, texel / width, width, height, clamp, clampRows, neighbours);
        double nn[3] = {0.0, 0.0, 0.0};
        int ncount = 0;
        for (int i = 0; i < n; ++i) {
          const float* c = img + neighbours[i] * numComponents;
          if (!BwIsFilled(c)) continue;
          nn[0] += double(c[0]);
          nn[1] += double(c[1]);
          nn[2] += double(c[2]);
          ++ncount;
        }
        if (ncount == 0) continue;
        BwNormalize(nn);
        fills[size_t(t)].push_back(Fill{texel, {float(nn[0]), float(nn[1]), float(nn[2])}});
      }
    }
  });

  for (const auto& part : fills)
    for (const Fill& fill : part) {
      float* out = img + int64_t(fill.texel) * numComponents;
      out[0] = fill.value[0];
      out[1] = fill.value[1];
      out[2] = fill.value[2];
    }
  std::vector<std::vector<uint32_t>> next(static_cast<size_t>(threads));
  BwParallelFor(threads, 1, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t)
      for (const Fill& fill : fills[size_t(t)]) {
        int64_t neighbours[4];
        const int n = Neighbours(fill.texel % width, fill.texel / width, width, height, clamp, clampRows, neighbours);
        for (int i = 0; i < n; ++i)
          if (!BwIsFilled(img + neighbours[i] * numComponents)) next[size_t(t)].push_back(uint32_t(neighbours[i]));
      }
  });
  candidates->clear();
  for (const auto& part : next) candidates->insert(candidates->end(), part.begin(), part.end());
  std::sort(candidates->begin(), candidates->end());
  candidates->erase(std::unique(candidates->begin(), candidates->end()), candidates->end());
}

}  // namespace

namespace {

// The passes work in place: only empty texels change, and the fills of a pass are applied after
// the pass has read everything it needs. Once a pass fills nothing, no later pass can.
void Dilate(float* img, int width, int height, int passes, int numComponents, bool clampEdges, bool clampRows) {
  if (passes <= 0 || width <= 0 || height <= 0) return;
  std::vector<uint32_t> candidates = EmptyTexels(img, int64_t(width) * height, numComponents);
  for (int pass = 0; pass < passes && !candidates.empty(); ++pass)
    DilatePass(img, width, height, numComponents, clampEdges, clampRows, &candidates);
}

}  // namespace

void BwDilateTexels(float* img, int width, int height, int passes, int numComponents, bool clampEdges) {
  Dilate(img, width, height, passes, numComponents, clampEdges, clampEdges);
}

void BwDilateWindow(float* rows, int width, int rowCount, int passes, int numComponents, bool clampEdges) {
  Dilate(rows, width, rowCount, passes, numComponents, clampEdges, true);
}

void BwShowDilationStage(BwConsole& console, int passes) {
  console.Message("\rFilling borders\n");
  console.Spinner(passes);  // one frame per pass
  console.EndStage();
}

void BwShowBoxFilterStage(BwConsole& console, int height) {
  console.Message("Box filtering\n");
  console.Spinner(height);  // one frame per output row
  console.EndStage();
}

void BwBoxFilterRow(const float* row, const float* nextRow, int64_t sourceWidth, bool halve,
                    int64_t width, int numComponents, float* out, bool clampEdges) {
  const int64_t nc = numComponents;
  for (int64_t x = 0; x < width; ++x) {
    // Block columns: the texel's own and the next, wrapping at the right edge (same size), or
    // twice the column and the one after, the last source column standing in for a missing one.
    const int64_t cx = halve ? 2 * x : x;
    const int64_t cx1 = halve ? std::min(cx + 1, sourceWidth - 1) : (x + 1 == width ? (clampEdges ? x : 0) : x + 1);
    BwBoxTexel(row + cx * nc, nextRow + cx * nc, nextRow + cx1 * nc, row + cx1 * nc, out + x * nc);
  }
}

void BwBoxFilterTexels(float* result, int resultWidth, int resultHeight, const float* source,
                       int lastWidth, int lastHeight, int numComponents, bool clampEdges) {
  if (resultWidth <= 0 || resultHeight <= 0) return;
  const bool halve = !(lastWidth == resultWidth && lastHeight == resultHeight);
  const int64_t width = resultWidth;
  const int64_t height = resultHeight;
  const int64_t rowFloats = int64_t(lastWidth) * numComponents;
  BwParallelFor(height, RowGrain(resultWidth), [=](int64_t y0, int64_t y1) {
    for (int64_t y = y0; y < y1; ++y) {
      // Block rows: the texel's own and the next, wrapping at the bottom edge (same size), or
      // twice the row and the one after, the last source row standing in for a missing one.
      const int64_t cy = halve ? 2 * y : y;
      const int64_t cy1 = halve ? std::min<int64_t>(cy + 1, lastHeight - 1) : (y + 1 == height ? (clampEdges ? y : 0) : y + 1);
      BwBoxFilterRow(source + cy * rowFloats, source + cy1 * rowFloats, lastWidth, halve, width,
                     numComponents, result + y * width * numComponents, clampEdges);
    }
  });
}
