// Fuzz target: the OpenEXR reader on the input bytes, from memory with the default height
// channel, from a file with the channel "R", and from memory as normals (R, G, B, and 0 to 1
// values). Every sample read is touched so that the address sanitizer catches a short buffer;
// normals must be finite; messages are one line.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ExrIO.h"
#include "FuzzSupport.h"

static volatile float gFuzzSink;

static void Check(bool ok, const BwExrImage& image, const std::string& error, bool normals) {
  if (ok) {
    const bool channelsKnown = normals ? image.channels == 3 || image.channels == 4 : image.channels == 1;
    if (image.width < 1 || image.height < 1 || !image.samples || !channelsKnown)
      std::abort();
    float sum = 0.0f;
    const uint64_t count = uint64_t(image.width) * uint64_t(image.height) * uint64_t(image.channels);
    for (uint64_t i = 0; i < count; ++i) {
      if (normals && i % uint64_t(image.channels) < 3 && !std::isfinite(image.samples[i])) std::abort();
      sum += image.samples[i];
    }
    gFuzzSink = sum;
  } else if (error.rfind("EXR: ", 0) != 0 || error.find('\n') != std::string::npos) {
    std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BwExrImage image;
  std::string error;
  Check(BwReadExrMemory(data, size, nullptr, &image, &error), image, error, false);
  BwExrImage named;
  std::string namedError;
  Check(BwReadExr(FuzzInputFile(data, size), "R", &named, &namedError), named, namedError, false);
  BwExrRequest request;
  request.normals = true;
  request.unorm = size % 2 == 1;
  BwExrImage normals;
  std::string normalsError;
  Check(BwReadExrMemory(data, size, request, &normals, &normalsError), normals, normalsError, true);
  return 0;
}
