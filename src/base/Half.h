// IEEE half-precision conversions, for OpenEXR samples and for what a half reads back as.
#pragma once

#include <cstdint>

// An IEEE half-precision value nearest to f (ties to even); infinities and values beyond the
// half range become infinities, a NaN stays a NaN.
uint16_t BwFloatToHalf(float f);

// An IEEE half-precision value as float; every half is exactly a float.
float BwHalfToFloat(uint16_t h);
