// Raw .kep texture files; see KepFileIO.h for the layout.
#include "KepFileIO.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sys/types.h>

#include "Console.h"
#include "OutputFile.h"
#include "mac/MacSpecific.h"

namespace {

// Header bytes of a record in file order; the pointer slot is written as zeros.
void PackHeader(const ZelBitmap& bmp, unsigned char* header) {
  std::memcpy(header + 0, &bmp.width, 2);
  std::memcpy(header + 2, &bmp.height, 2);
  header[4] = bmp.bitDepth;
  const uint32_t format = bmp.format;
  std::memcpy(header + 5, &format, 4);
  std::memset(header + 9, 0, 4);
}

void UnpackHeader(const unsigned char* header, ZelBitmap* bmp) {
  std::memcpy(&bmp->width, header + 0, 2);
  std::memcpy(&bmp->height, header + 2, 2);
  bmp->bitDepth = header[4];
  uint32_t format;
  std::memcpy(&format, header + 5, 4);
  bmp->format = ZelBitmapFormatEnum(format);
}

// 16-bit width and height, at most 31 bytes a texel: below 2^37, no overflow in 64 bits.
uint64_t TexelBlockBytes(const ZelBitmap& bmp) {
  return uint64_t(bmp.width) * bmp.height * (bmp.bitDepth / 8u);
}

}  // namespace

bool ZelWriteKEPStream(FILE* fp, ZelBitmap* bmp, const BwTexelSource& source) {
  unsigned char header[ZEL_KEP_HEADER_BYTES];
  ZelByteSwap_ZelBitmap(bmp, 1);
  PackHeader(*bmp, header);
  ZelByteSwap_ZelBitmap(bmp, 1);
  if (std::fwrite(header, sizeof header, 1, fp) != 1) {
    BwDiagnostic("Error writing header!\n");
    return false;
  }
  uint64_t written = 0;
  uint64_t pieceBytes = 0;
  bool stopped = false;
  if (!BwWriteTexelPieces(fp, TexelBlockBytes(*bmp), bmp->bitDepth / 8, source, &written,
                          &pieceBytes, &stopped)) {
    if (stopped) return false;
    BwDiagnostic("ERROR! Couldn't write texels!\n");
    return false;
  }
  return true;
}

bool ZelWrite3DKEPImageFile(ZelBitmap* bmp, const char* fileName) {
  OutputFile out(fileName);
  if (!out) {
    BwDiagnostic("Warning! Could not open texture map \"%s\"\n", fileName);
    return false;
  }
  const unsigned char* pixels = bmp->pixels;
  const auto copy = [pixels](uint64_t offset, uint64_t bytes, unsigned char* to) {
    std::memcpy(to, pixels + offset, bytes);
    return true;
  };
  if (!ZelWriteKEPStream(out.Stream(), bmp, copy)) return false;
  if (!out.Commit()) {
    BwDiagnostic("ERROR! Couldn't write texels!\n");
    return false;
  }
  return true;
}

bool ZelRead3DKEPImageFile(ZelBitmap* bmp, const char* fileName) {
  std::unique_ptr<FILE, BwFileCloser> in(std::fopen(fileName, "rb"));
  if (!in) {
    BwDiagnostic("Warning! Could not open texture map \"%s\"\n", fileName);
    return false;
  }
  unsigned char header[ZEL_KEP_HEADER_BYTES];
  if (std::fread(header, sizeof header, 1, in.get()) != 1) {
    BwDiagnostic("ERROR! Bad kep header!\n");
    return false;
  }
  UnpackHeader(header, bmp);
  ZelByteSwap_ZelBitmap(bmp, 1);
  bmp->pixels = nullptr;

  // Refuse a header that announces more texels than the file holds, before allocating.
  const uint64_t n = TexelBlockBytes(*bmp);
  FILE* fp = in.get();
  const off_t here = ftello(fp);
  off_t end = -1;
  if (here >= 0 && fseeko(fp, 0, SEEK_END) == 0) end = ftello(fp);
  if (end < here || fseeko(fp, here, SEEK_SET) != 0 || uint64_t(end - here) < n) {
    BwDiagnostic("ERROR! Couldn't read texels!\n");
    return false;
  }
  bmp->pixels = new (std::nothrow) unsigned char[n > 0 ? n : 1];
  if (!bmp->pixels) {
    BwDiagnostic("ERROR allocating memory for pixels from file \"%s\"\n", fileName);
    return false;
  }
  if (std::fread(bmp->pixels, 1, n, fp) != n) {
    BwDiagnostic("ERROR! Couldn't read texels!\n");
    return false;
  }
  return true;
}
