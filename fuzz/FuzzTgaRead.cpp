// Fuzz target: the Targa reader's two entry points on the input bytes, TGAReadImage through an
// in-memory stream and TGAReadTexels on a file (mapped where it can be). When both succeed they
// must agree on the size, the depth and every texel byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "TGAIO.h"

static volatile unsigned gFuzzSink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || FuzzTargaTooLarge(data, size)) return 0;

  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  int width = -1, height = -1, bitDepth = -1;
  BwArray<unsigned char> texels;
  const bool streamOk = TGAReadImage(stream, &width, &height, &bitDepth, &texels);
  std::fclose(stream);
  // 16-bit sizes and an 8-bit depth: no overflow in 64 bits.
  const uint64_t bytes = uint64_t(width) * uint64_t(height) * uint64_t(bitDepth / 8);
  if (streamOk) {
    if (width < 0 || height < 0 || bitDepth < 0 || !texels) std::abort();
    // Reading every announced byte lets the address sanitizer catch a short block.
    unsigned sum = 0;
    for (uint64_t i = 0; i < bytes; ++i) sum += texels[i];
    gFuzzSink = sum;
  }

  FILE* file = std::fopen(FuzzInputFile(data, size), "rb");
  if (!file) std::abort();
  int fileWidth = -1, fileHeight = -1, fileBitDepth = -1;
  TGATexels fileTexels;
  const bool fileOk = TGAReadTexels(file, &fileWidth, &fileHeight, &fileBitDepth, &fileTexels);
  std::fclose(file);
  if (fileOk && !fileTexels.data) std::abort();
  if (streamOk && fileOk &&
      (fileWidth != width || fileHeight != height || fileBitDepth != bitDepth ||
       (bytes > 0 && std::memcmp(fileTexels.data, texels.get(), bytes) != 0)))
    std::abort();
  return 0;
}
