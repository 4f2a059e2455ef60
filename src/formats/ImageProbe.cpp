// Image sizes from the headers of Targa, PNG, OpenEXR, TIFF, DDS and KTX2 files; see ImageProbe.h.
#include "ImageProbe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "DdsKtx.h"
#include "ExrIO.h"
#include "PngIO.h"
#include "TiffIO.h"

namespace {

constexpr int64_t kMaxSide = 65535;

uint32_t BigEndian32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint32_t LittleEndian32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool SetSize(int64_t width, int64_t height, BwImageProbe* probe) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  probe->width = int(width);
  probe->height = int(height);
  return true;
}

// The IHDR chunk follows the signature: length 13, "IHDR", width, height (big-endian), bit
// depth, colour type.
bool ProbePng(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  if (n < 26 || std::memcmp(head + 12, "IHDR", 4) != 0) return false;
  if (!SetSize(BigEndian32(head + 16), BigEndian32(head + 20), probe)) return false;
  const int depth = head[24];
  const int colourType = head[25];
  // Palettes become colour; a tRNS chunk, which may come later, adds an alpha channel, so the
  // channels counted are those with alpha.
  static const int kChannels[7] = {2, 0, 4, 4, 2, 0, 4};
  if (colourType > 6 || kChannels[colourType] == 0) return false;
  const uint64_t channels = uint64_t(kChannels[colourType]);
  const uint64_t sampleBytes = depth == 16 ? 2 : 1;
  // Sides below 2^16, at most 4 channels of 2 bytes: below 2^35.
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * channels * sampleBytes + fileBytes;
  return true;
}

// After the magic number and the version word, attributes follow: a name and a type name, each
// ending in a zero byte, a 32-bit little-endian size, then the value; an empty name ends the
// header. dataWindow is a box2i: xMin, yMin, xMax, yMax.
bool ProbeExr(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  size_t at = 8;
  const auto text = [&](std::string* out) {
    const void* end = at < n ? std::memchr(head + at, 0, n - at) : nullptr;
    if (!end) return false;
    out->assign(reinterpret_cast<const char*>(head + at), size_t(static_cast<const unsigned char*>(end) - (head + at)));
    at += out->size() + 1;
    return true;
  };
  std::string name, type;
  bool sized = false;
  uint64_t channels = 0;  // in the chlist: a name ending in a zero byte and 16 bytes each
  while (text(&name) && !name.empty()) {
    if (!text(&type) || n - at < 4) break;
    const uint64_t size = LittleEndian32(head + at);
    at += 4;
    if (size > n - at) break;
    if (name == "dataWindow" && type == "box2i" && size == 16) {
      const int64_t xMin = int32_t(LittleEndian32(head + at)), yMin = int32_t(LittleEndian32(head + at + 4));
      const int64_t xMax = int32_t(LittleEndian32(head + at + 8)), yMax = int32_t(LittleEndian32(head + at + 12));
      if (!SetSize(xMax - xMin + 1, yMax - yMin + 1, probe)) return false;
      sized = true;
    } else if (name == "channels" && type == "chlist") {
      for (const unsigned char *p = head + at, *end = p + size; p < end && *p != 0; ++channels) {
        const void* zero = std::memchr(p, 0, size_t(end - p));
        if (!zero) break;
        p = static_cast<const unsigned char*>(zero) + 1 + 16;
      }
    }
    at += size_t(size);
  }
  if (!sized) return false;
  // A height, or the normal and alpha channels, as floats.
  const uint64_t values = std::min<uint64_t>(std::max<uint64_t>(channels, 1), 4);
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * 4 * values + fileBytes;
  return true;
}

// DDS: height and width at bytes 12 and 16 (little-endian). The reader holds level 0 as it is
// stored (at most eight bytes a texel, in the 16-bit RGBA layout) and three floats a texel.
bool ProbeDds(const unsigned char* head, size_t n, BwImageProbe* probe) {
  if (n < 128 || LittleEndian32(head + 4) != 124) return false;
  if (!SetSize(LittleEndian32(head + 16), LittleEndian32(head + 12), probe)) return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * (8 + 12);
  return true;
}

// KTX2: width and height at bytes 20 and 24 (little-endian); the reader holds level 0 as the
// DDS reader does.
bool ProbeKtx2(const unsigned char* head, size_t n, BwImageProbe* probe) {
  if (n < 28 || !SetSize(LittleEndian32(head + 20), LittleEndian32(head + 24), probe)) return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * (8 + 12);
  return true;
}

// TIFF: the first image directory, wherever it lies; the reader holds the decoded texels and,
// from memory, the file.
bool SetTiffSize(bool ok, const int* size, uint64_t fileBytes, BwImageProbe* probe) {
  if (!ok || !SetSize(size[0], size[1], probe)) return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * uint64_t(size[2]) + fileBytes;
  return true;
}

// Targa: width and height at bytes 12 and 14 (little-endian), bits per texel at 16.
bool ProbeTarga(const unsigned char* head, size_t n, BwImageProbe* probe) {
  if (n < 18) return false;
  const int imageType = head[2];
  if (imageType != 2 && imageType != 3 && imageType != 10 && imageType != 11) return false;
  if (!SetSize(head[12] | head[13] << 8, head[14] | head[15] << 8, probe)) return false;
  const uint64_t texelBytes = (uint64_t(head[16]) + 7) / 8;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * texelBytes;
  return true;
}

struct FileCloser {
  void operator()(FILE* fp) const { std::fclose(fp); }
};

}  // namespace

bool BwProbeImage(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  *probe = BwImageProbe();
  if (BwIsPng(head, n)) return ProbePng(head, n, fileBytes, probe);
  if (BwIsExr(head, n)) return ProbeExr(head, n, fileBytes, probe);
  if (BwIsDds(head, n)) return ProbeDds(head, n, probe);
  if (BwIsKtx2(head, n)) return ProbeKtx2(head, n, probe);
  int size[3] = {};  // width, height, bytes a texel
  if (BwIsTiff(head, n)) return SetTiffSize(BwProbeTiffMemory(head, n, &size[0], &size[1], &size[2]), size, fileBytes, probe);
  return ProbeTarga(head, n, probe);
}

bool BwProbeImageFile(const std::string& path, BwImageProbe* probe) {
  const std::unique_ptr<FILE, FileCloser> fp(std::fopen(path.c_str(), "rb"));
  if (!fp) return false;
  struct stat info;
  const uint64_t fileBytes = fstat(fileno(fp.get()), &info) == 0 && S_ISREG(info.st_mode) ? uint64_t(info.st_size) : 0;
  // A pipe or device is not read: its bytes would be gone for the job.
  if (fileBytes == 0) return false;
  std::vector<unsigned char> head(BW_PROBE_BYTES);
  const size_t n = std::fread(head.data(), 1, head.size(), fp.get());
  if (BwIsTiff(head.data(), n)) {
    // A TIFF file's directory is often at its end: libtiff reads the file where it needs to.
    *probe = BwImageProbe();
    int size[3] = {};
    return SetTiffSize(BwProbeTiffFile(fileno(fp.get()), fileBytes, &size[0], &size[1], &size[2]), size, 0, probe);
  }
  return BwProbeImage(head.data(), n, fileBytes, probe);
}
