// The block search in its AVX-512 version (this file is compiled for x86-64-v4): pairs scored
// sixteen lanes at a time, eight of each of two blocks; four blocks' ranges refined at once; four
// BC5 blocks searched together.
#include "BlockSearch.inc"

void BwEncodeBc5BandAvx512(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                           unsigned char* out) {
  EncodeBc5Band<Float8, true>(rows, rowCount, width, numComponents, kind, out);
}

void BwEncodeBc3nBandAvx512(const float* const* rows, int rowCount, int width, int numComponents, unsigned char* out) {
  EncodeBc3nBand<Float8, true>(rows, rowCount, width, numComponents, out);
}
