// .astc files: header, writer and reader; see AstcFile.h.
#include "AstcFile.h"

#include <cstring>
#include <sys/types.h>

#include "AstcCodec.h"
#include "BwArray.h"
#include "DdsKtx.h"
#include "ImageProbe.h"

namespace {

constexpr unsigned char ASTC_MAGIC[4] = {0x13, 0xAB, 0xA1, 0x5C};
// The tool's sizes are 16-bit, though the header's fields hold 24 bits.
constexpr uint32_t MAX_SIDE = 65535;

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

inline uint32_t Load24(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }
inline void Store24(unsigned char* p, uint32_t v) {
  p[0] = uint8_t(v & 0xFF);
  p[1] = uint8_t(v >> 8 & 0xFF);
  p[2] = uint8_t(v >> 16 & 0xFF);
}

std::string Size(uint32_t width, uint32_t height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

bool BwAstcFileWriter::Begin(FILE* fp, int blockWidth, int blockHeight, int width, int height, std::string* error) {
  fp_ = nullptr;
  if (!fp) return Fail(error, "no output stream");
  if (!BwAstcBlockSizeValid(blockWidth, blockHeight))
    return Fail(error, "ASTC has no " + Size(uint32_t(blockWidth), uint32_t(blockHeight)) + " blocks");
  if (width < 1 || height < 1 || uint32_t(width) > MAX_SIDE || uint32_t(height) > MAX_SIDE)
    return Fail(error, "texture size " + Size(uint32_t(width), uint32_t(height)) + " is outside 1 to 65535");
  unsigned char header[BW_ASTC_HEADER_BYTES];
  std::memcpy(header, ASTC_MAGIC, 4);
  header[4] = uint8_t(blockWidth);
  header[5] = uint8_t(blockHeight);
  header[6] = 1;
  Store24(header + 7, uint32_t(width));
  Store24(header + 10, uint32_t(height));
  Store24(header + 13, 1);
  if (std::fwrite(header, 1, sizeof header, fp) != sizeof header) return Fail(error, "could not write the .astc header");
  fp_ = fp;
  bytesLeft_ = BwAstcImageBytes(width, height, blockWidth, blockHeight);
  return true;
}

bool BwAstcFileWriter::Blocks(const unsigned char* bytes, uint64_t byteCount, std::string* error) {
  if (!fp_) return Fail(error, "the .astc file was not begun");
  if (byteCount > bytesLeft_) return Fail(error, "more blocks than the .astc image holds");
  if (byteCount > 0 && std::fwrite(bytes, 1, size_t(byteCount), fp_) != byteCount)
    return Fail(error, "could not write the .astc blocks");
  bytesLeft_ -= byteCount;
  return true;
}

bool BwAstcFileWriter::End(std::string* error) {
  if (!fp_) return Fail(error, "the .astc file was not begun");
  if (bytesLeft_ != 0) return Fail(error, "the .astc image is incomplete");
  fp_ = nullptr;
  return true;
}

bool BwIsAstc(const unsigned char* head, size_t n) { return n >= 4 && std::memcmp(head, ASTC_MAGIC, 4) == 0; }

// The reader holds the blocks (at most one byte a texel, in 4 x 4 blocks), the normals (twelve
// bytes a texel) and a band of 8-bit texels while it decodes.
bool BwProbeAstc(const unsigned char* head, size_t n, uint64_t, BwImageProbe* probe) {
  if (n < BW_ASTC_HEADER_BYTES || !BwIsAstc(head, n) || !BwSetProbeSize(Load24(head + 7), Load24(head + 10), probe))
    return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * (1 + 12) + (uint64_t(4) << 20);
  return true;
}

bool BwReadAstc(FILE* fp, BwDdsImage* image, std::string* error) {
  if (!fp || !image) return Fail(error, "no input");
  // The bytes from here to the end, to compare the header's sizes with.
  const off_t start = ftello(fp);
  if (start < 0 || fseeko(fp, 0, SEEK_END) != 0) return Fail(error, "the .astc input is not seekable");
  const off_t end = ftello(fp);
  if (end < start || fseeko(fp, start, SEEK_SET) != 0) return Fail(error, "the .astc input is not seekable");
  const uint64_t fileBytes = uint64_t(end - start);

  unsigned char h[BW_ASTC_HEADER_BYTES];
  if (fileBytes < sizeof h || std::fread(h, 1, sizeof h, fp) != sizeof h) return Fail(error, "too short for a .astc header");
  if (!BwIsAstc(h, sizeof h)) return Fail(error, "not a .astc file");
  const int blockWidth = h[4], blockHeight = h[5], blockDepth = h[6];
  const uint32_t width = Load24(h + 7), height = Load24(h + 10), depth = Load24(h + 13);
  if (blockDepth != 1 || depth != 1)
    return Fail(error, "3D .astc images are not supported (blocks " + Size(uint32_t(blockWidth), uint32_t(blockHeight)) +
                           "x" + std::to_string(blockDepth) + ", depth " + std::to_string(depth) + ")");
  if (!BwAstcBlockSizeValid(blockWidth, blockHeight))
    return Fail(error, "ASTC has no " + Size(uint32_t(blockWidth), uint32_t(blockHeight)) + " blocks");
  if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE)
    return Fail(error, ".astc size " + Size(width, height) + " is outside 1 to 65535");
  // 16-bit sides and blocks of at least 4 x 4 texels: at most 2^32 bytes of blocks.
  const uint64_t blockBytes = BwAstcImageBytes(int(width), int(height), blockWidth, blockHeight);
  if (fileBytes - sizeof h != blockBytes)
    return Fail(error, "the .astc file holds " + std::to_string(fileBytes - sizeof h) + " bytes of blocks, not the " +
                           std::to_string(blockBytes) + " of a " + Size(width, height) + " image");

  BwArray<unsigned char> blocks = BwAllocArray<unsigned char>(blockBytes);
  BwArray<float> normals = BwAllocArray<float>(uint64_t(width) * uint64_t(height) * 3);
  if (!blocks || !normals) return Fail(error, "out of memory for the .astc texels");
  if (std::fread(blocks.get(), 1, size_t(blockBytes), fp) != blockBytes) return Fail(error, "could not read the .astc blocks");
  if (!BwDecodeAstcImage(blocks.get(), int(width), int(height), blockWidth, blockHeight, normals.get(), error))
    return false;
  image->width = int(width);
  image->height = int(height);
  // The layout of the same blocks, for the block sizes Bumpweld writes.
  for (BwGpuFormat format : {BwGpuFormat::ASTC4X4, BwGpuFormat::ASTC5X5, BwGpuFormat::ASTC6X6, BwGpuFormat::ASTC8X8}) {
    const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
    if (info.blockWidth == blockWidth && info.blockHeight == blockHeight) image->format = format;
  }
  image->dxgiFormat = 0;
  image->levelCount = 1;
  image->normals = std::move(normals);
  return true;
}
