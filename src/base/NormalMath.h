// Inline kernels of the vector math, shared by the filters, the loaders and the merge so that
// the hot loops need no call per texel. Every operation keeps its precision and its order:
// doubles in normalisation, floats in the rotation, with the grouping written here.
#pragma once

#include <cmath>

// The double 1e-7: shorter vectors have no direction; smaller components count as zero.
constexpr double BW_TINY = 1e-7;

// Unit length in double precision; a vector shorter than 1e-7 becomes (1, 0, 0).
inline void BwNormalize(double* v) {
  const double len = std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
  if (len < BW_TINY) {
    v[0] = 1.0;
    v[1] = 0.0;
    v[2] = 0.0;
    return;
  }
  v[0] /= len;
  v[1] /= len;
  v[2] /= len;
}

// True when some of the first three components has a magnitude above 1e-7.
inline bool BwIsFilled(const float* t) {
  return std::fabs(double(t[0])) > BW_TINY || std::fabs(double(t[1])) > BW_TINY ||
         std::fabs(double(t[2])) > BW_TINY;
}

// The x and y a two-component layout stores for the normal n (numComponents floats): a reader
// rebuilds z as +sqrt(1 - x^2 - y^2), so a normal below the horizon (z < 0) is stored as the
// nearest direction a reader can get back, its projection onto the horizon, (x, y) at unit
// length; storing its own x and y would turn it into its mirror image above the horizon.
inline void BwTwoComponentTarget(const float* n, int numComponents, float* x, float* y) {
  *x = n[0], *y = n[1];
  if (numComponents < 3 || !(n[2] < 0.0f)) return;
  const float length = std::sqrt(n[0] * n[0] + n[1] * n[1]);
  if (length > 0.0f) *x = n[0] / length, *y = n[1] / length;
}

// The rotation e I + [v]x + h v v^T, h = 1 / (1 + e), for the cross product v and the dot
// product e of two unit vectors that are not nearly parallel or opposite; row-major.
inline void BwGeneralRotation(float e, float vx, float vy, float vz, float* mtx) {
  const float h = 1.0f / (1.0f + e);
  const float hvx = h * vx;
  const float hvz = h * vz;
  const float hvxy = hvx * vy;
  const float hvxz = hvx * vz;
  const float hvyz = hvz * vy;
  mtx[0] = e + hvx * vx;
  mtx[1] = hvxy - vz;
  mtx[2] = hvxz + vy;
  mtx[3] = hvxy + vz;
  mtx[4] = e + (h * vy) * vy;
  mtx[5] = hvyz - vx;
  mtx[6] = hvxz - vy;
  mtx[7] = hvyz + vx;
  mtx[8] = e + hvz * vz;
}

// Rotation carrying unit `from` onto unit `to` (Moller and Hughes 1999), row-major, all in
// single precision. Nearly parallel or opposite vectors use two Householder reflections
// through the coordinate axis along which `from` is smallest.
inline void BwFromToRotation(const float* from, const float* to, float* mtx) {
  const float vx = from[1] * to[2] - from[2] * to[1];
  const float vy = from[2] * to[0] - from[0] * to[2];
  const float vz = from[0] * to[1] - from[1] * to[0];
  const float e = (from[0] * to[0] + from[1] * to[1]) + from[2] * to[2];
  const float f = e < 0.0f ? -e : e;

  // The threshold is compared in double: f >= 0.99999994f takes this branch, 0.99999988f not.
  if (double(f) > 0.9999999) {
    const float ax = from[0] > 0.0f ? from[0] : -from[0];
    const float ay = from[1] > 0.0f ? from[1] : -from[1];
    const float az = from[2] > 0.0f ? from[2] : -from[2];
    float x[3] = {0.0f, 0.0f, 0.0f};
    if (ax < ay) {
      if (ax < az) x[0] = 1.0f; else x[2] = 1.0f;
    } else {
      if (ay < az) x[1] = 1.0f; else x[2] = 1.0f;
    }
    const float u[3] = {x[0] - from[0], x[1] - from[1], x[2] - from[2]};
    const float v[3] = {x[0] - to[0], x[1] - to[1], x[2] - to[2]};
    const float c1 = 2.0f / ((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
    const float c2 = 2.0f / ((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
    const float c3 = (c1 * c2) * ((u[0] * v[0] + u[1] * v[1]) + u[2] * v[2]);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j)
        mtx[i * 3 + j] = ((-c1 * u[i]) * u[j] - (c2 * v[i]) * v[j]) + (c3 * v[i]) * u[j];
      mtx[i * 3 + i] += 1.0f;
    }
    return;
  }

  BwGeneralRotation(e, vx, vy, vz, mtx);
}
