// Fuzz target: GetBumpMapFromHeightMap from file bytes to a normal image, fatal errors caught.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "Bumpweld.h"
#include "Job.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gQuiet = 2;
  if (FuzzTargaTooLarge(data, size)) return 0;
  const char* name = FuzzInputFile(data, size);
  int width = 0, height = 0;
  BwArray<float> normals;
  try {
    GetBumpMapFromHeightMap(name, &width, &height, &normals, 2.5f);
  } catch (const BwFatalError&) {
    return 0;
  }
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
