// Fuzz target: ReadNormalMap from file bytes to a normal image, fatal errors caught.
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
  int width = 0, height = 0, numComponents = 3;
  BwArray<float> normals;
  try {
    ReadNormalMap(name, &width, &height, &numComponents, &normals);
  } catch (const BwFatalError&) {
    return 0;
  }
  if (numComponents != 3) std::abort();
  // Every texel is a unit vector or the empty texel (0, 0, 0).
  const int64_t count = int64_t(width) * height;
  for (int64_t i = 0; i < count; ++i) {
    const float* n = normals.get() + i * 3;
    const double len2 = double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2];
    if (!(len2 == 0.0 || std::fabs(len2 - 1.0) < 1e-5)) std::abort();
  }
  return 0;
}
