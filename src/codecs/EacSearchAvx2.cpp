// The EAC search in its AVX2 version (this file is compiled with -mavx2): candidates scored eight
// lanes at a time.
#include "EacSearch.inc"

void BwEncodeEacBandAvx2(const float* const* rows, int rowCount, int width, int numComponents, bool isSigned,
                         unsigned char* out) {
  EncodeEacBand<Float8>(rows, rowCount, width, numComponents, isSigned, out);
}
