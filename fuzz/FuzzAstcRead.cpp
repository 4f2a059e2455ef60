// Fuzz target: the .astc reader on the input bytes (see FuzzGpuRead).
#include "AstcFile.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzGpuRead(data, size, BwContainerId::ASTC, BwReadAstc);
}
