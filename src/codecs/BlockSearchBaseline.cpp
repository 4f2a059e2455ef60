// The block search in its baseline version: pairs scored four lanes at a time. Single BC4
// blocks are encoded here too.
#include "BlockSearch.inc"

void BwEncodeBc4Block(const float values[16], BwBc4Kind kind, unsigned char out[8]) {
  static constexpr float EVEN[TEXELS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  const float* weights = EVEN;
  EncodeBc4<Float4, 1, false>(&values, &weights, kind, &out);
}

void BwEncodeBc5BandBaseline(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                             unsigned char* out) {
  EncodeBc5Band<Float4, false>(rows, rowCount, width, numComponents, kind, out);
}

void BwEncodeBc3nBandBaseline(const float* const* rows, int rowCount, int width, int numComponents,
                              unsigned char* out) {
  EncodeBc3nBand<Float4, false>(rows, rowCount, width, numComponents, out);
}
