// The combination pipeline of a job: load both maps, merge, post-process, write every level.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <vector>
#include <utility>

#include "Encoders.h"
#include "Filters.h"
#include "MapLoaders.h"
#include "NormalMath.h"
#include "Parallel.h"
#include "Pipeline.h"
#include "RowKernels.h"

namespace {

constexpr int kNumComponents = 3;

// The two inputs as texels; both are decoded a row at a time during the merge.
struct Inputs {
  BwInputTexels base;
  BwInputTexels second;
  std::unique_ptr<BwHeightField> heightField;  // set when the second map is a height map
  int flipGreen = 0;                             // BW_FLIP_* bits
  int blend = BW_BLEND_RNM;
  bool scaled = false;      // the detail strength is not 1 everywhere
  float strength = 1.0f;    // the detail strength, times the mask where there is one
  BwInputTexels maskTexels;
  std::unique_ptr<BwHeightField> mask;
};

// Negates the y components of `count` texels, `stride` floats apart; an empty texel's 0 stays
// +0.
void FlipGreen(float* y, int64_t count, int64_t stride) {
  for (int64_t i = 0; i < count; ++i) y[i * stride] = 0.0f - y[i * stride];
}

// Merged, renormalised row y of level 0 (`width` texels of three floats) into out.
void MergeRow(const Inputs& inputs, int64_t width, int64_t y, BwRowScratch* s, float* out) {
  BwDecodeNormalMapRow(inputs.base, y, s, s->bx.get(), s->by.get(), s->bz.get());
  if (inputs.heightField)
    BwHeightNormalsRowSoA(*inputs.heightField, y, s, s->sx.get(), s->sy.get(), s->sz.get());
  else
    BwDecodeNormalMapRow(inputs.second, y, s, s->sx.get(), s->sy.get(), s->sz.get());
  if (inputs.flipGreen & BW_FLIP_BASE) FlipGreen(s->by.get(), width, 1);
  if (inputs.flipGreen & BW_FLIP_SECOND) FlipGreen(s->sy.get(), width, 1);
  if (!inputs.scaled && inputs.blend == BW_BLEND_RNM) {
    BwMergeRow(s, width, out);
  } else {
    if (inputs.scaled) {
      // The mask's values of the row (1 without a mask), then the strength of each texel in
      // their place.
      if (inputs.mask)
        BwHeightRow(*inputs.mask, y, s->st.get());
      else
        std::fill_n(s->st.get(), width, 1.0f);
      BwScaleTilt(width, inputs.strength, s->st.get(), s->st.get(), s->sx.get(), s->sy.get(), s->sz.get());
    }
    BwBlendRow(s, inputs.blend, inputs.scaled ? s->st.get() : nullptr, width, out);
  }
  // Negating y commutes with every later stage (sums and divisions are symmetric in sign), so
  // the output's y is negated here, once.
  if (inputs.flipGreen & BW_FLIP_OUTPUT) FlipGreen(out + 1, width, 3);
}

int64_t RowGrain(int width) { return std::max<int64_t>(1, (1 << 15) / std::max(width, 1)); }

// Level 0, the merged and renormalised full-size image, into img.
void MergeImage(const BwRun& run, const Inputs& inputs, float* img) {
  const int64_t width = run.width;
  BwParallelFor(run.height, RowGrain(run.width), [&](int64_t y0, int64_t y1) {
    BwRowScratch s(width);
    for (int64_t y = y0; y < y1; ++y) MergeRow(inputs, width, y, &s, img + y * width * kNumComponents);
  });
}

// How much the slopes of an input's normals curl with their green as it is, against with it
// negated, over pairs of rows every eighth row: a height field's normals do not curl in their
// own green convention, so well below 1 the map keeps its green as its rows run, well above 1
// the other way. `row` gives the normals of a row (x, y and z, `width` each).
template <typename Row>
double GreenCurlRatio(int64_t width, int64_t height, const Row& row) {
  BwRowScratch scratch(width);
  std::vector<float> a(size_t(width) * 3), b(size_t(width) * 3);
  double same = 0, flipped = 0;
  for (int64_t y = 0; y + 1 < height; y += 8) {
    row(y, &scratch, a.data(), a.data() + width, a.data() + 2 * width);
    row(y + 1, &scratch, b.data(), b.data() + width, b.data() + 2 * width);
    const float *ax = a.data(), *ay = ax + width, *az = ay + width, *bx = b.data(), *bz = bx + 2 * width;
    for (int64_t x = 0; x + 1 < width; ++x) {
      if (az[x] <= 0.05f || az[x + 1] <= 0.05f || bz[x] <= 0.05f) continue;  // empty or lying down
      const float dpdy = bx[x] / bz[x] - ax[x] / az[x];
      const float dqdx = ay[x + 1] / az[x + 1] - ay[x] / az[x];
      same += double((dpdy - dqdx) * (dpdy - dqdx));
      flipped += double((dpdy + dqdx) * (dpdy + dqdx));
    }
  }
  return flipped > 0 ? same / flipped : 1.0;
}

// Hints when the second map's green convention looks opposite to the base's: both maps' slopes
// curl clearly less one way than the other, and not the same way.
void HintGreenConvention(BwRun& run, const Inputs& inputs) {
  const int64_t width = run.width, height = run.height;
  const auto normalRows = [](const BwInputTexels& texels) {
    return [&texels](int64_t y, BwRowScratch* s, float* ox, float* oy, float* oz) {
      BwDecodeNormalMapRow(texels, y, s, ox, oy, oz);
    };
  };
  const auto heightRows = [&inputs](int64_t y, BwRowScratch* s, float* ox, float* oy, float* oz) {
    BwHeightNormalsRowSoA(*inputs.heightField, y, s, ox, oy, oz);
  };
  double base = GreenCurlRatio(width, height, normalRows(inputs.base));
  double second = inputs.heightField ? GreenCurlRatio(width, height, heightRows)
                                     : GreenCurlRatio(width, height, normalRows(inputs.second));
  if (inputs.flipGreen & BW_FLIP_BASE) base = 1 / std::max(base, 1e-12);
  if (inputs.flipGreen & BW_FLIP_SECOND) second = 1 / std::max(second, 1e-12);
  if ((base < 0.5 && second > 2) || (base > 2 && second < 0.5))
    run.console.Hint("the second map's green channel looks flipped against the base's (one is OpenGL-style, "
                     "green up, the other DirectX-style, green down): if its relief looks inverted, add "
                     "--flip-green=second");
}

// The console output of level 0's stages. It depends only on the settings and the size, so it
// is all printed first; then the level is computed and written.
void ShowLevelZeroStages(BwRun& run) {
  run.console.Message("Merging normals\n");
  run.console.Progress("  0%\r100.00%\r");
  BwShowRenormalizeStage(run.console, run.height);  // renormalisation runs with the merge
  // Passes until none is left empty are not counted beforehand: that stage shows no spinner.
  if (run.settings.expandTexels)
    BwShowDilationStage(run.console, run.settings.dilateTexels == kBwFillAll ? 0 : run.settings.dilateTexels);
  if (run.settings.boxFilter) BwShowBoxFilterStage(run.console, run.height);
  BwShowEncodingStage(run);
}

// A buffer for a w x h level, with one spare texel; ends the job when it cannot be had.
BwArray<float> AllocateLevel(BwRun& run, int w, int h) {
  BwArray<float> level = BwAllocArray<float>(uint64_t(std::max(w, 1)) * uint64_t(std::max(h, 0)) *
                                             kNumComponents + kNumComponents);
  if (!level) BwFailAllocation(run);
  return level;
}

// Level 0 is streamed in bands of this many rows (an even number, so that a band that starts a
// pair of rows for mip level 1 ends one). A band with an empty texel to fill is made again with
// the rows around it that the dilation passes reach, up to this many.
constexpr int64_t kBandRows = 256;
constexpr int kMostBandedPasses = 64;

// The passes that level 0 can be dilated with a band at a time (0: it cannot, or no dilation):
// the passes reach few rows, and the image is taller than a band and the rows around it, so that
// no window of rows wraps onto itself.
int BandedPasses(const BwRun& run) {
  const int passes = run.settings.DilationPasses();
  return passes > 0 && passes <= kMostBandedPasses && run.height > kBandRows + 1 + 2 * int64_t(passes) ? passes : 0;
}

// Level 0 as the output takes it: each band of rows merged and encoded into the piece asked for,
// mip level 1 made on the way when levelOne is given. A band with an empty texel is made again
// from a window of rows reaching `passes` rows past it on either side (wrapping around the top
// and bottom, or stopping at them when the edges are clamped), dilated there: the fills of its
// own rows are then those of the whole image. Without `passes`, a dilating job gives up at the
// first empty texel (false, the piece unwritten): then the whole image has to be built.
class LevelZeroBands {
 public:
  LevelZeroBands(BwRun& run, const Inputs& inputs, float* levelOne, int passes)
      : run_(run), inputs_(inputs), levelOne_(levelOne), passes_(passes), code_(run.encoding),
        texelBytes_(BwSelectedEncoding(run).texelBytes), width_(run.width), height_(run.height),
        rowFloats_(int64_t(run.width) * kNumComponents), checkEmpty_(run.settings.DilationPasses() > 0) {
    oneWidth_ = run.width;
    oneHeight_ = run.height;
    BwNextMipSize(&oneWidth_, &oneHeight_);
    if (passes_ > 0) {
      window_ = BwAllocArray<float>(uint64_t(kBandRows + 1 + 2 * passes_) * uint64_t(rowFloats_));
      if (!window_) BwFailAllocation(run);
    }
  }

