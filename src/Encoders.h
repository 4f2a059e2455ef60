// Component conversions of the output encoders. Every float-to-integer step truncates toward
// zero to a 32-bit integer, and keeps the low bits of the target width, without rounding or
// clamping. A value that is not a number or lies outside the 32-bit range converts as -2^31.
#pragma once

#include <cstdint>
#include <functional>

#include "BwArray.h"

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

// Narrows a double to float as the hardware rounds, with no undefined behaviour for values
// beyond the float range (they become infinities or the largest float).
float BwNarrowToFloat(double d);

// ---- Writing an encoded image ------------------------------------------------------------
// Every function here takes the encoding from gOutput and ends the run with "ERROR: Unknown
// output format!" when it names none.

// Encodes `count` texels (numComponents floats each) into `out` in the encoding `code`. Targa
// texels are stored in file order (blue, green, red, alpha), which carries z, y, x and the
// fourth byte.
void BwEncodeTexels(int code, const float* in, int numComponents, int64_t count, unsigned char* out);

// Bytes of one encoded texel.
int BwEncodedTexelBytes();

// The console output of the encoding stage: its message, a spinner frame per row, "\r".
void BwShowEncodingStage();

// The encoded texels of the gWidth x gHeight image img.
BwTexelSource BwEncodeFrom(const float* img, int numComponents);

// Writes the gWidth x gHeight image whose encoded texels come from `encoded` to fName, as a
// Targa or .kep file, and prints "Wrote". When `keep` is given and says no once every texel is
// written, nothing is put in place and the result is false. Failures end the run.
bool BwWriteEncodedImage(const char* fName, const BwTexelSource& encoded,
                         const std::function<bool()>& keep);
