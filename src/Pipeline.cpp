// The combination pipeline: load both maps, merge, post-process, write every level.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "Bumpweld.h"
#include "Encoders.h"
#include "Filters.h"
#include "MapLoaders.h"
#include "NormalMath.h"
#include "Parallel.h"
#include "RowKernels.h"

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

// Level 0: the merged, renormalised full-size image, with the console output of the merge and
// renormalisation stages.
void MergeLevelZero(const Inputs& inputs, float* img) {
  BwErrorLog("Merging normals\n");
  if (gQuiet == 0) std::printf("  0%%");
  const int64_t width = gWidth;
  const int64_t rowGrain = std::max<int64_t>(1, (1 << 15) / width);
  BwParallelFor(gHeight, rowGrain, [&](int64_t y0, int64_t y1) {
    BwRowScratch s(width);
    for (int64_t y = y0; y < y1; ++y) {
      BwDecodeNormalsRow(inputs.baseTexels.data + y * width * inputs.baseTexelBytes,
                         inputs.baseTexelBytes, width, &s, s.bx.get(), s.by.get(), s.bz.get());
      if (inputs.heightField)
        BwHeightNormalsRowSoA(*inputs.heightField, y, &s, s.sx.get(), s.sy.get(), s.sz.get());
      else
        BwDecodeNormalsRow(inputs.secondTexels.data + y * width * inputs.secondTexelBytes,
                           inputs.secondTexelBytes, width, &s, s.sx.get(), s.sy.get(), s.sz.get());
      BwMergeRow(&s, width, img + y * width * kNumComponents);
    }
  });
  if (gQuiet == 0) std::printf("\r100.00%%\r");
  // The renormalisation ran with the merge, texel by texel; its console output follows here.
  BwErrorLog("\rRenormalize\n");
  BwShowSpinnerFrames(gHeight);
  BwEndStage();
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
  gWidth /= 2;
  gHeight /= 2;
  if (gWidth > 0) {
    if (gHeight < 1) gHeight = 1;
  } else if (gHeight > 1) {
    gWidth = 1;
  }
}

int BumpweldMain(int argc, char** argv) {
  char* nm1Name = nullptr;
  char* nm2Name = nullptr;
  char* outName = nullptr;
  double bs = 0.0;
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

  // The current image and a scratch image. The scratch buffer is only ever written by the box
  // filter: at full size for the final filter, else at the size of the first mip level, which
  // is the largest level made from another.
  int scratchWidth = 1;
  int scratchHeight = 0;
  if (gBoxFilter) {
    scratchWidth = gWidth;
    scratchHeight = gHeight;
  } else if (gComputeMipLevels != 0) {
    scratchWidth = std::max(gWidth / 2, 1);
    scratchHeight = std::max(gHeight / 2, 1);
  }
  BwArray<float> img = BwAllocArray<float>(LevelFloats(gWidth, gHeight));
  BwArray<float> img2 = BwAllocArray<float>(LevelFloats(scratchWidth, scratchHeight));
  if (!img || !img2) {
    BwErrorLog("ERROR: Unable to allocate texture\n");
    BwFatalExit();
  }

  int mipCount = 0;
  int lastWidth = gWidth;
  int lastHeight = gHeight;
  std::string fName;
  while (gWidth > 0 && gHeight > 0) {
    BwErrorLog("Output normal map %d by %d\n", gWidth, gHeight);
    if (mipCount == 0) {
      MergeLevelZero(inputs, img.get());
      inputs = Inputs();  // the inputs are not needed again
      if (gExpandTexels) {
        float* current = img.get();
        float* scratch = img2.get();
        DilateImage(&current, &scratch, kNumComponents);
      }
      if (gBoxFilter) {
        BoxFilter(img2.get(), img.get(), gWidth, gHeight, kNumComponents);
        std::swap(img, img2);
      }
    } else {
      BoxFilter(img2.get(), img.get(), lastWidth, lastHeight, kNumComponents);
      std::swap(img, img2);
    }
    GetOutputFilename(&fName, outName, mipCount);
    WriteOutputImage(fName.c_str(), img.get(), kNumComponents);
    ComputeNextMipLevel(&lastWidth, &lastHeight);
    ++mipCount;
  }
  return 0;
}
