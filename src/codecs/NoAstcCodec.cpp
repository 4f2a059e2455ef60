// The ASTC codec of a build without Arm's astcenc library (the WebAssembly module): the same
// names and sizes, and every encode or decode refused with a message.
#include "AstcCodec.h"

namespace {

constexpr char kMissing[] = "this build has no ASTC codec (it is built without the astcenc library)";

}  // namespace

BwAstcEncoder::~BwAstcEncoder() = default;

bool BwAstcEncoder::Encode(const float*, int, int, int, int, int, int, unsigned char*, std::string* error) {
  if (error) *error = kMissing;
  return false;
}

bool BwEncodeAstcImage(const float*, int, int, int, int, int, int, unsigned char*, std::string* error) {
  if (error) *error = kMissing;
  return false;
}

bool BwDecodeAstcImage(const unsigned char*, int, int, int, int, float*, std::string* error) {
  if (error) *error = kMissing;
  return false;
}
