// The reading steps of the two map loaders, shared with the merge of the pipeline, which decodes
// both inputs row by row straight into the merged image instead of building whole normal images
// (the row kernels are in RowKernels.h).
#pragma once

#include <cstdint>

#include "Run.h"
#include "Texels.h"

// An image in memory: `channels` values a texel (1 grey, 2 grey and alpha, 3 colour, 4 colour
// and alpha) of the component type `type` (8-bit, 16-bit, float; see MapLoaders.h), rows
// `strideBytes` apart (0: packed), the first row the top of the picture or the bottom, colour
// texels in red, green, blue order or in Targa order (blue, green, red).
struct BwMemoryImage {
  const void* texels = nullptr;
  int type = 0;
  int width = 0;
  int height = 0;
  int channels = 3;
  int64_t strideBytes = 0;
  bool topFirst = true;
  bool targaOrder = false;
};

// One input of a job: a file name, or an image in memory (then `name` only names it in
// messages).
struct BwInput {
  std::string name;
  const BwMemoryImage* image = nullptr;
};

// What is wrong with the layout of an image in memory as a run takes it, worded to follow the
// image's name ("has 5 channels (1 to 4)"), or "" when nothing is: a known type, 1 to 4
// channels, at most 65535 texels each way, rows at least a row apart. *spanBytes: the bytes from
// `texels` that its rows reach (0 for an image without texels); `texels` itself is not read.
std::string BwMemoryImageFault(const BwMemoryImage& image, uint64_t* spanBytes);

// The texels of an input, read from its file or copied from its image in memory, as a normal map
// (`normalMap`: the normal channels of an OpenEXR file) or a height map. Failures end the job
// with the loaders' messages.
void BwReadInputTexels(BwRun& run, const BwInput& input, bool normalMap, BwInputTexels* texels);

// Reads the texels of a normal map with the normal map loader's checks and messages: three or
// four channels.
void BwReadNormalMapTexels(BwRun& run, const BwInput& input, BwInputTexels* texels);

// Reads the texels of a height map with the height map loader's checks and messages and
// prepares the field for scale.
void BwReadHeightField(BwRun& run, const BwInput& input, BwInputTexels* texels, float scale,
                       BwHeightField* field);

// Whole normal images (three floats a texel) from normal-map texels or from a height field;
// false when the image cannot be allocated.
bool BwDecodeNormalImage(const BwInputTexels& texels, BwArray<float>* normals);
bool BwHeightNormalImage(const BwHeightField& field, BwArray<float>* normals);
