// Fuzz target: the OpenEXR height reader on the input bytes, from memory with the default
// channel choice and from a file with the channel "R". Every height read is touched so that
// the address sanitizer catches a short buffer; messages are one line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ExrIO.h"
#include "FuzzSupport.h"

static volatile float gFuzzSink;

static void Check(bool ok, const BwHeightImage& image, const std::string& error) {
  if (ok) {
    if (image.width < 1 || image.height < 1 || !image.heights) std::abort();
    float sum = 0.0f;
    for (uint64_t i = 0; i < uint64_t(image.width) * uint64_t(image.height); ++i) sum += image.heights[i];
    gFuzzSink = sum;
  } else if (error.rfind("EXR: ", 0) != 0 || error.find('\n') != std::string::npos) {
    std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BwHeightImage image;
  std::string error;
  Check(BwReadExrMemory(data, size, nullptr, &image, &error), image, error);
  BwHeightImage named;
  std::string namedError;
  Check(BwReadExr(FuzzInputFile(data, size), "R", &named, &namedError), named, namedError);
  return 0;
}
