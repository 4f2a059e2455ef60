// The EAC search in its AVX-512 version (this file is compiled for x86-64-v4): the sixteen
// candidates of a round scored in one vector.
#include "EacSearch.inc"

void BwEncodeEacBandAvx512(const float* const* rows, int rowCount, int width, int numComponents, bool isSigned,
                           unsigned char* out) {
  EncodeEacBand<Float16>(rows, rowCount, width, numComponents, isSigned, out);
}
