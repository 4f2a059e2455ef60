// The reading steps of the two map loaders, shared with the merge of the pipeline, which decodes
// both inputs row by row straight into the merged image instead of building whole normal images
// (the row kernels are in RowKernels.h).
#pragma once

#include <cstdint>

#include "Job.h"
#include "TGAIO.h"

struct _pixel {
  unsigned char red;
  unsigned char blue;
  unsigned char green;
  unsigned char alpha;
};

// Copies bytes 0, 1, 2 of texel (x, y) into red, blue, green (as many as `off` provides): by
// byte position, so a Targa texel's blue byte lands in red and its red byte in green.
inline void ReadPixel(const unsigned char* image, int width, int off, _pixel* pix, int x, int y) {
  const int64_t idx = (int64_t(y) * width + x) * off;
  if (off > 0) pix->red = image[idx];
  if (off > 1) pix->blue = image[idx + 1];
  if (off > 2) pix->green = image[idx + 2];
}

// The texels of an input in Targa layout (bottom row first, bytes of a texel in Targa order),
// read from its file or converted from its image in memory. Failures end the job with the
// loaders' messages.
void BwReadInputTexels(BwRun& run, const BwInput& input, int* width, int* height, int* bitDepth,
                       TGATexels* texels);

// Reads the raw texels of a normal map with the normal map loader's checks and messages;
// returns the bytes per texel, 3 or 4.
int BwReadNormalMapTexels(BwRun& run, const BwInput& input, int* width, int* height,
                          TGATexels* texels);

// A height map's raw texels and the height of each byte value.
struct BwHeightField {
  const unsigned char* texels = nullptr;
  int width = 0;
  int height = 0;
  int texelBytes = 1;
  float heights[256] = {};
};

// Reads the raw texels of a height map with the height map loader's checks and messages and
// prepares the field for scale.
void BwReadHeightField(BwRun& run, const BwInput& input, int* bumpWidth, int* bumpHeight,
                       TGATexels* texels, float scale, BwHeightField* field);

// Whole normal images (three floats a texel) from normal-map texels or from a height field;
// false when the image cannot be allocated.
bool BwDecodeNormalImage(const unsigned char* texels, int texelBytes, int width, int height,
                         BwArray<float>* normals);
bool BwHeightNormalImage(const BwHeightField& field, BwArray<float>* normals);
