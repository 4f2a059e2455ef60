#include "BwVector.h"

bool BwVectorVersionRuns(BwVectorVersion version) {
  switch (version) {
    case BwVectorVersion::BASELINE:
      return true;
#ifdef BW_HAS_VECTOR_CLONES
    // What the versions are compiled for: -mavx2 and -march=x86-64-v4.
    case BwVectorVersion::AVX2:
      return __builtin_cpu_supports("avx2");
    case BwVectorVersion::AVX512:
      return __builtin_cpu_supports("x86-64-v4");
#endif
    default:
      return false;
  }
}

BwVectorVersion BwFastestVectorVersion() {
  static const BwVectorVersion fastest = BwVectorVersionRuns(BwVectorVersion::AVX512) ? BwVectorVersion::AVX512
                                         : BwVectorVersionRuns(BwVectorVersion::AVX2)   ? BwVectorVersion::AVX2
                                                                                        : BwVectorVersion::BASELINE;
  return fastest;
}
