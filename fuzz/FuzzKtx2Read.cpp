// Fuzz target: the KTX2 reader on the input bytes through an in-memory stream. A file it accepts
// must have a size within the limits and finite normals in [-1, 1] for every texel.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "DdsKtx.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Width at byte 20, height at 24 (32-bit): refuse what a target should not decode.
  if (size >= 28) {
    const uint64_t width = data[20] | uint64_t(data[21]) << 8 | uint64_t(data[22]) << 16 | uint64_t(data[23]) << 24;
    const uint64_t height = data[24] | uint64_t(data[25]) << 8 | uint64_t(data[26]) << 16 | uint64_t(data[27]) << 24;
    if (width * height > FUZZ_MAX_TEXELS) return 0;
  }
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  BwDdsImage image;
  std::string error;
  const bool ok = BwReadKtx2(stream, &image, &error);
  std::fclose(stream);
  if (!ok) {
    if (error.empty() || error.find('\n') != std::string::npos) std::abort();
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
