// The reading steps of the two map loaders, shared with the merge of the pipeline, which decodes
// both inputs row by row straight into the merged image instead of building whole normal images
// (the row kernels are in RowKernels.h).
#pragma once

#include <cstdint>

#include "TGAIO.h"

// Reads the raw texels of a normal map with ReadNormalMap's checks and messages (ending the run
// on failure); returns the bytes per texel, 3 or 4.
int BwReadNormalMapTexels(const char* name, int* width, int* height, TGATexels* texels);

// A height map's raw texels and the height of each byte value.
struct BwHeightField {
  const unsigned char* texels = nullptr;
  int width = 0;
  int height = 0;
  int texelBytes = 1;
  float heights[256] = {};
};

// Reads the raw texels of a height map with GetBumpMapFromHeightMap's checks and messages
// (ending the run on failure) and prepares the field for scale.
void BwReadHeightField(const char* bumpName, int* bumpWidth, int* bumpHeight, TGATexels* texels,
                       float scale, BwHeightField* field);
