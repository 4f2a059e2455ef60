// Fuzz target: the DDS reader on the input bytes through an in-memory stream. A file it accepts
// must have a size within the limits and finite normals in [-1, 1] for every texel.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "DdsKtx.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // DDS_HEADER height at byte 12, width at 16 (32-bit): refuse what a target should not decode.
  if (size >= 20) {
    const uint64_t height = data[12] | uint64_t(data[13]) << 8 | uint64_t(data[14]) << 16 | uint64_t(data[15]) << 24;
    const uint64_t width = data[16] | uint64_t(data[17]) << 8 | uint64_t(data[18]) << 16 | uint64_t(data[19]) << 24;
    if (width * height > FUZZ_MAX_TEXELS) return 0;
  }
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  BwDdsImage image;
  std::string error;
  const bool ok = BwReadDds(stream, &image, &error);
  std::fclose(stream);
  if (!ok) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (image.width < 1 || image.height < 1 || image.width > 65535 || image.height > 65535 || !image.normals)
    std::abort();
  const uint64_t floats = uint64_t(image.width) * uint64_t(image.height) * 3;
  for (uint64_t i = 0; i < floats; ++i) {
    const float v = image.normals[i];
    if (!(v >= -1.0f && v <= 1.0f)) std::abort();
  }
  return 0;
}