  bool SawEmpty() const { return sawEmpty_; }

  // Texels [offset / texelBytes, (offset + bytes) / texelBytes) of level 0, encoded into out.
  bool Piece(uint64_t offset, uint64_t bytes, unsigned char* out) {
    const int64_t first = int64_t(offset) / texelBytes_;
    const int64_t end = first + int64_t(bytes) / texelBytes_;
    if (sawEmpty_) return false;
    const int64_t lastRow = (end - 1) / width_;
    for (int64_t b0 = first / width_; b0 <= lastRow; b0 += kBandRows) {
      const int64_t b1 = std::min(b0 + kBandRows, lastRow + 1);
      if (!Stream(b0, b1, first, end, out)) continue;
      if (passes_ == 0) {
        sawEmpty_ = true;
        return false;
      }
      Dilated(b0, b1, first, end, out);
    }
    return true;
  }

 private:
  // The part of row y inside texels [first, end), encoded into out (texel `first` at out), its
  // angle error added to `tally` when there is one.
  void Encode(const float* row, int64_t y, int64_t first, int64_t end, unsigned char* out, BwAngleTally* tally) const {
    const int64_t from = std::max(y * width_, first), to = std::min((y + 1) * width_, end);
    if (from >= to) return;
    const float* in = row + (from - y * width_) * kNumComponents;
    unsigned char* encoded = out + (from - first) * texelBytes_;
    BwEncodeTexels(code_, in, kNumComponents, to - from, encoded);
    if (tally) BwTallyEncoded(code_, in, kNumComponents, to - from, encoded, tally);
  }

