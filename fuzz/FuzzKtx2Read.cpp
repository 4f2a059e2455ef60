// Fuzz target: the KTX2 reader on the input bytes (see FuzzGpuRead).
#include "DdsKtx.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzGpuRead(data, size, BwContainerId::KTX2, BwReadKtx2);
}
