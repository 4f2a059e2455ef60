// The whole-program stage functions of the command line: each runs one stage of a job over the
// process-wide settings and image size, printing on standard output and ending the process on
// an error. Tests use them to drive single stages.
#include <cstdio>

#include "Bumpweld.h"
#include "Encoders.h"
#include "Filters.h"
#include "Job.h"
#include "MapLoaders.h"
#include "NormalMath.h"
#include "Pipeline.h"

namespace {

// Runs `stage` as a job over the global settings and size; an error ends the process.
template <typename Stage>
void RunStage(const Stage& stage) {
  const BwSettings settings = BwGlobalSettings();
  BwConsole console = BwStdioConsole();
  const BwDiagnosticScope diagnostics(&console);
  BwRun run(settings, console);
  run.width = gWidth;
  run.height = gHeight;
  try {
    stage(run);
  } catch (const BwFatalError&) {
    BwFatalExit();
  }
  gSpinner = console.SpinnerPhase();
}

}  // namespace

void Normalize(double* v) {
  if (!v) {
    BwErrorLog("ERROR: NULL pointer passed to Normalize!\n");
    BwFatalExit();
  }
  BwNormalize(v);
}

void fromToRotation(const float* from, const float* to, float* mtx) {
  BwFromToRotation(from, to, mtx);
}

void NormalizeImage(float* img, int numComponents) {
  RunStage([&](BwRun& run) {
    BwShowRenormalizeStage(run.console, run.height);
    BwRenormalizeImage(img, run.width, run.height, numComponents);
  });
}

void DilateImage(float** img, float** scratch, int numComponents) {
  if (!img || !scratch) {
    BwErrorLog("ERROR: NULL pointer passed to DilateImage\n");
    BwFatalExit();
  }
  RunStage([&](BwRun& run) {
    BwShowDilationStage(run.console, run.settings.dilateTexels);
    BwDilateTexels(*img, run.width, run.height, run.settings.dilateTexels, numComponents);
  });
}

void BoxFilter(float* result, const float* source, int lastWidth, int lastHeight,
               int numComponents) {
  if (!result || !source) {
    BwErrorLog("ERROR: NULL pointer passed to BoxFilter!\n");
    BwFatalExit();
  }
  if (lastWidth < 1) {
    BwErrorLog("ERROR: Bad width %d passed to BoxFilter!\n", lastWidth);
    BwFatalExit();
  }
  if (lastHeight < 1) {
    BwErrorLog("ERROR: Bad height %d passed to BoxFilter!\n", lastHeight);
    BwFatalExit();
  }
  RunStage([&](BwRun& run) {
    BwShowBoxFilterStage(run.console, run.height);
    BwBoxFilterTexels(result, run.width, run.height, source, lastWidth, lastHeight, numComponents);
  });
}

void ReadNormalMap(const char* name, int* width, int* height, int* numComponents,
                   BwArray<float>* normals) {
  if (!name || !width || !height || !numComponents || !normals) {
    BwErrorLog("ERROR: NULL pointer passed to ReadNormalMap!\n");
    BwFatalExit();
  }
  RunStage([&](BwRun& run) {
    BwInputTexels texels;
    BwInput input;
    input.name = name;
    BwReadNormalMapTexels(run, input, &texels);
    *width = texels.width;
    *height = texels.height;
    if (!BwDecodeNormalImage(texels, normals))
      run.Fail(BW_ERROR_MEMORY, "ERROR: Unable to allocate normal map memory!");
  });
}

void GetBumpMapFromHeightMap(const char* bumpName, int* bumpWidth, int* bumpHeight,
                             BwArray<float>* bumpMap, float scale) {
  if (!bumpWidth || !bumpHeight || !bumpMap) {
    BwErrorLog("ERROR: NULL pointer passed to GetBumpMapFromHeightMap!\n");
    BwFatalExit();
  }
  if (!bumpName) {
    *bumpWidth = 0;
    *bumpHeight = 0;
    bumpMap->reset();
    return;
  }
  RunStage([&](BwRun& run) {
    BwInputTexels texels;
    BwInput input;
    input.name = bumpName;
    auto field = std::make_unique<BwHeightField>();
    BwReadHeightField(run, input, &texels, scale, field.get());
    *bumpWidth = texels.width;
    *bumpHeight = texels.height;
    if (!BwHeightNormalImage(*field, bumpMap)) run.Fail(BW_ERROR_MEMORY, "ERROR: Unable to allocate normal map memory!");
  });
}

void ConvertToExpPixel(double x, double y, double z, BwExpPixel* jp) {
  if (!jp) {
    BwErrorLog("ERROR: NULL pointer passed to ConvertToExpPixel!\n");
    BwFatalExit();
  }
  BwConvertToExpPixel(x, y, z, jp);
}

void WriteOutputImage(const char* fName, const float* img, int numComponents) {
  if (!fName || !img) {
    BwErrorLog("ERROR: NULL pointer passed to WriteOutputImage\n");
    BwFatalExit();
  }
  RunStage([&](BwRun& run) {
    // A single file under exactly this name, the texels encoded a piece at a time as it is written.
    BwSettings single = run.settings;
    single.mipLevels = 0;
    BwRun level(single, run.console);
    level.width = run.width;
    level.height = run.height;
    const auto output = BwFileOutput(fName);
    level.encoding = output->Encoding(level);
    BwShowEncodingStage(level);
    output->Level(level, 0, BwEncodeFrom(level.encoding, img, numComponents), nullptr);
    output->Finish(level);
  });
}

void GetOutputFilename(std::string* name, const char* outName, int mipCount) {
  if (!name || !outName) {
    BwErrorLog("ERROR: NULL pointer passed to GetOutputFilename\n");
    BwFatalExit();
  }
  *name = BwLevelFileName(outName, gComputeMipLevels != 0, mipCount);
}

void ComputeNextMipLevel(int* lastWidth, int* lastHeight) {
  if (gComputeMipLevels == 0) {
    gWidth = 0;
    gHeight = 0;
    return;
  }
  *lastWidth = gWidth;
  *lastHeight = gHeight;
  BwNextMipSize(&gWidth, &gHeight);
}
