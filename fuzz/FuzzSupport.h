// Helpers shared by the fuzz targets: a size cap read from the input's header, a private file
// that holds the input for readers that take a file name, and a silent job for the loaders.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/types.h>
#include <unistd.h>

#include "Containers.h"
#include "DdsKtx.h"
#include "ImageProbe.h"
#include "MapLoaders.h"

// Largest image a target passes on. Run-length data lets a few kilobytes announce a 65535 x
// 65535 image legitimately; decoding it would be reported as running out of memory.
constexpr uint64_t FUZZ_MAX_TEXELS = uint64_t(1) << 22;

// Width x height of the 16-bit little-endian pair at `offset`, or 0 when the input is shorter.
inline uint64_t FuzzAnnouncedTexels(const uint8_t* data, size_t size, size_t offset) {
  if (size < offset + 4) return 0;
  const uint64_t width = data[offset] | uint64_t(data[offset + 1]) << 8;
  const uint64_t height = data[offset + 2] | uint64_t(data[offset + 3]) << 8;
  return width * height;
}

// True when a Targa header announces more texels than a target decodes.
inline bool FuzzTargaTooLarge(const uint8_t* data, size_t size) {
  return FuzzAnnouncedTexels(data, size, 12) > FUZZ_MAX_TEXELS;
}

// Puts the input into a file of this process and returns a name that opens it. The file is
// unlinked as soon as it is made, so nothing is left behind however the process ends, and is
// reached through /dev/fd. It is rewritten in place and cut to size: truncating it to nothing
// before each write makes some file systems flush it to disk every time.
inline const char* FuzzInputFile(const uint8_t* data, size_t size) {
  static std::string name;
  static const int fd = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/bumpweld-fuzz-XXXXXX";
    const int made = mkstemp(pattern.data());
    if (made < 0) {
      std::perror("bumpweld fuzz: mkstemp");
      std::abort();
    }
    unlink(pattern.c_str());
    name = "/dev/fd/" + std::to_string(made);
    return made;
  }();
  if (pwrite(fd, data, size, 0) != ssize_t(size) || ftruncate(fd, off_t(size)) != 0) {
    std::perror("bumpweld fuzz: writing the input file");
    std::abort();
  }
  return name.c_str();
}

// Runs `read` (a loader's reading step, given a silent job and the input as a file) on the
// input bytes; false when it ends the job, as most inputs do.
template <typename Read>
bool FuzzLoad(const uint8_t* data, size_t size, BwInputTexels* texels, const Read& read) {
  const BwSettings settings;
  BwConsole console;
  BwRun run(settings, console);
  BwInput input;
  input.name = FuzzInputFile(data, size);
  try {
    read(run, input, texels);
  } catch (const BwFatalError&) {
    return false;
  }
  return true;
}

// Runs a GPU container's reader (BwReadDds, BwReadKtx2, BwReadAstc) on the input bytes through an
// in-memory stream, after the container's probe has refused sizes past FUZZ_MAX_TEXELS. A file it
// refuses must say why in one line; one it accepts must have a size within the limits and finite
// normals in [-1, 1] for every texel.
inline int FuzzGpuRead(const uint8_t* data, size_t size, BwContainerId container,
                       bool (*read)(FILE*, BwDdsImage*, std::string*)) {
  BwImageProbe probe;
  if (BwContainerRowOf(container).probe(data, size, size, &probe) &&
      uint64_t(probe.width) * uint64_t(probe.height) > FUZZ_MAX_TEXELS)
    return 0;
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  BwDdsImage image;
  std::string error;
  const bool ok = read(stream, &image, &error);
  std::fclose(stream);
  if (!ok) {
    if (error.empty() || error.find('\n') != std::string::npos) std::abort();
    return 0;
  }
  if (image.width < 1 || image.height < 1 || image.width > 65535 || image.height > 65535 || !image.normals)
    std::abort();
  const uint64_t floats = uint64_t(image.width) * uint64_t(image.height) * 3;
  for (uint64_t i = 0; i < floats; ++i) {
    const float v = image.normals[i];
    if (!(v >= -1.0f && v <= 1.0f)) std::abort();
  }
  // Asked for bytes, the 8-bit layout gives the bytes the floats were made from, blue first.
  if (image.format != BwGpuFormat::RGBA8) return 0;
  stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  BwDdsImage bytes;
  bytes.bytesFor8Bit = true;
  const bool again = read(stream, &bytes, &error);
  std::fclose(stream);
  if (!again || !bytes.bytes || bytes.normals || bytes.width != image.width || bytes.height != image.height)
    std::abort();
  for (uint64_t i = 0; i < floats; ++i)
    if (bytes.bytes[i] != std::lround((double(image.normals[i - i % 3 + 2 - i % 3]) + 1.0) * 127.5)) std::abort();
  return 0;
}