  // Level 1 row y / 2 from rows y - 1 (`previous`) and y of level 0, for odd y (or row 0 of a
  // one-row image).
  void LevelOneRow(const float* previous, const float* row, int64_t y) const {
    if (!levelOne_) return;
    if (height_ == 1)
      BwBoxFilterRow(row, row, width_, true, oneWidth_, kNumComponents, levelOne_);
    else if (y % 2 == 1 && y / 2 < oneHeight_)
      BwBoxFilterRow(previous, row, width_, true, oneWidth_, kNumComponents, levelOne_ + y / 2 * oneWidth_ * kNumComponents);
  }

  // Rows [b0, b1) merged and encoded a row at a time, and their level 1 rows; whether a row
  // used (with the row before b0 when it pairs with b0 for level 1) has an empty texel.
  bool Stream(int64_t b0, int64_t b1, int64_t first, int64_t end, unsigned char* out) {
    std::atomic<bool> empty{false};
    // The band's angle error counts only if the band is not made again.
    BwAngleStats band;
    BwParallelFor(b1 - b0, RowGrain(run_.width), [&](int64_t r0, int64_t r1) {
      BwAngleTally tally;
      BwAngleTally* const counted = run_.angles ? &tally : nullptr;
      BwRowScratch s(width_);
      BwArray<float> rows = BwAllocArray<float>(uint64_t(rowFloats_) * 2);
      if (!rows) throw std::bad_alloc();
      float* previous = rows.get();
      float* row = rows.get() + rowFloats_;
      const auto check = [&](const float* texels) {
        if (checkEmpty_ && BwRowHasEmpty(texels, width_)) empty = true;
      };
      // Level 1 row y takes level 0 rows 2y and 2y + 1.
      if (levelOne_ && (b0 + r0) % 2 == 1) {
        MergeRow(inputs_, width_, b0 + r0 - 1, &s, previous);
        check(previous);
      }
      // Once a texel is found empty the band is made again or given up: the rest is not needed.
      for (int64_t y = b0 + r0; y < b0 + r1 && !empty; ++y) {
        MergeRow(inputs_, width_, y, &s, row);
        check(row);
        Encode(row, y, first, end, out, counted);
        LevelOneRow(previous, row, y);
        std::swap(previous, row);
      }
      if (counted) band.Merge(tally);
    });
    if (run_.angles && !empty) run_.angles->MergeFrom(band);
    return empty;
  }

