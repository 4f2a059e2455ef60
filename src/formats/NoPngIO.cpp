// PNG in a build without libspng and zlib (the WebAssembly module): PNG files are still told
// apart from Targa ones by their signature, then refused with a message saying why, so that a
// PNG is never misread as something else.
#include <cstring>

#include "PngIO.h"
#include "PngWriter.h"

namespace {

const unsigned char kSignature[BW_PNG_SIGNATURE_BYTES] = {137, 80, 78, 71, 13, 10, 26, 10};

bool Unsupported(std::string* error) {
  if (error) *error = "PNG files are not supported in this build";
  return false;
}

}  // namespace

bool BwIsPng(const unsigned char* head, size_t n) {
  return n >= BW_PNG_SIGNATURE_BYTES && std::memcmp(head, kSignature, BW_PNG_SIGNATURE_BYTES) == 0;
}

bool BwReadPngMemory(const unsigned char*, size_t, BwDecodedImage*, std::string* error) { return Unsupported(error); }
bool BwReadPng(FILE*, BwDecodedImage*, std::string* error) { return Unsupported(error); }
bool BwReadPngStream(FILE*, const unsigned char*, size_t, BwDecodedImage*, std::string* error) {
  return Unsupported(error);
}

bool BwPngWriter::Begin(FILE*, int, int, int, int, std::string* error) { return Unsupported(error); }
bool BwPngWriter::WriteRows(const void*, int64_t, std::string* error) { return Unsupported(error); }
bool BwPngWriter::End(std::string* error) { return Unsupported(error); }

bool BwProbePng(const unsigned char*, size_t, uint64_t, BwImageProbe*) { return false; }
