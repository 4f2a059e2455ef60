// Fuzz target: the .astc reader on the input bytes through an in-memory stream. A file it accepts
// must have a size within the limits and finite normals in [-1, 1] for every texel.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "AstcFile.h"
#include "Containers.h"
#include "DdsKtx.h"
#include "ImageProbe.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Refuse what a target should not decode: the size the header claims, read by the table's probe.
  BwImageProbe probe;
  if (BwContainerRowOf(BwContainerId::ASTC).probe(data, size, size, &probe) &&
      uint64_t(probe.width) * uint64_t(probe.height) > FUZZ_MAX_TEXELS)
    return 0;
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  BwDdsImage image;
  std::string error;
  const bool ok = BwReadAstc(stream, &image, &error);
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