  // Rows [b0, b1) again, dilated within a window of rows around them.
  void Dilated(int64_t b0, int64_t b1, int64_t first, int64_t end, unsigned char* out) {
    const int64_t top = b0 - (levelOne_ && b0 % 2 == 1 ? 1 : 0);  // the first row the band uses
    int64_t w0 = top - passes_, w1 = b1 + passes_;
    if (run_.settings.clampEdges) w0 = std::max<int64_t>(w0, 0), w1 = std::min(w1, height_);
    float* window = window_.get();
    BwParallelFor(w1 - w0, RowGrain(run_.width), [&](int64_t r0, int64_t r1) {
      BwRowScratch s(width_);
      for (int64_t r = r0; r < r1; ++r)
        MergeRow(inputs_, width_, ((w0 + r) % height_ + height_) % height_, &s, window + r * rowFloats_);
    });
    BwDilateWindow(window, run_.width, int(w1 - w0), passes_, kNumComponents, run_.settings.clampEdges);
    BwParallelFor(b1 - top, RowGrain(run_.width), [&](int64_t r0, int64_t r1) {
      BwAngleTally tally;
      for (int64_t y = top + r0; y < top + r1; ++y) {
        const float* row = window + (y - w0) * rowFloats_;
        if (y >= b0) Encode(row, y, first, end, out, run_.angles ? &tally : nullptr);
        if (y > top) LevelOneRow(row - rowFloats_, row, y);
      }
      if (run_.angles) run_.angles->Merge(tally);
    });
  }

