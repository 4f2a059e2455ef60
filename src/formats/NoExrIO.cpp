// OpenEXR in a build without the OpenEXR library (the WebAssembly module): files are told apart
// by their magic number and refused with a message saying why.
#include <algorithm>
#include <cstring>

#include "ExrIO.h"

namespace {

const unsigned char kMagic[BW_EXR_MAGIC_BYTES] = {0x76, 0x2f, 0x31, 0x01};

bool Unsupported(std::string* error) {
  if (error) *error = "OpenEXR files are not supported in this build";
  return false;
}

}  // namespace

struct BwExrWriter::State {};

bool BwIsExr(const unsigned char* head, size_t n) {
  return n >= BW_EXR_MAGIC_BYTES && std::memcmp(head, kMagic, BW_EXR_MAGIC_BYTES) == 0;
}

bool BwReadExr(const char*, const BwExrRequest&, BwExrImage*, std::string* error) { return Unsupported(error); }
bool BwReadExrFile(FILE*, const BwExrRequest&, BwExrImage*, std::string* error) { return Unsupported(error); }
bool BwReadExrStream(FILE*, const unsigned char*, size_t, const BwExrRequest&, BwExrImage*, std::string* error) {
  return Unsupported(error);
}
bool BwReadExrMemory(const unsigned char*, size_t, const BwExrRequest&, BwExrImage*, std::string* error) {
  return Unsupported(error);
}

int BwExrLevelCount(int width, int height) {
  int levels = 1;
  for (int side = std::max(width, height); side > 1; side >>= 1) ++levels;
  return levels;
}

BwExrWriter::BwExrWriter() = default;
BwExrWriter::~BwExrWriter() = default;
bool BwExrWriter::Begin(FILE*, int, int, int, bool, std::string* error) { return Unsupported(error); }
bool BwExrWriter::WriteRows(int, const float*, int64_t, std::string* error) { return Unsupported(error); }
bool BwExrWriter::End(std::string* error) { return Unsupported(error); }

bool BwProbeExr(const unsigned char*, size_t, uint64_t, BwImageProbe*) { return false; }
