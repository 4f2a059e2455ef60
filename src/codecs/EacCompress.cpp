// EAC RG11 image encoder from float normals (the block search is in EacSearch.inc, compiled in a
// file for each processor version), and the R11 block decoder.
#include "EacCompress.h"

#include <algorithm>
#include <cstdint>

#include "BlockRows.h"
#include "EacSearch.h"

void BwDecodeEacR11Block(const unsigned char in[8], bool isSigned, float values[16]) {
  int base = in[0];
  if (isSigned) base = base >= 128 ? std::max(base - 256, -127) : base;
  const int multiplier = in[1] >> 4;
  const int8_t* modifiers = BW_EAC_MODIFIERS[in[1] & 0xF];
  const int m = multiplier == 0 ? 1 : 8 * multiplier;
  uint64_t bits = 0;
  for (int i = 2; i < 8; ++i) bits = bits << 8 | in[i];
  for (int n = 0; n < 16; ++n) {
    const int modifier = modifiers[(bits >> (45 - 3 * n)) & 7u];
    const int column = n / 4, row = n % 4;
    float& value = values[4 * row + column];
    if (isSigned) value = float(std::clamp(8 * base + modifier * m, -1023, 1023)) / 1023.0f;
    else value = float(std::clamp(8 * base + 4 + modifier * m, 0, 2047)) / 2047.0f * 2.0f - 1.0f;
  }
}

namespace {

// One band of RG11 blocks in the given version.
void EncodeEacRows(BwVectorVersion version, const float* const* rows, int rowCount, int width, int numComponents,
                   bool isSigned, unsigned char* out) {
#ifdef BW_HAS_VECTOR_CLONES
  if (version == BwVectorVersion::AVX512)
    return BwEncodeEacBandAvx512(rows, rowCount, width, numComponents, isSigned, out);
  if (version == BwVectorVersion::AVX2) return BwEncodeEacBandAvx2(rows, rowCount, width, numComponents, isSigned, out);
#endif
  (void)version;
  BwEncodeEacBandBaseline(rows, rowCount, width, numComponents, isSigned, out);
}

}  // namespace

void BwEncodeEacRg11Image(const float* image, int width, int height, int numComponents, bool isSigned,
                          unsigned char* out, BwVectorVersion version) {
  BwEncodeBlockRows(image, width, height, numComponents, out, [=](const float* const* rows, int rowCount,
                                                                    unsigned char* bandOut) {
    EncodeEacRows(version, rows, rowCount, width, numComponents, isSigned, bandOut);
  });
}
