// IEEE half-precision conversions.
#include "Half.h"

#include <cstring>

uint16_t BwFloatToHalf(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  const uint32_t sign = (x >> 16) & 0x8000u, magnitude = x & 0x7FFFFFFFu;
  if (magnitude >= 0x7F800000u)  // infinity, or a NaN that keeps its top payload bits (and is one)
    return uint16_t(sign | 0x7C00u | (magnitude > 0x7F800000u ? 0x200u | ((magnitude >> 13) & 0x3FFu) : 0u));
  if (magnitude >= 0x477FF000u) return uint16_t(sign | 0x7C00u);  // 65520 and above round to infinity
  if (magnitude < 0x38800000u) {
    // Below 2^-14: a subnormal half, mantissa * 2^(exponent - 150) in units of 2^-24.
    if (magnitude < 0x33000000u) return uint16_t(sign);  // at most 2^-25: rounds to 0
    const uint32_t shift = 126u - (magnitude >> 23), mantissa = (magnitude & 0x7FFFFFu) | 0x800000u;
    uint32_t r = mantissa >> shift;
    const uint32_t rest = mantissa & ((1u << shift) - 1u), halfway = 1u << (shift - 1u);
    if (rest > halfway || (rest == halfway && (r & 1u))) ++r;
    return uint16_t(sign | r);
  }
  // Rebias the exponent (127 to 15) and round the 13 dropped bits to even; a carry into the
  // exponent is the right result, up to infinity.
  const uint32_t rebased = magnitude - 0x38000000u;
  return uint16_t(sign | ((rebased + 0xFFFu + ((rebased >> 13) & 1u)) >> 13));
}

float BwHalfToFloat(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000) << 16;
  const uint32_t exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF;
  uint32_t bits;
  if (exponent == 0) {
    const float magnitude = float(mantissa) * (1.0f / 16777216.0f);  // mantissa * 2^-24, exact
    std::memcpy(&bits, &magnitude, 4);
    bits |= sign;
  } else if (exponent == 31) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float out;
  std::memcpy(&out, &bits, 4);
  return out;
}
