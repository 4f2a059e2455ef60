// The block search in its AVX2 version (this file is compiled with -mavx2): pairs scored eight
// lanes at a time.
#include "BlockSearch.inc"

void BwEncodeBc5BandAvx2(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                         unsigned char* out) {
  EncodeBc5Band<Float8, false>(rows, rowCount, width, numComponents, kind, out);
}

void BwEncodeBc3nBandAvx2(const float* const* rows, int rowCount, int width, int numComponents, unsigned char* out) {
  EncodeBc3nBand<Float8, false>(rows, rowCount, width, numComponents, out);
}
