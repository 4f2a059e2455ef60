// BC5 and BC3n image encoders from float normals (the block searches are in BlockSearch.inc,
// compiled in a file for each processor version), and the BC4, BC5 and BC3-green block decoders.
#include "BlockCompress.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "BlockRows.h"
#include "BlockSearch.h"
#include "BwVector.h"

// The palette is worked out as eight numerators over eight denominators, so that its divisions
// are one vector operation; each entry is the same division as written out one by one.
void BwDecodeBc4Block(const unsigned char in[8], BwBc4Kind kind, float values[16]) {
  // The six-value mode's two fixed entries: the ends of the range.
  const bool unorm = kind == BwBc4Kind::UNORM;
  const int minCode = unorm ? 0 : -127, maxCode = unorm ? 255 : 127;
  int e0 = in[0], e1 = in[1];
  if (kind == BwBc4Kind::SNORM) {
    e0 = e0 >= 128 ? std::max(e0 - 256, -127) : e0;
    e1 = e1 >= 128 ? std::max(e1 - 256, -127) : e1;
  }
  const bool eight = e0 > e1;
  float numerator[8], denominator[8];
  for (int i = 0; i < 8; ++i) {
    const int six = i < 2 ? (i == 0 ? e0 : e1) : i < 6 ? (6 - i) * e0 + (i - 1) * e1 : i == 6 ? minCode : maxCode;
    const int seven = i < 2 ? (i == 0 ? e0 : e1) : (8 - i) * e0 + (i - 1) * e1;
    numerator[i] = float(eight ? seven : six);
    denominator[i] = i < 2 ? 1.0f : eight ? 7.0f : i < 6 ? 5.0f : 1.0f;
  }
  // Each entry as the value it stands for, then looked up by the indices.
  float palette[8];
  for (int i = 0; i < 8; ++i) {
    const float p = numerator[i] / denominator[i];
    palette[i] = unorm ? p / 255.0f * 2.0f - 1.0f : p / 127.0f;
  }
  uint64_t bits = 0;
  for (int i = 0; i < 6; ++i) bits |= uint64_t(in[2 + i]) << (8 * i);
  for (int i = 0; i < 16; ++i) values[i] = palette[(bits >> (3 * i)) & 7u];
}

void BwDecodeBc3GreenBlock(const unsigned char in[8], float values[16]) {
  // Colours are 5:6:5 words; green is bits 5 to 10, read as 8 bits with its top bits repeated.
  const int g0 = ((in[0] | in[1] << 8) >> 5) & 0x3F;
  const int g1 = ((in[2] | in[3] << 8) >> 5) & 0x3F;
  const int e0 = g0 << 2 | g0 >> 4, e1 = g1 << 2 | g1 >> 4;
  float palette[4] = {float(e0), float(e1), float(2 * e0 + e1) / 3.0f, float(e0 + 2 * e1) / 3.0f};
  for (float& p : palette) p = p / 255.0f * 2.0f - 1.0f;
  const uint32_t bits = uint32_t(in[4]) | uint32_t(in[5]) << 8 | uint32_t(in[6]) << 16 | uint32_t(in[7]) << 24;
  for (int i = 0; i < 16; ++i) values[i] = palette[(bits >> (2 * i)) & 3u];
}

namespace {

// One band of BC5 or BC3n blocks (see BwEncodeBc5BandAvx2) in the given version.
void EncodeBc5Rows(BwVectorVersion version, const float* const* rows, int rowCount, int width, int numComponents,
                   BwBc4Kind kind, unsigned char* out) {
#ifdef BW_HAS_VECTOR_CLONES
  if (version == BwVectorVersion::AVX512) return BwEncodeBc5BandAvx512(rows, rowCount, width, numComponents, kind, out);
  if (version == BwVectorVersion::AVX2) return BwEncodeBc5BandAvx2(rows, rowCount, width, numComponents, kind, out);
#endif
  (void)version;
  BwEncodeBc5BandBaseline(rows, rowCount, width, numComponents, kind, out);
}

void EncodeBc3nRows(BwVectorVersion version, const float* const* rows, int rowCount, int width, int numComponents,
                    unsigned char* out) {
#ifdef BW_HAS_VECTOR_CLONES
  if (version == BwVectorVersion::AVX512) return BwEncodeBc3nBandAvx512(rows, rowCount, width, numComponents, out);
  if (version == BwVectorVersion::AVX2) return BwEncodeBc3nBandAvx2(rows, rowCount, width, numComponents, out);
#endif
  (void)version;
  BwEncodeBc3nBandBaseline(rows, rowCount, width, numComponents, out);
}

}  // namespace

void BwEncodeBc5Image(const float* image, int width, int height, int numComponents,
                      BwBc4Kind kind, unsigned char* out, BwVectorVersion version) {
  BwEncodeBlockRows(image, width, height, numComponents, out, [=](const float* const* rows, int rowCount,
                                                                  unsigned char* bandOut) {
    EncodeBc5Rows(version, rows, rowCount, width, numComponents, kind, bandOut);
  });
}

void BwEncodeBc3nImage(const float* image, int width, int height, int numComponents, unsigned char* out,
                       BwVectorVersion version) {
  BwEncodeBlockRows(image, width, height, numComponents, out, [=](const float* const* rows, int rowCount,
                                                                  unsigned char* bandOut) {
    EncodeBc3nRows(version, rows, rowCount, width, numComponents, bandOut);
  });
}
