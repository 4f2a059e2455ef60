// Fuzz target: the TIFF reader on the input bytes, from memory, from a file and from a stream
// that cannot seek. A file it accepts must have a size within the limits and every texel byte
// readable, and give the same texels from a stream (a few kilobytes are within what a stream may
// hold); messages are one line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "TiffIO.h"

static volatile unsigned gFuzzSink;

static void Check(bool ok, const BwDecodedImage& image, const std::string& error) {
  if (!ok) {
    if (error.rfind("TIFF: ", 0) != 0 || error.find('\n') != std::string::npos) std::abort();
    return;
  }
  if (image.width < 1 || image.height < 1 || image.width > 65535 || image.height > 65535 || !image.data ||
      image.channels < 1 || image.channels > 4 || (image.bits != 8 && image.bits != 16))
    std::abort();
  unsigned sum = 0;
  for (uint64_t i = 0; i < image.ByteCount(); ++i) sum += image.data[i];
  gFuzzSink = sum;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Refuse what a target should not decode: many texels announced by a few bytes of a
  // compression that expands far.
  int width = 0, height = 0, texelBytes = 0;
  if (BwProbeTiffMemory(data, size, &width, &height, &texelBytes) && uint64_t(width) * uint64_t(height) > FUZZ_MAX_TEXELS)
    return 0;
  BwDecodedImage image;
  std::string error;
  Check(BwReadTiffMemory(data, size, &image, &error), image, error);
  FILE* fp = std::fopen(FuzzInputFile(data, size), "rb");
  if (!fp) return 0;
  BwDecodedImage fromFile;
  std::string fileError;
  Check(BwReadTiff(fp, &fromFile, &fileError), fromFile, fileError);
  std::fclose(fp);
  const size_t head = 12;  // the bytes the loader reads to recognise a file
  if (size <= head) return 0;
  FILE* pipe = fmemopen(const_cast<uint8_t*>(data + head), size - head, "rb");
  if (!pipe) return 0;
  BwDecodedImage piped;
  std::string pipedError;
  const bool pipedOk = BwReadTiffStream(pipe, data, head, &piped, &pipedError);
  std::fclose(pipe);
  Check(pipedOk, piped, pipedError);
  if (image.data && (!pipedOk || piped.width != image.width || piped.ByteCount() != image.ByteCount() ||
                     std::memcmp(piped.data.get(), image.data.get(), image.ByteCount()) != 0))
    std::abort();
  return 0;
}
