// Fuzz target: the PNG reader on the input bytes, from memory, through an in-memory stream, from
// a regular file, and decoded as it streams after its first bytes were read (as from a pipe). When the memory read
// succeeds the others must agree on the layout and every byte, and every announced byte is read
// so that the address sanitizer catches a short buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "PngIO.h"

static volatile unsigned gFuzzSink;

// True when the IHDR announces more texels than a target decodes (big-endian sizes at 16).
static bool FuzzPngTooLarge(const uint8_t* data, size_t size) {
  if (size < 24) return false;
  const uint64_t w = uint64_t(data[16]) << 24 | uint64_t(data[17]) << 16 | uint64_t(data[18]) << 8 | data[19];
  const uint64_t h = uint64_t(data[20]) << 24 | uint64_t(data[21]) << 16 | uint64_t(data[22]) << 8 | data[23];
  return w > FUZZ_MAX_TEXELS || h > FUZZ_MAX_TEXELS || w * h > FUZZ_MAX_TEXELS;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FuzzPngTooLarge(data, size)) return 0;
  BwDecodedImage memory;
  std::string memoryError;
  const bool memoryOk = BwReadPngMemory(data, size, &memory, &memoryError);
  if (memoryOk) {
    if (memory.width < 1 || memory.height < 1 || !memory.data || (memory.bits != 8 && memory.bits != 16) ||
        memory.channels < 1 || memory.channels > 4)
      std::abort();
    unsigned sum = 0;
    for (uint64_t i = 0; i < memory.ByteCount(); ++i) sum += memory.data[i];
    gFuzzSink = sum;
  } else if (memoryError.rfind("PNG: ", 0) != 0 || memoryError.find('\n') != std::string::npos) {
    std::abort();
  }

  if (size == 0) return 0;
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  BwDecodedImage streamed;
  std::string streamError;
  const bool streamOk = BwReadPng(stream, &streamed, &streamError);
  std::fclose(stream);
  if (streamOk != memoryOk || (!memoryOk && streamError != memoryError)) std::abort();
  if (memoryOk && (streamed.width != memory.width || streamed.height != memory.height ||
                   streamed.channels != memory.channels || streamed.bits != memory.bits ||
                   std::memcmp(streamed.data.get(), memory.data.get(), memory.ByteCount()) != 0))
    std::abort();

  // From a regular file (a memory file here), whose bytes the reader holds and may move.
  const int fd = memfd_create("png", 0);
  FILE* file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (file && std::fwrite(data, 1, size, file) == size && std::fseek(file, 0, SEEK_SET) == 0) {
    BwDecodedImage held;
    std::string heldError;
    const bool heldOk = BwReadPng(file, &held, &heldError);
    if (heldOk != memoryOk || (!memoryOk && heldError != memoryError)) std::abort();
    if (memoryOk && (held.width != memory.width || held.height != memory.height || held.channels != memory.channels ||
                     held.bits != memory.bits || std::memcmp(held.data.get(), memory.data.get(), memory.ByteCount()) != 0))
      std::abort();
  }
  if (file) std::fclose(file);
  else if (fd >= 0) close(fd);

  const size_t head = 8;
  if (size <= head) return 0;
  FILE* pipe = fmemopen(const_cast<uint8_t*>(data + head), size - head, "rb");
  if (!pipe) return 0;
  BwDecodedImage piped;
  std::string pipedError;
  const bool pipedOk = BwReadPngStream(pipe, data, head, &piped, &pipedError);
  std::fclose(pipe);
  if (!pipedOk && (pipedError.rfind("PNG: ", 0) != 0 || pipedError.find('\n') != std::string::npos)) std::abort();
  if (memoryOk && (!pipedOk || piped.width != memory.width || piped.height != memory.height ||
                   piped.channels != memory.channels || piped.bits != memory.bits ||
                   std::memcmp(piped.data.get(), memory.data.get(), memory.ByteCount()) != 0))
    std::abort();
  return 0;
}
