// Vector normalisation and the rotation that carries one unit vector onto another.
#include <cmath>

#include "Bumpweld.h"
#include "NormalMath.h"

void Normalize(double* v) {
  if (!v) {
    BwErrorLog("ERROR: NULL pointer passed to Normalize!\n");
    BwFatalExit();
  }
  BwNormalize(v);
}

void fromToRotation(const float* from, const float* to, float* mtx) {
  BwFromToRotation(from, to, mtx);
}
