// EAC RG11 image encoder from float normals (the block search is in EacSearch.inc, compiled in a
// file for each processor version), and the R11 block decoder.
#include "EacCompress.h"

#include <algorithm>
#include <cstdint>

#include "EacSearch.h"
#include "Parallel.h"

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
  const int64_t blocksWide = (width + 3) / 4;
  const int64_t blockRows = (height + 3) / 4;
  // About 256 blocks a task at least, so that small mip levels stay on one thread.
  const int64_t grain = std::max<int64_t>(1, 256 / blocksWide);
  // Block rows are handed out one at a time: their search time varies with the picture.
  BwParallelForEach(blockRows, grain, [=](int64_t band) {
    const float* rows[4];
    const int rowCount = int(std::min<int64_t>(4, height - 4 * band));
    for (int r = 0; r < rowCount; ++r) {
      const int64_t pictureRow = 4 * band + r;
      rows[r] = image + (height - 1 - pictureRow) * int64_t(width) * numComponents;
    }
    EncodeEacRows(version, rows, rowCount, width, numComponents, isSigned, out + band * blocksWide * 16);
  });
}
