// The combination pipeline: load both maps, merge, post-process, write every level.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>

#include "Bumpweld.h"
#include "Encoders.h"
#include "Filters.h"
#include "MapLoaders.h"
#include "NormalMath.h"
#include "OutputFile.h"
#include "Parallel.h"
#include "RowKernels.h"
#include "Signals.h"

namespace {

constexpr int kNumComponents = 3;

// The two inputs as raw texels; both are decoded a row at a time during the merge.
struct Inputs {
  TGATexels baseTexels;
  int baseTexelBytes = 3;
  TGATexels secondTexels;
  int secondTexelBytes = 3;
  std::unique_ptr<BwHeightField> heightField;  // set when the second map is a height map
};

// Merged, renormalised row y of level 0 (gWidth texels of three floats) into out.
void MergeRow(const Inputs& inputs, int64_t y, BwRowScratch* s, float* out) {
  const int64_t width = gWidth;
  BwDecodeNormalsRow(inputs.baseTexels.data + y * width * inputs.baseTexelBytes,
                     inputs.baseTexelBytes, width, s, s->bx.get(), s->by.get(), s->bz.get());
  if (inputs.heightField)
    BwHeightNormalsRowSoA(*inputs.heightField, y, s, s->sx.get(), s->sy.get(), s->sz.get());
  else
    BwDecodeNormalsRow(inputs.secondTexels.data + y * width * inputs.secondTexelBytes,
                       inputs.secondTexelBytes, width, s, s->sx.get(), s->sy.get(), s->sz.get());
  BwMergeRow(s, width, out);
}

int64_t RowGrain() { return std::max<int64_t>(1, (1 << 15) / std::max(gWidth, 1)); }

// Level 0, the merged and renormalised full-size image, into img.
void MergeImage(const Inputs& inputs, float* img) {
  const int64_t width = gWidth;
  BwParallelFor(gHeight, RowGrain(), [&](int64_t y0, int64_t y1) {
    BwRowScratch s(width);
    for (int64_t y = y0; y < y1; ++y) MergeRow(inputs, y, &s, img + y * width * kNumComponents);
  });
}

// The console output of the merge and of the renormalisation, which runs with it.
void ShowMergeStages() {
  BwErrorLog("Merging normals\n");
  if (gQuiet == 0) std::printf("  0%%\r100.00%%\r");
  BwErrorLog("\rRenormalize\n");
  BwShowSpinnerFrames(gHeight);
  BwEndStage();
}

// The size of the mip level after a w x h level; a size of 0 in either direction ends the chain.
void NextMipSize(int* w, int* h) {
  *w /= 2;
  *h /= 2;
  if (*w > 0) {
    if (*h < 1) *h = 1;
  } else if (*h > 1) {
    *w = 1;
  }
}

// Whether level 0 can go straight from the inputs to the file, without the full-size image in
// memory: not when the final box filter needs the whole image, nor when the file could not be
// discarded should the dilation turn out to have work (an output written in place, such as a
// device, a FIFO or standard output, cannot take back what was written to it).
bool CanStreamLevelZero(const char* fName) {
  return !gBoxFilter && !OutputFile::WouldBeInPlace(fName);
}

// Writes level 0 to fName, merging and encoding the rows as the file is written, and when
// levelOne is given makes mip level 1 from them on the way. False, with nothing written, when
// the merged image has an empty texel for the dilation to fill: then the image has to be built
// (and the rest of this attempt is skipped as soon as one is seen).
bool StreamLevelZero(const Inputs& inputs, const char* fName, float* levelOne) {
  const int code = gOutput;
  const int64_t texelBytes = BwEncodedTexelBytes();
  const int64_t width = gWidth;
  const int64_t height = gHeight;
  int oneWidth = gWidth;
  int oneHeight = gHeight;
  NextMipSize(&oneWidth, &oneHeight);
  const int64_t rowFloats = width * kNumComponents;
  const bool dilate = gExpandTexels && gDilateTexels > 0;
  std::atomic<bool> sawEmpty{false};
  const BwTexelSource merged = [&](uint64_t offset, uint64_t bytes, unsigned char* out) {
    const int64_t first = int64_t(offset) / texelBytes;
    const int64_t end = first + int64_t(bytes) / texelBytes;
    const int64_t firstRow = first / width;
    if (sawEmpty) return;
    BwParallelFor((end - 1) / width + 1 - firstRow, RowGrain(), [&](int64_t r0, int64_t r1) {
      BwRowScratch s(width);
      BwArray<float> rows = BwAllocArray<float>(uint64_t(rowFloats) * 2);
      float* previous = rows.get();
      float* row = rows.get() + rowFloats;
      // Level 1 row y takes level 0 rows 2y and 2y + 1 (row 0 twice in a one-row image).
      if (levelOne && (firstRow + r0) % 2 == 1) MergeRow(inputs, firstRow + r0 - 1, &s, previous);
      for (int64_t y = firstRow + r0; y < firstRow + r1 && !sawEmpty; ++y) {
        MergeRow(inputs, y, &s, row);
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
  };
  return BwWriteEncodedImage(fName, merged, [&] { return !sawEmpty; });
}

// Floats of a buffer for a w x h level, with one spare texel.
uint64_t LevelFloats(int w, int h) { return uint64_t(w) * uint64_t(h) * kNumComponents + kNumComponents; }

}  // namespace

void GetOutputFilename(std::string* name, const char* outName, int mipCount) {
  if (!name || !outName) {
    BwErrorLog("ERROR: NULL pointer passed to GetOutputFilename\n");
    BwFatalExit();
  }
  *name = outName;
  if (gComputeMipLevels == 0) return;
  // The level number goes before the last '.' of the file-name part, never into a directory.
  char number[16];
  std::snprintf(number, sizeof number, "%02d", mipCount);
  const size_t slash = name->rfind('/');
  const size_t dot = name->rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    name->insert(dot, number);
  else
    *name += std::string(number) + ".tga";
}

void ComputeNextMipLevel(int* lastWidth, int* lastHeight) {
  if (gComputeMipLevels == 0) {
    gWidth = 0;
    gHeight = 0;
    return;
  }
  *lastWidth = gWidth;
  *lastHeight = gHeight;
  NextMipSize(&gWidth, &gHeight);
}

int BumpweldMain(int argc, char** argv) {
  char* nm1Name = nullptr;
  char* nm2Name = nullptr;
  char* outName = nullptr;
  double bs = 0.0;
  BwInstallSignalHandlers();
  BwSetOutputObserver(BwSignalObserver());
  ProcessArgs(argc, argv, &nm1Name, &nm2Name, &outName, &bs);
  const float bumpScale = BwNarrowToFloat(bs);

  Inputs inputs;
  inputs.baseTexelBytes = BwReadNormalMapTexels(nm1Name, &gWidth, &gHeight, &inputs.baseTexels);
  int width = 0;
  int height = 0;
  if (gBumpMap) {
    inputs.heightField = std::make_unique<BwHeightField>();
    BwReadHeightField(nm2Name, &width, &height, &inputs.secondTexels, bumpScale,
                      inputs.heightField.get());
  } else {
    inputs.secondTexelBytes = BwReadNormalMapTexels(nm2Name, &width, &height, &inputs.secondTexels);
  }
  if (width != gWidth || height != gHeight) {
    BwErrorLog("Normal map sizes must match! (%dx%d %dx%d)\n", gWidth, gHeight, width, height);
    BwFatalExit();
  }

  std::string fName;
  GetOutputFilename(&fName, outName, 0);
  const bool stream = CanStreamLevelZero(fName.c_str());

  // The current image and a scratch image. The scratch buffer is only ever written by the box
  // filter: at full size for the final filter, else at the size of the first mip level, the
  // largest level made from another. When level 0 goes straight to its file, mip level 1 is
  // made on the way into the scratch buffer and the current one needs only level 2's size.
  int oneWidth = gWidth, oneHeight = gHeight;
  NextMipSize(&oneWidth, &oneHeight);
  int twoWidth = oneWidth, twoHeight = oneHeight;
  NextMipSize(&twoWidth, &twoHeight);
  const bool mips = gComputeMipLevels != 0;
  BwArray<float> img;
  BwArray<float> img2;
  const auto allocate = [&](int imgWidth, int imgHeight) {
    int scratchWidth = 1, scratchHeight = 0;
    if (gBoxFilter) {
      scratchWidth = gWidth;
      scratchHeight = gHeight;
    } else if (mips) {
      scratchWidth = std::max(oneWidth, 1);
      scratchHeight = std::max(oneHeight, 1);
    }
    img = BwAllocArray<float>(LevelFloats(imgWidth, imgHeight));
    if (!img2) img2 = BwAllocArray<float>(LevelFloats(scratchWidth, scratchHeight));
    if (!img || !img2) {
      BwErrorLog("ERROR: Unable to allocate texture\n");
      BwFatalExit();
    }
  };
  if (stream)
    allocate(mips ? twoWidth : 0, mips ? twoHeight : 0);
  else
    allocate(gWidth, gHeight);

  int mipCount = 0;
  int lastWidth = gWidth;
  int lastHeight = gHeight;
  bool levelOneMade = false;
  while (gWidth > 0 && gHeight > 0) {
    BwErrorLog("Output normal map %d by %d\n", gWidth, gHeight);
    GetOutputFilename(&fName, outName, mipCount);
    if (mipCount == 0) {
      // Every stage's console output depends only on the settings and the size, so it is all
      // printed first; then the level is computed and written.
      ShowMergeStages();
      if (gExpandTexels) BwShowDilationStage();
      if (gBoxFilter) BwShowBoxFilterStage();
      BwShowEncodingStage();
      levelOneMade = stream && StreamLevelZero(inputs, fName.c_str(), mips ? img2.get() : nullptr);
      if (!levelOneMade) {
        if (stream) allocate(gWidth, gHeight);
        MergeImage(inputs, img.get());
        inputs = Inputs();  // the inputs are not needed again
        if (gExpandTexels) BwDilateTexels(img.get(), kNumComponents);
        if (gBoxFilter) {
          BwBoxFilterTexels(img2.get(), img.get(), gWidth, gHeight, kNumComponents);
          std::swap(img, img2);
        }
        BwWriteEncodedImage(fName.c_str(), BwEncodeFrom(img.get(), kNumComponents), nullptr);
      }
    } else {
      if (mipCount == 1 && levelOneMade)
        BwShowBoxFilterStage();  // level 1 was made with level 0
      else
        BoxFilter(img2.get(), img.get(), lastWidth, lastHeight, kNumComponents);
      std::swap(img, img2);
      WriteOutputImage(fName.c_str(), img.get(), kNumComponents);
    }
    ComputeNextMipLevel(&lastWidth, &lastHeight);
    ++mipCount;
  }
  return 0;
}
