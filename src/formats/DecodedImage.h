// A picture decoded from a container file, laid out the way the pipeline reads Targa texels.
//
// Texel (x, y), y counted from the bottom row, starts at sample (y * width + x) * channels of
// `data`; samples are bytes when bits is 8 and native uint16_t values when bits is 16. Colour
// texels hold blue, green, red (then alpha), grey texels grey (then alpha), so that a file
// holding the same picture as a Targa file gives the same bytes.
#pragma once

#include <cstdint>

#include "BwArray.h"

struct BwDecodedImage {
  int width = 0;
  int height = 0;
  int channels = 0;  // 1 grey, 2 grey + alpha, 3 blue green red, 4 blue green red alpha
  int bits = 0;      // 8 or 16 per sample
  BwArray<unsigned char> data;

  // Bytes of one texel and of the whole picture (sizes below 2^16: no overflow in 64 bits).
  int TexelBytes() const { return channels * bits / 8; }
  uint64_t ByteCount() const { return uint64_t(width) * uint64_t(height) * uint64_t(TexelBytes()); }
};

// Copies `count` texels of `channels` samples of `bits` bits from `in` to `out` in the order
// BwDecodedImage keeps them: colour texels from red, green, blue to blue, green, red, and, with
// bigEndian, 16-bit samples from the file's byte order to the machine's. `in` may be `out`.
void BwCopyDecodedTexels(const unsigned char* in, unsigned char* out, uint64_t count, int channels, int bits,
                         bool bigEndian);

// Turns a picture of `height` rows of rowBytes over: the first row becomes the last.
void BwFlipRows(unsigned char* data, uint64_t rowBytes, uint64_t height);
