// Fuzz target: the height-map loader from file bytes to a normal image, a job's failures caught.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FuzzTargaTooLarge(data, size)) return 0;
  BwInputTexels texels;
  const auto field = std::make_unique<BwHeightField>();
  BwArray<float> normals;
  const auto read = [&](BwRun& run, const BwInput& input, BwInputTexels* t) { BwReadHeightField(run, input, t, 2.5f, field.get()); };
  if (!FuzzLoad(data, size, &texels, read) || !BwHeightNormalImage(*field, &normals)) return 0;
  const int width = texels.width, height = texels.height;
  // The Sobel normal starts with z = 1 before normalising: every texel is a unit vector
  // pointing up.
  const int64_t count = int64_t(width) * height;
  for (int64_t i = 0; i < count; ++i) {
    const float* n = normals.get() + i * 3;
    const double len2 = double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2];
    if (!(n[2] > 0.0f && std::fabs(len2 - 1.0) < 1e-5)) std::abort();
  }
  return 0;
}
