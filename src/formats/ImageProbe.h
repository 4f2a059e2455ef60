// The size of an input image from the first bytes of its file, without reading its texels: what
// a batch needs to plan its jobs (memory, time left, the names of a mip chain's levels).
//
// Reads the PNG IHDR chunk, the OpenEXR header's dataWindow attribute (scanning at most
// BW_PROBE_BYTES), the first TIFF directory (through libtiff, wherever it lies in a file), the
// DDS or KTX2 header or the Targa header, recognising the container by its first
// bytes as the readers do. It trusts nothing: a header it cannot follow, or a size above 65535 x 65535, gives
// no answer (false), and the reader proper then says what is wrong when the job runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The most bytes of a file the probe looks at.
constexpr size_t BW_PROBE_BYTES = 1 << 16;

struct BwImageProbe {
  int width = 0;
  int height = 0;
  // Bytes the reader holds while the texels are in memory: the decoded texels, plus the file
  // itself for the containers that are read whole first (PNG, OpenEXR; TIFF from memory).
  uint64_t readerBytes = 0;
};

// Sets the probe's size; false (no answer) for a side that is not 1 to 65535.
inline bool BwSetProbeSize(int64_t width, int64_t height, BwImageProbe* probe) {
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return false;
  probe->width = int(width);
  probe->height = int(height);
  return true;
}

// 32-bit words of a header, big- and little-endian.
inline uint32_t BwLoadBE32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint32_t BwLoadLE32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The size of the image whose file starts with the n bytes at head (n may be less than the
// whole file); `fileBytes` is the size of the whole file.
bool BwProbeImage(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);

// Probes the file at path; false when it cannot be opened or read or its header tells nothing.
bool BwProbeImageFile(const std::string& path, BwImageProbe* probe);
