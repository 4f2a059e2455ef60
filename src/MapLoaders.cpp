// Normal map and height map loaders: Targa texels in, normal images (three floats a texel) out.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "Bumpweld.h"
#include "MapLoaders.h"
#include "NormalMath.h"
#include "Parallel.h"
#include "RowKernels.h"
#include "TGAIO.h"

namespace {

struct FileCloser {
  void operator()(FILE* fp) const { std::fclose(fp); }
};

constexpr int64_t kTexelGrain = 1 << 15;

// Opens `name` and reads its Targa texels, ending the run with the loaders' messages.
void ReadTargaTexels(const char* name, int* width, int* height, int* bitDepth, TGATexels* texels) {
  std::unique_ptr<FILE, FileCloser> in(std::fopen(name, "rb"));
  if (!in) {
    BwErrorLog("ERROR: Unable to open %s\n", name);
    BwFatalExit();
  }
  if (!TGAReadTexels(in.get(), width, height, bitDepth, texels)) {
    BwErrorLog("ERROR: Unable to read %s\n", name);
    in.reset();
    BwFatalExit();
  }
}

// Runs `rowKernel(y, scratch, x, y, z)` for every row and interleaves the results into the
// normal image `out` (three floats a texel).
template <typename RowKernel>
void FillNormalRows(int64_t width, int64_t height, float* out, const RowKernel& rowKernel) {
  BwParallelFor(height, std::max<int64_t>(1, kTexelGrain / std::max<int64_t>(width, 1)),
                [&](int64_t y0, int64_t y1) {
                  BwRowScratch scratch(width);
                  for (int64_t y = y0; y < y1; ++y) {
                    rowKernel(y, &scratch, scratch.sx.get(), scratch.sy.get(), scratch.sz.get());
                    BwInterleave(width, scratch.sx.get(), scratch.sy.get(), scratch.sz.get(),
                                 out + y * width * 3);
                  }
                });
}

void AllocateNormals(int width, int height, BwArray<float>* normals) {
  // 16-bit dimensions: at most 2^32 texels, no overflow in 64 bits.
  *normals = BwAllocArray<float>(uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0)) * 3);
  if (!*normals) {
    BwErrorLog("ERROR: Unable to allocate normal map memory!");
    BwFatalExit();
  }
}

}  // namespace

int BwReadNormalMapTexels(const char* name, int* width, int* height, TGATexels* texels) {
  if (name[0] == '\0') {
    BwErrorLog("ERROR: No file name passed to ReadNormalMap!\n");
    BwFatalExit();
  }
  int bitDepth = 0;
  ReadTargaTexels(name, width, height, &bitDepth, texels);
  if (bitDepth == 24) return 3;
  if (bitDepth == 32) return 4;
  if (bitDepth == 8 || bitDepth == 16)
    BwErrorLog("ERROR: Normal map should be at 32 or 24bits per pixel!\n");
  else
    BwErrorLog("ERROR: Unhandled bit depth for bump map!\n");
  BwFatalExit();
}

void ReadNormalMap(const char* name, int* width, int* height, int* numComponents,
                   BwArray<float>* normals) {
  if (!name || !width || !height || !numComponents || !normals) {
    BwErrorLog("ERROR: NULL pointer passed to ReadNormalMap!\n");
    BwFatalExit();
  }
  TGATexels texels;
  const int texelBytes = BwReadNormalMapTexels(name, width, height, &texels);
  AllocateNormals(*width, *height, normals);
  const int64_t rowTexels = *width;
  const unsigned char* in = texels.data;
  FillNormalRows(rowTexels, *height, normals->get(),
                 [=](int64_t y, BwRowScratch* scratch, float* x, float* yy, float* z) {
                   BwDecodeNormalsRow(in + y * rowTexels * texelBytes, texelBytes, rowTexels, scratch, x, yy, z);
                 });
}

void BwReadHeightField(const char* bumpName, int* bumpWidth, int* bumpHeight, TGATexels* texels,
                       float scale, BwHeightField* field) {
  int bitDepth = 0;
  ReadTargaTexels(bumpName, bumpWidth, bumpHeight, &bitDepth, texels);
  if (bitDepth != 8 && bitDepth != 16 && bitDepth != 24 && bitDepth != 32) {
    BwErrorLog("ERROR: Unhandled bit depth for bump map!\n");
    BwFatalExit();
  }
  field->texels = texels->data;
  field->width = *bumpWidth;
  field->height = *bumpHeight;
  field->texelBytes = bitDepth / 8;
  // Height of byte 0 of a texel, in single precision: byte / 255, then times the scale.
  for (int b = 0; b < 256; ++b) field->heights[b] = float(b) / 255.0f * scale;
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
  TGATexels texels;
  auto field = std::make_unique<BwHeightField>();
  BwReadHeightField(bumpName, bumpWidth, bumpHeight, &texels, scale, field.get());
  AllocateNormals(*bumpWidth, *bumpHeight, bumpMap);
  const BwHeightField& heights = *field;
  FillNormalRows(*bumpWidth, *bumpHeight, bumpMap->get(),
                 [&](int64_t y, BwRowScratch* scratch, float* x, float* yy, float* z) {
                   BwHeightNormalsRowSoA(heights, y, scratch, x, yy, z);
                 });
}
