// BC5 and BC3n image encoders from float normals (the block searches are in BlockSearch.inc,
// compiled in a file for each processor version), and the BC4, BC5 and BC3-green block decoders.
#include "BlockCompress.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "BlockRows.h"
#include "BlockSearch.h"
#include "BwVector.h"

namespace {

// Every value a BC4 palette entry can take, for each kind: entry = numerator / denominator
// (the denominator 1, 5 or 7, the numerator a whole number from the endpoints), mapped to
// [-1, 1]. Worked out once with the same divisions a block would make, so that decoding a block
// is table lookups rather than two divisions an entry.
constexpr int kUnormLargest = 7 * 255, kSnormLargest = 7 * 127;
constexpr int kDenominators[3] = {1, 5, 7};

struct Bc4Values {
  float unorm[3][kUnormLargest + 1];
  float snorm[3][2 * kSnormLargest + 1];  // numerator n at n + kSnormLargest

  Bc4Values() {
    for (int d = 0; d < 3; ++d) {
      for (int n = 0; n <= kUnormLargest; ++n)
        unorm[d][n] = float(n) / float(kDenominators[d]) / 255.0f * 2.0f - 1.0f;
      for (int n = -kSnormLargest; n <= kSnormLargest; ++n)
        snorm[d][n + kSnormLargest] = float(n) / float(kDenominators[d]) / 127.0f;
    }
  }
};

const Bc4Values& Bc4ValueTable() {
  static const Bc4Values table;
  return table;
}

}  // namespace

void BwDecodeBc4Block(const unsigned char in[8], BwBc4Kind kind, float values[16]) {
  // The six-value mode's two fixed entries: the ends of the range.
  const bool unorm = kind == BwBc4Kind::UNORM;
  const int minCode = unorm ? 0 : -127, maxCode = unorm ? 255 : 127;
  int e0 = in[0], e1 = in[1];
  if (kind == BwBc4Kind::SNORM) {
    e0 = e0 >= 128 ? std::max(e0 - 256, -127) : e0;
    e1 = e1 >= 128 ? std::max(e1 - 256, -127) : e1;
  }
  // Entry i is a whole-number numerator over 1, 5 or 7: in the eight-value mode (e0 > e1) the
  // sevenths between the endpoints, else the fifths between them and the ends of the range.
  const Bc4Values& table = Bc4ValueTable();
  const int offset = unorm ? 0 : kSnormLargest;
  const float* const ones = (unorm ? table.unorm[0] : table.snorm[0]) + offset;
  const float* const fifths = (unorm ? table.unorm[1] : table.snorm[1]) + offset;
  const float* const sevenths = (unorm ? table.unorm[2] : table.snorm[2]) + offset;
  float palette[8];
  palette[0] = ones[e0];
  palette[1] = ones[e1];
  if (e0 > e1) {
    for (int i = 2; i < 8; ++i) palette[i] = sevenths[(8 - i) * e0 + (i - 1) * e1];
  } else {
    for (int i = 2; i < 6; ++i) palette[i] = fifths[(6 - i) * e0 + (i - 1) * e1];
    palette[6] = ones[minCode];
    palette[7] = ones[maxCode];
  }
  // The 48 bits of indices, little-endian after the endpoints: one load where the machine is
  // little-endian as well.
  uint64_t bits = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(&bits, in, 8);
#else
  for (int i = 0; i < 8; ++i) bits |= uint64_t(in[i]) << (8 * i);
#endif
  bits >>= 16;
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
