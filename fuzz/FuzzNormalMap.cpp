// Fuzz target: the normal-map loader from file bytes to a normal image, a job's failures caught.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FuzzTargaTooLarge(data, size)) return 0;
  BwInputTexels texels;
  BwArray<float> normals;
  if (!FuzzLoad(data, size, &texels, BwReadNormalMapTexels) || !BwDecodeNormalImage(texels, &normals)) return 0;
  const int width = texels.width, height = texels.height;
  // Every texel is a unit vector or the empty texel (0, 0, 0).
  const int64_t count = int64_t(width) * height;
  for (int64_t i = 0; i < count; ++i) {
    const float* n = normals.get() + i * 3;
    const double len2 = double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2];
    if (!(len2 == 0.0 || std::fabs(len2 - 1.0) < 1e-5)) std::abort();
  }
  return 0;
}
