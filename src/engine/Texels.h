// The texels of the inputs as the loaders hand them to the row kernels: any container's texels
// in one layout, and a height map's texels with the scale of its heights.
#pragma once

#include <cstdint>

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

// Component types of input texels.
enum BwTexelType { BW_TEXEL_U8 = 0, BW_TEXEL_U16 = 1, BW_TEXEL_F32 = 2 };

// The texels of an input, whatever its container: row y (0 the bottom row of the picture) at
// `data` + y * `rowStride` bytes (0: packed rows; a negative stride reads a picture stored top
// row first), left to right, `channels` values of `type` a texel, colour channels in Targa order
// (blue, green, red, alpha) or, with rgbOrder, red, green, blue, alpha; 16- and 32-bit values in
// host byte order.
struct BwInputTexels {
  const unsigned char* data = nullptr;
  int width = 0;
  int height = 0;
  int channels = 3;
  int type = BW_TEXEL_U8;
  int64_t rowStride = 0;
  bool rgbOrder = false;
  bool alphaEmpty = false;  // a texel with alpha 0 is empty (four channels)
  TGATexels storage;        // owns what `data` points into, unless the caller does

  int64_t TexelBytes() const { return int64_t(channels) * (type == BW_TEXEL_U8 ? 1 : type == BW_TEXEL_U16 ? 2 : 4); }
  int64_t Stride() const { return rowStride != 0 ? rowStride : width * TexelBytes(); }
  const unsigned char* Row(int64_t y) const { return data + y * Stride(); }
  // Where red and blue are in a colour texel.
  int RedIndex() const { return rgbOrder ? 0 : 2; }
  int BlueIndex() const { return rgbOrder ? 2 : 0; }
};

// A height map's texels and the scale of its heights. The height is one value of the texel, by
// default the first (blue of a colour texel, the grey value of a grey one): an 8-bit one b gives
// b / 255 * scale, a 16-bit one v gives v / 65535 * scale, a float one h gives h * scale, all in
// single precision; or the luma of red, green and blue, (0.2126 r + 0.7152 g) + 0.0722 b, of
// the values so scaled to [0, 1], times the scale.
struct BwHeightField {
  const unsigned char* texels = nullptr;  // row 0, the bottom row
  int64_t rowStride = 0;                  // bytes from one row to the next (may be negative)
  int width = 0;
  int height = 0;
  int texelBytes = 1;
  int type = BW_TEXEL_U8;
  int channel = 0;    // the value of a texel that is the height
  bool luma = false;  // the height is the luma of the colour values instead
  int red = 2, blue = 0;  // where red and blue are, for the luma
  float scale = 0.0f;
  bool clampEdges = false;  // the Sobel operator reads the edge texel for what lies past an edge
  float heights[256] = {};  // the height of each 8-bit value
};
