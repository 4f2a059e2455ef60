// The EAC search in its baseline version: candidates scored four lanes at a time.
#include "EacSearch.inc"

void BwEncodeEacBandBaseline(const float* const* rows, int rowCount, int width, int numComponents, bool isSigned,
                             unsigned char* out) {
  EncodeEacBand<Float4>(rows, rowCount, width, numComponents, isSigned, out);
}
