// Fuzz target: ZelRead3DKEPImageFile on a file holding the input bytes.
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "KepFileIO.h"

static volatile unsigned gFuzzSink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FuzzAnnouncedTexels(data, size, 0) > FUZZ_MAX_TEXELS) return 0;
  ZelBitmap bmp = {};
  const bool ok = ZelRead3DKEPImageFile(&bmp, FuzzInputFile(data, size));
  if (ok) {
    if (!bmp.pixels) std::abort();
    // Every announced texel byte must be there; the address sanitizer checks each read.
    const uint64_t bytes = uint64_t(bmp.width) * bmp.height * (bmp.bitDepth / 8u);
    unsigned sum = 0;
    for (uint64_t i = 0; i < bytes; ++i) sum += bmp.pixels[i];
    gFuzzSink = sum;
  }
  // The reader may have allocated the block before it failed; the caller frees it either way.
  delete[] bmp.pixels;
  return 0;
}
