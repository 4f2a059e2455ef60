// The output encodings: Targa and .kep texels, the PNG encodings and the GPU formats handed to
// their writer, encoded from normal images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "AngleStats.h"
#include "BwArray.h"
#include "KepFileIO.h"
#include "Quantize.h"
#include "Run.h"

// One texel of the experimental encoding: the direction scaled by its largest magnitude, biased
// into r, g, b, and that magnitude in a.
struct BwExpPixel {
  unsigned char r, g, b, a;
};

void BwConvertToExpPixel(double x, double y, double z, BwExpPixel* jp);

// ---- Writing an encoded image ------------------------------------------------------------
// Encoding codes: 0 to 7 as the flag letters select them, then the PNG encodings (red, green,
// blue at 8 bits, and at 16 bits the nearest of (c + 1) / 2 * 65535), the TIFF encodings (the
// texels of the PNG ones), the OpenEXR ones (three floats, which the writer stores as half or
// float samples), then the GPU formats of DDS, KTX2 and .astc files, whose texels go to their
// writer as the three floats they are (the writer encodes them; see DdsKtx.h). BW_ROUND added
// to a code rounds its components to nearest (clamped to their range) instead of truncating
// them.
enum {
  BW_ENCODING_PNG8 = 8,
  BW_ENCODING_PNG16 = 9,
  BW_ENCODING_TIFF8 = 10,
  BW_ENCODING_TIFF16 = 11,
  BW_ENCODING_EXR_HALF = 12,
  BW_ENCODING_EXR_FLOAT = 13,
  BW_ENCODING_GPU = 14,  // BW_ENCODING_GPU + int(BwGpuFormat)
  BW_ENCODING_COUNT = 27,
  BW_ROUND = 0x100,
};
// Encodes `count` texels (numComponents floats each) into `out` in the encoding `code`. Targa
// texels are stored in file order (blue, green, red, alpha), which carries z, y, x and the
// fourth byte.
void BwEncodeTexels(int code, const float* in, int numComponents, int64_t count, unsigned char* out);

// Decodes `count` texels of the encoding `code` (one that BwEncodeTexels writes, not a GPU
// format) into three floats a texel, what a reader of the file gets: each component back in
// [-1, 1] (or in proportion to it, which gives the same direction), z rebuilt from x and y for
// the two-component .kep layout.
void BwDecodeTexels(int code, const unsigned char* encoded, int64_t count, float* out);

// Adds to `tally` the angles between `count` texels of float normals (numComponents floats
// each) and what their encoding in `code` decodes to; nothing for the GPU formats, which their
// writer tallies (see DdsKtx.h's BwDecodeGpuLevel).
void BwTallyEncoded(int code, const float* in, int numComponents, int64_t count, const unsigned char* encoded,
                    BwAngleTally* tally);

// An output encoding: codes 0 to 2 are 8-bit Targa files, 3 to 7 packed .kep textures.
struct BwEncoding {
  const char* message;  // the stage header
  int texelBytes;       // bytes of one encoded texel
  int bitDepth;         // Targa bit depth, or .kep bitDepth
  ZelBitmapFormatEnum format;
  bool targa;
};

// The encoding of a code (BW_ROUND aside), or null for a code that names none.
const BwEncoding* BwFindEncoding(int code);
// The job's encoding; ends the job with "ERROR: Unknown output format!" when there is none.
const BwEncoding& BwSelectedEncoding(BwRun& run);

// The console output of the encoding stage: its message, a spinner frame per row, "\r".
void BwShowEncodingStage(BwRun& run);

// The encoded texels (encoding `code`, which must exist) of the image img, in storage order;
// their angle error is tallied in `angles` when given.
BwTexelSource BwEncodeFrom(int code, const float* img, int numComponents, BwAngleStats* angles = nullptr);

// Writes a width x height Targa or .kep file whose encoded texels come from `encoded` to the
// open stream fp; false, after the file module's message, when it cannot.
bool BwWriteEncodedStream(FILE* fp, const BwEncoding& encoding, int width, int height,
                          const BwTexelSource& encoded);
