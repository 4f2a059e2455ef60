// Whole-image passes over normal images: renormalisation, border dilation and box filtering.
#include <algorithm>
#include <functional>
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

int BwNeighbours(int64_t x, int64_t y, int64_t width, int64_t height, bool clamp, bool clampRows, int64_t out[4]) {
  int n = 0;
  if (y > 0 || !clampRows) out[n++] = (y == 0 ? height - 1 : y - 1) * width + x;
  if (y < height - 1 || !clampRows) out[n++] = (y == height - 1 ? 0 : y + 1) * width + x;
  if (x > 0 || !clamp) out[n++] = y * width + (x == 0 ? width - 1 : x - 1);
  if (x < width - 1 || !clamp) out[n++] = y * width + (x == width - 1 ? 0 : x + 1);
  return n;
}

namespace {

// The texels of a whole image of floats as the dilation sees them: whether one is filled, the
// normal of a filled one, and where the fills of a pass go.
class ImageTexels {
 public:
  ImageTexels(float* img, int numComponents) : img_(img), numComponents_(numComponents) {}
  bool Filled(int64_t texel) const { return BwIsFilled(img_ + texel * numComponents_); }
  const float* Value(int64_t texel) const { return img_ + texel * numComponents_; }
  void Apply(const std::vector<std::vector<BwFill>>& fills) {
    for (const auto& part : fills)
      for (const BwFill& fill : part) std::copy(fill.value, fill.value + 3, img_ + int64_t(fill.texel) * numComponents_);
  }

 private:
  float* img_;
  int numComponents_;
};

// The texels of an image known by a bit a texel for whether it is filled and by the normals of
// the texels filled last: the seeds at first, then the fills of the pass before. That is all a
// pass reads: a texel that a pass fills has no filled neighbour older than the pass before (it
// would have been filled earlier), and its first pass's neighbours are seeds.
class SparseTexels {
 public:
  SparseTexels(uint64_t* filled, int64_t rowWords, int64_t width, std::vector<BwFill> seeds,
               const std::function<void(const std::vector<BwFill>&)>& take)
      : filled_(filled), rowWords_(rowWords), width_(width), last_(std::move(seeds)), take_(take) {}
  bool Filled(int64_t texel) const {
    const int64_t y = texel / width_, x = texel % width_;
    return (filled_[y * rowWords_ + x / 64] >> (x % 64)) & 1u;
  }
  const float* Value(int64_t texel) const {
    return std::lower_bound(last_.begin(), last_.end(), texel, [](const BwFill& f, int64_t t) { return f.texel < t; })->value;
  }
  void Apply(const std::vector<std::vector<BwFill>>& fills) {
    last_.clear();
    for (const auto& part : fills) last_.insert(last_.end(), part.begin(), part.end());
    for (const BwFill& fill : last_) {
      const int64_t y = fill.texel / width_, x = fill.texel % width_;
      filled_[y * rowWords_ + x / 64] |= uint64_t(1) << (x % 64);
    }
    take_(last_);
  }
  const std::vector<BwFill>& Last() const { return last_; }

 private:
  uint64_t* filled_;
  int64_t rowWords_, width_;
  std::vector<BwFill> last_;  // sorted by texel
  const std::function<void(const std::vector<BwFill>&)>& take_;
};

// The empty four-neighbours of the texels in `parts`, sorted and each once.
template <typename Texels>
std::vector<uint32_t> EmptyNeighbours(const Texels& texels, const std::vector<std::vector<BwFill>>& parts, int64_t width,
                                      int64_t height, bool clamp, bool clampRows) {
  std::vector<std::vector<uint32_t>> next(parts.size());
  BwParallelFor(int64_t(parts.size()), 1, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t)
      for (const BwFill& fill : parts[size_t(t)]) {
        int64_t neighbours[4];
        const int n = BwNeighbours(fill.texel % width, fill.texel / width, width, height, clamp, clampRows, neighbours);
        for (int i = 0; i < n; ++i)
          if (!texels.Filled(neighbours[i])) next[size_t(t)].push_back(uint32_t(neighbours[i]));
      }
  });
  std::vector<uint32_t> candidates;
  for (const auto& part : next) candidates.insert(candidates.end(), part.begin(), part.end());
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  return candidates;
}

