// The combination pipeline of a job: load both maps, merge, post-process, write every level.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
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

// Writes level 0, merging and encoding the rows as the output takes them, and when levelOne is
// given makes mip level 1 from them on the way. False, with the output dropped, when the merged
// image has an empty texel for the dilation to fill: then the whole image has to be built. The
// attempt stops writing at the first such texel.
bool StreamLevelZero(BwRun& run, const Inputs& inputs, BwOutputWriter& output, float* levelOne) {
  const int code = run.encoding;
  const int64_t texelBytes = BwSelectedEncoding(run).texelBytes;
  const int64_t width = run.width;
  const int64_t height = run.height;
  int oneWidth = run.width;
  int oneHeight = run.height;
  BwNextMipSize(&oneWidth, &oneHeight);
  const int64_t rowFloats = width * kNumComponents;
  const bool dilate = run.settings.DilationPasses() > 0;
  std::atomic<bool> sawEmpty{false};
  const BwTexelSource merged = [&](uint64_t offset, uint64_t bytes, unsigned char* out) {
    const int64_t first = int64_t(offset) / texelBytes;
    const int64_t end = first + int64_t(bytes) / texelBytes;
    const int64_t firstRow = first / width;
    if (sawEmpty) return false;
    BwParallelFor((end - 1) / width + 1 - firstRow, RowGrain(run.width), [&](int64_t r0, int64_t r1) {
      BwRowScratch s(width);
      BwArray<float> rows = BwAllocArray<float>(uint64_t(rowFloats) * 2);
      if (!rows) throw std::bad_alloc();
      float* previous = rows.get();
      float* row = rows.get() + rowFloats;
      // Level 1 row y takes level 0 rows 2y and 2y + 1 (row 0 twice in a one-row image).
      if (levelOne && (firstRow + r0) % 2 == 1)
        MergeRow(inputs, width, firstRow + r0 - 1, &s, previous);
      for (int64_t y = firstRow + r0; y < firstRow + r1 && !sawEmpty; ++y) {
        MergeRow(inputs, width, y, &s, row);
        // The part of the row inside this piece.
        const int64_t from = std::max(y * width, first), to = std::min((y + 1) * width, end);
        const float* texels = row + (from - y * width) * kNumComponents;
        if (dilate)
          for (int64_t i = 0; i < to - from; ++i)
            if (!BwIsFilled(texels + i * kNumComponents)) sawEmpty = true;
        BwEncodeTexels(code, texels, kNumComponents, to - from, out + (from - first) * texelBytes);
        if (levelOne && height == 1)
          BwBoxFilterRow(row, row, width, true, oneWidth, kNumComponents, levelOne);
        else if (levelOne && y % 2 == 1 && y / 2 < oneHeight)
          BwBoxFilterRow(previous, row, width, true, oneWidth, kNumComponents,
                         levelOne + y / 2 * oneWidth * kNumComponents);
        std::swap(previous, row);
      }
    });
    return !sawEmpty;
  };
  return output.Level(run, 0, merged, [&] { return !sawEmpty; });
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


void BwRunPipeline(BwRun& run, const BwInput& base, const BwInput& second, BwOutputWriter& output,
                   const char* scaleText) {
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
  if (!settings.boxFilter && (!dilate || output.CanDiscard(run, 0))) {
    if (mips) current = AllocateLevel(run, oneWidth, oneHeight);
    streamed = StreamLevelZero(run, inputs, output, current.get());
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
    output.Level(run, 0, BwEncodeFrom(run.encoding, current.get(), kNumComponents), nullptr);
  }
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
    output.Level(run, level, BwEncodeFrom(run.encoding, current.get(), kNumComponents), nullptr);
  }

  if (!BwFileIntact(baseFile) || !BwFileIntact(secondFile)) {
    BwDiagnostic("ERROR! An input file changed while it was read!\n");
    run.Fail(BW_ERROR_READ, "ERROR: Unable to read %s\n", !BwFileIntact(baseFile) ? base.name.c_str() : second.name.c_str());
  }
  output.Finish(run);
}
