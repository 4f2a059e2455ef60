// Component conversions of the output encoders. Every float-to-integer step truncates toward
// zero to a 32-bit integer, and keeps the low bits of the target width, without rounding or
// clamping. A value that is not a number or lies outside the 32-bit range converts as -2^31.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

inline int32_t BwTruncToInt32(double t) {
  const bool inRange = (t > -2147483649.0) & (t < 2147483648.0);  // no branch: vectorises
  return inRange ? int32_t(t) : INT32_MIN;
}

// Low 8 bits of the truncated value.
inline unsigned char BwT8(double t) { return static_cast<unsigned char>(uint32_t(BwTruncToInt32(t)) & 0xFFu); }

// Unit component to a byte: -1 -> 0, 0 -> 127, 1 -> 255.
inline unsigned char BwQ8(float v) { return BwT8(double(v) * 127.5 + 127.5); }

// Signed 16-bit, no bias: -1 -> -32767, 1 -> 32767.
inline int16_t BwS16(float v) {
  return static_cast<int16_t>(static_cast<uint16_t>(uint32_t(BwTruncToInt32(double(v) * 32767.5))));
}

// 10-bit field: the single-precision product v * 511 truncated, plus 511: -1 -> 0, 1 -> 1022.
inline uint32_t BwQ10(float v) {
  const float product = v * 511.0f;
  return (uint32_t(BwTruncToInt32(double(product))) + 511u) & 0x3FFu;
}

// Unsigned 16-bit with bias: -1 -> 0, 0 -> 32767, 1 -> 65535.
inline uint16_t BwU16(float v) {
  return static_cast<uint16_t>(uint32_t(BwTruncToInt32(double(v) * 32767.5 + 32767.5)));
}

// Narrows a double to float as the hardware rounds, with no undefined behaviour for values
// beyond the float range (they become infinities or the largest float).
inline float BwNarrowToFloat(double d) {
  const double magnitude = std::fabs(d);
  if (std::isnan(d) || magnitude <= double(FLT_MAX)) return float(d);
  // Halfway between FLT_MAX and 2^128 rounds to even, which is the infinity.
  const float big = magnitude < 0x1.ffffffp127 ? FLT_MAX : HUGE_VALF;
  return d < 0 ? -big : big;
}

// The nearest whole number to t, clamped to [low, high]; NaN gives low.
inline int32_t BwRoundClamped(double t, double low, double high) {
  const double r = std::floor(t + 0.5);
  return int32_t(r >= low ? (r <= high ? r : high) : low);
}

// The conversions above rounded to nearest and clamped to their range instead of truncated.
inline unsigned char BwQ8Rounded(float v) {
  return static_cast<unsigned char>(BwRoundClamped(double(v) * 127.5 + 127.5, 0.0, 255.0));
}
inline int16_t BwS16Rounded(float v) {
  return static_cast<int16_t>(BwRoundClamped(double(v) * 32767.5, -32767.0, 32767.0));
}
inline uint32_t BwQ10Rounded(float v) {
  const float product = v * 511.0f;
  return (uint32_t(BwRoundClamped(double(product), -511.0, 511.0)) + 511u) & 0x3FFu;
}
inline uint16_t BwU16Rounded(float v) {
  return static_cast<uint16_t>(BwRoundClamped(double(v) * 32767.5 + 32767.5, 0.0, 65535.0));
}