// The empty texels of an image with a filled four-neighbour, in storage order: the texels the
// first pass fills. 65535 x 65535 texels fit in 32 bits.
std::vector<uint32_t> FirstCandidates(const ImageTexels& texels, int64_t width, int64_t height, bool clamp, bool clampRows) {
  const int threads = BwThreadCount();
  const int64_t texelCount = width * height;
  std::vector<std::vector<uint32_t>> parts(static_cast<size_t>(threads));
  const int64_t per = (texelCount + threads - 1) / threads;
  BwParallelFor(threads, 1, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t end = std::min(texelCount, (t + 1) * per);
      for (int64_t i = t * per; i < end; ++i) {
        if (texels.Filled(i)) continue;
        int64_t neighbours[4];
        const int n = BwNeighbours(i % width, i / width, width, height, clamp, clampRows, neighbours);
        bool bordering = false;
        for (int k = 0; k < n; ++k) bordering = bordering || texels.Filled(neighbours[k]);
        if (bordering) parts[size_t(t)].push_back(uint32_t(i));
      }
    }
  });
  std::vector<uint32_t> candidates;
  for (const auto& part : parts) candidates.insert(candidates.end(), part.begin(), part.end());
  return candidates;
}

// One dilation pass over the candidate texels: every empty one with a filled four-neighbour
// receives the direction of their sum. All reads see the image as it was at the start of the
// pass, so the fills are applied only after all of them are computed. Afterwards `candidates`
// holds the empty neighbours of the texels just filled, sorted and each once: a texel that the
// next pass fills has a neighbour filled by this one (had its filled neighbours all been there
// before, this pass would have filled it), so the next pass needs to look at no other.
template <typename Texels>
void DilatePass(Texels& texels, int64_t width, int64_t height, bool clamp, bool clampRows,
                std::vector<uint32_t>* candidates) {
  const int64_t count = int64_t(candidates->size());
  // The rings after the first are thin: not worth starting threads for.
  const int threads = count < kTexelGrain ? 1 : BwThreadCount();
  const int64_t per = (count + threads - 1) / threads;
  std::vector<std::vector<BwFill>> fills(static_cast<size_t>(threads));

  BwParallelFor(threads, 1, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t end = std::min(count, (t + 1) * per);
      for (int64_t k = t * per; k < end; ++k) {
        const uint32_t texel = (*candidates)[size_t(k)];
        if (texels.Filled(texel)) continue;
        int64_t neighbours[4];
        const int n = BwNeighbours(texel % width, texel / width, width, height, clamp, clampRows, neighbours);
        double nn[3] = {0.0, 0.0, 0.0};
        int ncount = 0;
        for (int i = 0; i < n; ++i) {
          if (!texels.Filled(neighbours[i])) continue;
          const float* c = texels.Value(neighbours[i]);
          nn[0] += double(c[0]);
          nn[1] += double(c[1]);
          nn[2] += double(c[2]);
          ++ncount;
        }
        if (ncount == 0) continue;
        BwNormalize(nn);
        fills[size_t(t)].push_back(BwFill{texel, {float(nn[0]), float(nn[1]), float(nn[2])}});
      }
    }
  });
  texels.Apply(fills);
  *candidates = EmptyNeighbours(texels, fills, width, height, clamp, clampRows);
}

// The passes work in place: only empty texels change, and the fills of a pass are applied after
// the pass has read everything it needs. Once a pass fills nothing, no later pass can.
template <typename Texels>
void Dilate(Texels& texels, int64_t width, int64_t height, int passes, bool clamp, bool clampRows,
            std::vector<uint32_t> candidates) {
  for (int pass = 0; pass < passes && !candidates.empty(); ++pass)
    DilatePass(texels, width, height, clamp, clampRows, &candidates);
}

void DilateImage(float* img, int width, int height, int passes, int numComponents, bool clampEdges, bool clampRows) {
  if (passes <= 0 || width <= 0 || height <= 0) return;
  ImageTexels texels(img, numComponents);
  Dilate(texels, width, height, passes, clampEdges, clampRows, FirstCandidates(texels, width, height, clampEdges, clampRows));
}

}  // namespace

void BwDilateTexels(float* img, int width, int height, int passes, int numComponents, bool clampEdges) {
  DilateImage(img, width, height, passes, numComponents, clampEdges, clampEdges);
}

void BwDilateWindow(float* rows, int width, int rowCount, int passes, int numComponents, bool clampEdges) {
  DilateImage(rows, width, rowCount, passes, numComponents, clampEdges, true);
}

void BwDilateSparse(uint64_t* filled, int64_t rowWords, int width, int height, int passes, bool clampEdges,
                    std::vector<BwFill> seeds, const std::function<void(const std::vector<BwFill>&)>& take) {
  if (passes <= 0 || width <= 0 || height <= 0) return;
  SparseTexels texels(filled, rowWords, width, std::move(seeds), take);
  const std::vector<std::vector<BwFill>> first(1, texels.Last());
  Dilate(texels, width, height, passes, clampEdges, clampEdges, EmptyNeighbours(texels, first, width, height, clampEdges, clampEdges));
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