  BwRun& run_;
  const Inputs& inputs_;
  float* levelOne_;
  const int passes_;
  const int code_;
  const int64_t texelBytes_;
  const int64_t width_, height_, rowFloats_;
  const bool checkEmpty_;
  int oneWidth_ = 0, oneHeight_ = 0;
  BwArray<float> window_;  // the rows of a band with an empty texel and the rows around it
  bool sawEmpty_ = false;
};

// Writes level 0 a band at a time (see LevelZeroBands). False, with the output dropped, when the
// merged image has an empty texel that only the whole image can fill.
bool StreamLevelZero(BwRun& run, const Inputs& inputs, BwOutputWriter& output, float* levelOne) {
  LevelZeroBands bands(run, inputs, levelOne, BandedPasses(run));
  const BwTexelSource merged = [&](uint64_t offset, uint64_t bytes, unsigned char* out) {
    return bands.Piece(offset, bytes, out);
  };
  return output.Level(run, 0, merged, [&] { return !bands.SawEmpty(); });
}

// Level 0 of a job that dilates more than a band at a time can, without mip levels or the final
// box filter, kept encoded (a texel's few bytes instead of three floats) and written from there:
// the merged rows a band at a time (with the rows on either side), of which only the rows with a
// filled texel are encoded (the rows of an empty region are not touched before the fills reach
// them), a bit a texel for whether it is filled, and the filled texels next to an empty one as
// seeds. Then the inputs are let go and BwDilateSparse makes the same fills as a dilation of the
// whole image, each encoded in its place; texels no pass reached are encoded empty.
void DilateEncodedLevelZero(BwRun& run, Inputs& inputs, BwOutputWriter& output) {
  const int64_t width = run.width, height = run.height, rowFloats = width * kNumComponents;
  const int code = run.encoding;
  const int64_t texelBytes = BwSelectedEncoding(run).texelBytes, rowBytes = width * texelBytes;
  const int64_t rowWords = (width + 63) / 64;  // each row has words of its own
  const bool clamp = run.settings.clampEdges;
  BwArray<unsigned char> encoded = BwAllocArray<unsigned char>(uint64_t(height) * uint64_t(rowBytes));
  BwArray<uint64_t> filled = BwAllocArray<uint64_t>(uint64_t(height) * uint64_t(rowWords));
  BwArray<float> window = BwAllocArray<float>(uint64_t(kBandRows + 2) * uint64_t(rowFloats));
  if (!encoded || !filled || !window) BwFailAllocation(run);
  std::fill(filled.get(), filled.get() + height * rowWords, uint64_t(0));
  std::vector<unsigned char> rowEncoded(size_t(height), 0);
  std::vector<BwFill> seeds;
  for (int64_t b0 = 0; b0 < height; b0 += kBandRows) {
    const int64_t b1 = std::min(b0 + kBandRows, height);
    // Window row r holds row b0 - 1 + r, wrapping.
    BwParallelFor(b1 - b0 + 2, RowGrain(run.width), [&](int64_t r0, int64_t r1) {
      BwRowScratch s(width);
      for (int64_t r = r0; r < r1; ++r)
        MergeRow(inputs, width, (b0 - 1 + r + height) % height, &s, window.get() + r * rowFloats);
    });
    std::vector<std::vector<BwFill>> bandSeeds(size_t(b1 - b0));
    BwParallelFor(b1 - b0, RowGrain(run.width), [&](int64_t r0, int64_t r1) {
      BwAngleTally tally;
      for (int64_t y = b0 + r0; y < b0 + r1; ++y) {
        const float* row = window.get() + (y - b0 + 1) * rowFloats;
        // The window row of image row ny, which is y or a row next to it.
        const auto at = [&](int64_t ny) {
          const int64_t k = ny == y ? 1 : ny == (y + height - 1) % height ? 0 : 2;
          return window.get() + (y - b0 + k) * rowFloats;
        };
        bool any = false;
        for (int64_t x = 0; x < width; ++x) {
          if (!BwIsFilled(row + x * kNumComponents)) continue;
          any = true;
          filled[size_t(y * rowWords + x / 64)] |= uint64_t(1) << (x % 64);
          int64_t neighbours[4];
          const int n = BwNeighbours(x, y, width, height, clamp, clamp, neighbours);
          bool bordering = false;
          for (int i = 0; i < n; ++i)
            bordering = bordering || !BwIsFilled(at(neighbours[i] / width) + neighbours[i] % width * kNumComponents);
          const float* t = row + x * kNumComponents;
          if (bordering) bandSeeds[size_t(y - b0)].push_back(BwFill{uint32_t(y * width + x), {t[0], t[1], t[2]}});
        }
        if (any) BwEncodeTexels(code, row, kNumComponents, width, encoded.get() + y * rowBytes);
        if (any && run.angles) BwTallyEncoded(code, row, kNumComponents, width, encoded.get() + y * rowBytes, &tally);
        rowEncoded[size_t(y)] = any;
      }
      if (run.angles) run.angles->Merge(tally);
    });
    for (const auto& part : bandSeeds) seeds.insert(seeds.end(), part.begin(), part.end());
  }
  window.reset();
  inputs = Inputs();  // not needed again
  BwDilateSparse(filled.get(), rowWords, run.width, run.height, run.settings.DilationPasses(), clamp, std::move(seeds),
                 [&](const std::vector<BwFill>& fills) {
                   BwParallelFor(int64_t(fills.size()), 1 << 15, [&](int64_t begin, int64_t end) {
                     BwAngleTally tally;
                     for (int64_t i = begin; i < end; ++i) {
                       unsigned char* at = encoded.get() + int64_t(fills[size_t(i)].texel) * texelBytes;
                       BwEncodeTexels(code, fills[size_t(i)].value, kNumComponents, 1, at);
                       if (run.angles) BwTallyEncoded(code, fills[size_t(i)].value, kNumComponents, 1, at, &tally);
                     }
                     if (run.angles) run.angles->Merge(tally);
                   });
                 });
  // The empty texel's bytes, encoded once.
  static const float kEmpty[kNumComponents] = {};
  unsigned char empty[16];
  BwEncodeTexels(code, kEmpty, kNumComponents, 1, empty);
  BwParallelFor(height, RowGrain(run.width), [&](int64_t y0, int64_t y1) {
    for (int64_t y = y0; y < y1; ++y) {
      if (rowEncoded[size_t(y)]) continue;
      for (int64_t x = 0; x < width; ++x)
        if (!((filled[size_t(y * rowWords + x / 64)] >> (x % 64)) & 1u))
          std::memcpy(encoded.get() + y * rowBytes + x * texelBytes, empty, size_t(texelBytes));
    }
  });
  output.Level(run, 0, [&](uint64_t offset, uint64_t bytes, unsigned char* out) {
    std::memcpy(out, encoded.get() + offset, size_t(bytes));
    return true;
  }, nullptr);
}

// Reads the second input on a thread of its own while the job's thread reads the base, when both
// are regular files (decoding a PNG or OpenEXR file takes one CPU however large it is). What the
// second read prints is held back and shown after the base is read, so the console shows the
// same text in the same order as when the two are read one after the other, and a failure of
// the base comes first.
class ConcurrentRead {
 public:
  template <typename Read>
  ConcurrentRead(BwRun& run, const BwInput& base, const BwInput& second, const Read& read)
      : run_(run), console_(run.console.Quiet(), [this](int stream, const char* text, size_t length) {
          (stream == BW_STDERR ? err_ : out_).append(text, length);
        }) {
    if (!RegularFile(base) || !RegularFile(second)) return;
    const int threads = BwThreadCount();
    try {
      thread_ = std::thread([this, &read, threads] {
        const BwDiagnosticScope diagnostics(&console_);
        const BwThreadLimit limit(threads);
        BwRun secondRun(run_.settings, console_);
        try {
          read(secondRun);
        } catch (...) {
          failure_ = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread: the second input is read after the base.
    }
  }
  ~ConcurrentRead() {
    if (thread_.joinable()) thread_.join();
  }

  // Waits for the second read (or does it now) and passes on what it printed and its failure.
  template <typename Read>
  void Finish(const Read& read) {
    if (!thread_.joinable()) return read(run_);
    thread_.join();
    if (!err_.empty()) run_.console.Diagnostic(err_.c_str());
    if (!out_.empty()) run_.console.Message("%s", out_.c_str());
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static bool RegularFile(const BwInput& input) {
    struct stat st;
    return !input.image && stat(input.name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  BwRun& run_;
  std::string out_, err_;
  BwConsole console_;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace


namespace {

// Tells the console's progress hook how far the run is: the share of the chain's texels the
// output has taken, level by level, as it takes them (the merge and the stages of a streamed
// level run as its rows are taken).
class ProgressOutput : public BwOutputWriter {
 public:
  explicit ProgressOutput(BwOutputWriter& output) : output_(output) {}

  bool CanDiscard(BwRun& run, int level) override { return output_.CanDiscard(run, level); }
  int Encoding(BwRun& run) override { return output_.Encoding(run); }
  void Finish(BwRun& run) override {
    output_.Finish(run);
    run.console.ReportProgress(1.0);
  }

  bool Level(BwRun& run, int level, const BwTexelSource& encoded, const std::function<bool()>& keep) override {
    if (level == 0) {
      // Every level's texels, from level 0's size.
      done_ = 0;
      total_ = 0;
      const int levels = BwChainLevels(run.width, run.height, run.settings.mipLevels != 0);
      for (int l = 0, w = run.width, h = run.height; l < levels; ++l, BwNextMipSize(&w, &h)) total_ += double(w) * h;
    }
    const double texels = double(run.width) * run.height;
    const double levelBytes = texels * BwSelectedEncoding(run).texelBytes;
    std::atomic<uint64_t> taken{0};
    const BwTexelSource counted = [&](uint64_t offset, uint64_t bytes, unsigned char* out) {
      if (!encoded(offset, bytes, out)) return false;
      const double share = std::min(1.0, double(taken += bytes) / std::max(levelBytes, 1.0));
      run.console.ReportProgress((done_ + share * texels) / std::max(total_, 1.0));
      return true;
    };
    const bool kept = output_.Level(run, level, counted, keep);
    if (kept) done_ += texels;
    return kept;
  }

 private:
  BwOutputWriter& output_;
  double done_ = 0;   // texels of the levels taken
  double total_ = 0;  // texels of the whole chain
};

}  // namespace

void BwRunPipeline(BwRun& run, const BwInput& base, const BwInput& second, BwOutputWriter& target,
                   const char* scaleText) {
  ProgressOutput progress(target);
  BwOutputWriter& output = run.console.WantsProgress() ? static_cast<BwOutputWriter&>(progress) : target;
  const BwSettings& settings = run.settings;
  if (settings.bumpMap && !std::isfinite(settings.bumpScale)) {
    if (scaleText)
      run.Fail(BW_ERROR_SETTINGS, "ERROR: The height scale %s is not a finite number\n", scaleText);
    run.Fail(BW_ERROR_SETTINGS, "ERROR: The height scale %g is not a finite number\n", double(settings.bumpScale));
  }

  run.encoding = output.Encoding(run);

  Inputs inputs;
  inputs.flipGreen = settings.flipGreen;
  inputs.blend = settings.blend;
  inputs.strength = settings.detailStrength;
  inputs.scaled = settings.detailStrength != 1.0f || !settings.mask.empty();
  const auto readSecond = [&](BwRun& secondRun) {
    if (settings.bumpMap) {
      inputs.heightField = std::make_unique<BwHeightField>();
      BwReadHeightField(secondRun, second, &inputs.second, settings.bumpScale, inputs.heightField.get());
      inputs.heightField->clampEdges = settings.clampEdges;
    } else {
      BwReadNormalMapTexels(secondRun, second, &inputs.second);
    }
  };
  ConcurrentRead secondRead(run, base, second, readSecond);
  BwReadNormalMapTexels(run, base, &inputs.base);
  run.width = inputs.base.width;
  run.height = inputs.base.height;
  if (run.width == 0 || run.height == 0)
    run.Fail(BW_ERROR_READ, "ERROR: %s has no texels (%dx%d)\n", base.name.c_str(), run.width, run.height);
  secondRead.Finish(readSecond);
  if (inputs.second.width != run.width || inputs.second.height != run.height)
    run.Fail(BW_ERROR_SIZE, "Normal map sizes must match! (%dx%d %dx%d)\n", run.width, run.height,
             inputs.second.width, inputs.second.height);
  if (run.console.WantsHints()) HintGreenConvention(run, inputs);
  if (!settings.mask.empty()) {
    BwInput mask;
    mask.name = settings.mask;
    inputs.mask = std::make_unique<BwHeightField>();
    BwReadHeightField(run, mask, &inputs.maskTexels, 1.0f, inputs.mask.get());
    if (inputs.maskTexels.width != run.width || inputs.maskTexels.height != run.height)
      run.Fail(BW_ERROR_SIZE, "ERROR: The mask %s is %dx%d, the maps are %dx%d\n", mask.name.c_str(),
               inputs.maskTexels.width, inputs.maskTexels.height, run.width, run.height);
  }
  // Inputs read through a file mapping are checked again before any output is put in place: a
  // file cut short while it was read would have been read as zeros.
  const BwFileIdentity baseFile = inputs.base.storage.identity;
  const BwFileIdentity secondFile = inputs.second.storage.identity;

  // With --stats, each level's angle error once it is written.
  const auto levelWritten = [&run](int level) {
    if (!run.angles) return;
    const BwLevelStats stats = run.angles->FinishLevel(level);
    run.console.Message("Angle error: mean %.3f, p99 %.3f, max %.3f degrees\n", stats.mean, stats.p99, stats.max);
  };
  const bool mips = settings.mipLevels != 0;
  const bool dilate = settings.DilationPasses() > 0;
  int oneWidth = run.width, oneHeight = run.height;
  BwNextMipSize(&oneWidth, &oneHeight);

  // Level 0 goes straight from the inputs to the output unless the final box filter needs the
  // whole image, or the dilation may need it and the output could not take back what it got.
  run.console.Message("Output normal map %d by %d\n", run.width, run.height);
  ShowLevelZeroStages(run);
  BwArray<float> current;  // the last level made
  BwArray<float> next;     // where the next level is made
  bool streamed = false;
  if (!settings.boxFilter && (!dilate || BandedPasses(run) > 0 || output.CanDiscard(run, 0))) {
    if (mips) current = AllocateLevel(run, oneWidth, oneHeight);
    streamed = StreamLevelZero(run, inputs, output, current.get());
    if (!streamed && run.angles) run.angles->DropLevel();
  }
  if (!streamed && dilate && !settings.boxFilter && !mips) {
    DilateEncodedLevelZero(run, inputs, output);
    streamed = true;
  }
  if (!streamed) {
    current = AllocateLevel(run, run.width, run.height);
    MergeImage(run, inputs, current.get());
    inputs = Inputs();  // the inputs are not needed again
    BwDilateTexels(current.get(), run.width, run.height, settings.DilationPasses(), kNumComponents,
                   settings.clampEdges);
    if (settings.boxFilter) {
      next = AllocateLevel(run, run.width, run.height);
      BwBoxFilterTexels(next.get(), run.width, run.height, current.get(), run.width, run.height,
                        kNumComponents, settings.clampEdges);
      std::swap(current, next);
    }
    output.Level(run, 0, BwEncodeFrom(run.encoding, current.get(), kNumComponents, run.angles), nullptr);
  }
  levelWritten(0);
  inputs = Inputs();

  // Every further level is the box-filtered halving of the one before.
  for (int level = 1; mips && oneWidth > 0 && oneHeight > 0; ++level) {
    const int lastWidth = run.width, lastHeight = run.height;
    run.width = oneWidth;
    run.height = oneHeight;
    BwNextMipSize(&oneWidth, &oneHeight);
    run.console.Message("Output normal map %d by %d\n", run.width, run.height);
    BwShowBoxFilterStage(run.console, run.height);
    if (!(level == 1 && streamed)) {  // else level 1 was made with level 0
      if (!next) next = AllocateLevel(run, run.width, run.height);
      BwBoxFilterTexels(next.get(), run.width, run.height, current.get(), lastWidth, lastHeight,
                        kNumComponents);
      std::swap(current, next);
    }
    BwShowEncodingStage(run);
    output.Level(run, level, BwEncodeFrom(run.encoding, current.get(), kNumComponents, run.angles), nullptr);
    levelWritten(level);
  }

  if (!BwFileIntact(baseFile) || !BwFileIntact(secondFile)) {
    BwDiagnostic("ERROR! An input file changed while it was read!\n");
    run.Fail(BW_ERROR_READ, "ERROR: Unable to read %s\n", !BwFileIntact(baseFile) ? base.name.c_str() : second.name.c_str());
  }
  output.Finish(run);
}
