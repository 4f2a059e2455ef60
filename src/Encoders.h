// Component conversions of the output encoders. Every float-to-integer step truncates toward
// zero to a 32-bit integer, and keeps the low bits of the target width, without rounding or
// clamping. A value that is not a number or lies outside the 32-bit range converts as -2^31.
#pragma once

#include <cstdint>
#include <cmath>
#include <cstdio>
#include <functional>

#include "BwArray.h"
#include "Job.h"
#include "KepFileIO.h"

inline int32_t BwTruncToInt32(double t) {
  const bool inRange = (t > -2147483649.0) & (t < 2147483648.0);  // no branch: vectorises
  return inRange ? int32_t(t) : INT32_MIN;
}

// Low 8 bits of the truncated value.
inline unsigned char BwT8(double t) { return static_cast<unsigned char>(uint32_t(BwTruncToInt32(t)) & 0xFFu); }

// Unit component to a byte: -1 -> 0, 0 -> 127, 1 -> 255.
inline unsigned char BwQ8(float v) { return BwT8(double(v) * 127.5 + 127.5); }

// Signed 16-bit, no bias: -1 -> -32767, 1 -> 32767.
inline int16_t BwS16(float v) {
  return static_cast<int16_t>(static_cast<uint16_t>(uint32_t(BwTruncToInt32(double(v) * 32767.5))));
}

// 10-bit field: the single-precision product v * 511 truncated, plus 511: -1 -> 0, 1 -> 1022.
inline uint32_t BwQ10(float v) {
  const float product = v * 511.0f;
  return (uint32_t(BwTruncToInt32(double(product))) + 511u) & 0x3FFu;
}

// Unsigned 16-bit with bias: -1 -> 0, 0 -> 32767, 1 -> 65535.
inline uint16_t BwU16(float v) {
  return static_cast<uint16_t>(uint32_t(BwTruncToInt32(double(v) * 32767.5 + 32767.5)));
}

// One texel of the experimental encoding: the direction scaled by its largest magnitude, biased
// into r, g, b, and that magnitude in a.
struct BwExpPixel {
  unsigned char r, g, b, a;
};

void BwConvertToExpPixel(double x, double y, double z, BwExpPixel* jp);

// Narrows a double to float as the hardware rounds, with no undefined behaviour for values
// beyond the float range (they become infinities or the largest float).
float BwNarrowToFloat(double d);

// The nearest whole number to t, clamped to [low, high]; NaN gives low.
inline int32_t BwRoundClamped(double t, double low, double high) {
  const double r = std::floor(t + 0.5);
  return int32_t(r >= low ? (r <= high ? r : high) : low);
}

// The conversions above rounded to nearest and clamped to their range instead of truncated.
inline unsigned char BwQ8Rounded(float v) {
  return static_cast<unsigned char>(BwRoundClamped(double(v) * 127.5 + 127.5, 0.0, 255.0));
}
inline int16_t BwS16Rounded(float v) {
  return static_cast<int16_t>(BwRoundClamped(double(v) * 32767.5, -32767.0, 32767.0));
}
inline uint32_t BwQ10Rounded(float v) {
  const float product = v * 511.0f;
  return (uint32_t(BwRoundClamped(double(product), -511.0, 511.0)) + 511u) & 0x3FFu;
}
inline uint16_t BwU16Rounded(float v) {
  return static_cast<uint16_t>(BwRoundClamped(double(v) * 32767.5 + 32767.5, 0.0, 65535.0));
}

// ---- Writing an encoded image ------------------------------------------------------------
// Encoding codes: 0 to 7 as the flag letters select them, then the PNG encodings (red, green,
// blue at 8 bits, and at 16 bits the nearest of (c + 1) / 2 * 65535), then the GPU formats of
// DDS and KTX2 files, whose texels go to their writer as the three floats they are (the writer
// encodes them; see DdsKtx.h). BW_ROUND added to a code rounds its components to nearest
// (clamped to their range) instead of truncating them.
enum {
  BW_ENCODING_PNG8 = 8,
  BW_ENCODING_PNG16 = 9,
  BW_ENCODING_GPU = 10,  // BW_ENCODING_GPU + int(BwGpuFormat)
  BW_ENCODING_COUNT = 16,
  BW_ROUND = 0x100,
};
// Encodes `count` texels (numComponents floats each) into `out` in the encoding `code`. Targa
// texels are stored in file order (blue, green, red, alpha), which carries z, y, x and the
// fourth byte.
void BwEncodeTexels(int code, const float* in, int numComponents, int64_t count, unsigned char* out);

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

// The encoded texels (encoding `code`, which must exist) of the image img, in storage order.
BwTexelSource BwEncodeFrom(int code, const float* img, int numComponents);

// Writes a width x height Targa or .kep file whose encoded texels come from `encoded` to the
// open stream fp; false, after the file module's message, when it cannot.
bool BwWriteEncodedStream(FILE* fp, const BwEncoding& encoding, int width, int height,
                          const BwTexelSource& encoded);
