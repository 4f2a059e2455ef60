// DDS and KTX2 texture containers: header layouts, the level writer, and the DDS reader.
#include "DdsKtx.h"
#include "NormalMath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "AstcCodec.h"
#include "BlockCompress.h"
#include "BwVector.h"
#include "DecodedImage.h"
#include "EacCompress.h"
#include "Quantize.h"
#include "Parallel.h"
#include "ImageProbe.h"

namespace {

const BwGpuFormatInfo kFormats[] = {
    // name      DXGI  Vk  bytes compressed typeSize block  two components
    {"bc5", 83, 141, 16, true, 1, 4, 4, true},       // BC5_UNORM, VK_FORMAT_BC5_UNORM_BLOCK
    {"bc5s", 84, 142, 16, true, 1, 4, 4, true},      // BC5_SNORM, VK_FORMAT_BC5_SNORM_BLOCK
    {"rg16s", 37, 78, 4, false, 2, 1, 1, true},      // R16G16_SNORM, VK_FORMAT_R16G16_SNORM
    {"rgba16s", 13, 92, 8, false, 2, 1, 1, false},   // R16G16B16A16_SNORM, VK_FORMAT_R16G16B16A16_SNORM
    {"rgb10a2", 24, 64, 4, false, 4, 1, 1, false},   // R10G10B10A2_UNORM, VK_FORMAT_A2B10G10R10_UNORM_PACK32
    {"rgba8", 28, 37, 4, false, 1, 1, 1, false},     // R8G8B8A8_UNORM, VK_FORMAT_R8G8B8A8_UNORM
    {"bc3n", 77, 137, 16, true, 1, 4, 4, true},      // BC3_UNORM, VK_FORMAT_BC3_UNORM_BLOCK
    {"eacrg11", 0, 155, 16, true, 1, 4, 4, true},    // VK_FORMAT_EAC_R11G11_UNORM_BLOCK
    {"eacrg11s", 0, 156, 16, true, 1, 4, 4, true},   // VK_FORMAT_EAC_R11G11_SNORM_BLOCK
    {"astc4x4", 0, 157, 16, true, 1, 4, 4, true},    // VK_FORMAT_ASTC_4x4_UNORM_BLOCK
    {"astc5x5", 0, 161, 16, true, 1, 5, 5, true},    // VK_FORMAT_ASTC_5x5_UNORM_BLOCK
    {"astc6x6", 0, 165, 16, true, 1, 6, 6, true},    // VK_FORMAT_ASTC_6x6_UNORM_BLOCK
    {"astc8x8", 0, 171, 16, true, 1, 8, 8, true},    // VK_FORMAT_ASTC_8x8_UNORM_BLOCK
};
static_assert(sizeof kFormats / sizeof kFormats[0] == size_t(kBwGpuFormatCount), "a row for every format");

// Largest width or height written or read: the tool's sizes are 16-bit.
constexpr int MAX_SIDE = 65535;

// DDS_HEADER flags and caps, DDS_PIXELFORMAT flags, DDS_HEADER_DXT10 values.
constexpr uint32_t DDSD_CAPS = 0x1, DDSD_HEIGHT = 0x2, DDSD_WIDTH = 0x4, DDSD_PITCH = 0x8;
constexpr uint32_t DDSD_PIXELFORMAT = 0x1000, DDSD_MIPMAPCOUNT = 0x20000;
constexpr uint32_t DDSD_LINEARSIZE = 0x80000, DDSD_DEPTH = 0x800000;
constexpr uint32_t DDPF_ALPHAPIXELS = 0x1, DDPF_FOURCC = 0x4, DDPF_RGB = 0x40, DDPF_BUMPDUDV = 0x80000;
constexpr uint32_t DDSCAPS_COMPLEX = 0x8, DDSCAPS_TEXTURE = 0x1000, DDSCAPS_MIPMAP = 0x400000;
constexpr uint32_t DDSCAPS2_CUBEMAP = 0x200, DDSCAPS2_VOLUME = 0x200000;
constexpr uint32_t DDS_DIMENSION_TEXTURE2D = 3, DDS_RESOURCE_MISC_TEXTURECUBE = 0x4;
constexpr uint64_t DDS_BASE_BYTES = 4 + 124;  // magic and DDS_HEADER
constexpr uint64_t DDS_DX10_BYTES = 20;       // DDS_HEADER_DXT10

constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
         uint32_t(uint8_t(d)) << 24;
}

// KTX2: the file identifier, the data format descriptor values, the writer's key/value entry.
constexpr unsigned char KTX2_IDENTIFIER[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
constexpr uint32_t KHR_DF_MODEL_RGBSDA = 1, KHR_DF_MODEL_BC3 = 130, KHR_DF_MODEL_BC5 = 132;
constexpr uint32_t KHR_DF_MODEL_ETC2 = 161, KHR_DF_MODEL_ASTC = 162;
constexpr uint32_t KHR_DF_PRIMARIES_BT709 = 1, KHR_DF_TRANSFER_LINEAR = 1;
constexpr uint32_t KHR_DF_VERSIONNUMBER_1_3 = 2;
constexpr uint32_t KHR_DF_SAMPLE_DATATYPE_SIGNED = 0x40;
constexpr uint32_t CHANNEL_RED = 0, CHANNEL_GREEN = 1, CHANNEL_BLUE = 2, CHANNEL_ALPHA = 15;
constexpr char KTX2_SWIZZLE_KEY[] = "KTXswizzle";
constexpr char KTX2_WRITER_KEY[] = "KTXwriter";
constexpr char KTX2_WRITER[] = "Bumpweld";

void Put16(std::vector<unsigned char>* v, uint32_t x) {
  v->push_back(uint8_t(x & 0xFF));
  v->push_back(uint8_t(x >> 8 & 0xFF));
}
void Put32(std::vector<unsigned char>* v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}
void Put64(std::vector<unsigned char>* v, uint64_t x) {
  Put32(v, uint32_t(x & 0xFFFFFFFFu));
  Put32(v, uint32_t(x >> 32));
}
inline void Store16(unsigned char* out, uint32_t x) {
  out[0] = uint8_t(x & 0xFF);
  out[1] = uint8_t(x >> 8 & 0xFF);
}
inline void Store32(unsigned char* out, uint32_t x) {
  Store16(out, x & 0xFFFF);
  Store16(out + 2, x >> 16);
}
inline uint32_t Load16(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t Load32(const unsigned char* p) { return Load16(p) | Load16(p + 2) << 16; }
inline uint64_t Load64(const unsigned char* p) { return Load32(p) | uint64_t(Load32(p + 4)) << 32; }

int LevelSide(int side, int level) { return std::max(1, side >> level); }

// Sides below 2^16 and at most 16 bytes a texel or block: below 2^36.
uint64_t LevelBytes(const BwGpuFormatInfo& info, int width, int height) {
  const uint64_t across = uint64_t((width + info.blockWidth - 1) / info.blockWidth);
  return across * uint64_t((height + info.blockHeight - 1) / info.blockHeight) * info.blockBytes;
}

// Bytes of a row of texels or blocks.
uint64_t RowBytes(const BwGpuFormatInfo& info, int width) {
  return uint64_t((width + info.blockWidth - 1) / info.blockWidth) * info.blockBytes;
}

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

// One sample of a basic data format descriptor block.
void PutSample(std::vector<unsigned char>* v, uint32_t bitOffset, uint32_t bits, uint32_t channel,
               bool isSigned, uint32_t lower, uint32_t upper) {
  const uint32_t channelType = channel | (isSigned ? KHR_DF_SAMPLE_DATATYPE_SIGNED : 0u);
  Put32(v, bitOffset | (bits - 1) << 16 | channelType << 24);
  Put32(v, 0);  // sample position 0, 0, 0, 0
  Put32(v, lower);
  Put32(v, upper);
}

// The data format descriptor (dfdTotalSize, then one basic block) of `format`.
std::vector<unsigned char> Dfd(BwGpuFormat format) {
  struct Sample {
    uint32_t offset, bits, channel;
  };
  // Per format: the colour model, the samples in bit order, and whether they are signed. Block
  // formats have one sample a block of a channel (BC3: alpha, then colour; EAC: red, then green;
  // ASTC: the whole block).
  static const struct {
    uint32_t model;
    int count;
    bool isSigned;
    Sample samples[4];
  } kSamples[] = {
      {KHR_DF_MODEL_BC5, 2, false, {{0, 64, CHANNEL_RED}, {64, 64, CHANNEL_GREEN}}},
      {KHR_DF_MODEL_BC5, 2, true, {{0, 64, CHANNEL_RED}, {64, 64, CHANNEL_GREEN}}},
      {KHR_DF_MODEL_RGBSDA, 2, true, {{0, 16, CHANNEL_RED}, {16, 16, CHANNEL_GREEN}}},
      {KHR_DF_MODEL_RGBSDA, 4, true, {{0, 16, CHANNEL_RED}, {16, 16, CHANNEL_GREEN}, {32, 16, CHANNEL_BLUE}, {48, 16, CHANNEL_ALPHA}}},
      {KHR_DF_MODEL_RGBSDA, 4, false, {{0, 10, CHANNEL_RED}, {10, 10, CHANNEL_GREEN}, {20, 10, CHANNEL_BLUE}, {30, 2, CHANNEL_ALPHA}}},
      {KHR_DF_MODEL_RGBSDA, 4, false, {{0, 8, CHANNEL_RED}, {8, 8, CHANNEL_GREEN}, {16, 8, CHANNEL_BLUE}, {24, 8, CHANNEL_ALPHA}}},
      {KHR_DF_MODEL_BC3, 2, false, {{0, 64, CHANNEL_ALPHA}, {64, 64, CHANNEL_RED}}},
      {KHR_DF_MODEL_ETC2, 2, false, {{0, 64, CHANNEL_RED}, {64, 64, CHANNEL_GREEN}}},
      {KHR_DF_MODEL_ETC2, 2, true, {{0, 64, CHANNEL_RED}, {64, 64, CHANNEL_GREEN}}},
      {KHR_DF_MODEL_ASTC, 1, false, {{0, 128, CHANNEL_RED}}},
      {KHR_DF_MODEL_ASTC, 1, false, {{0, 128, CHANNEL_RED}}},
      {KHR_DF_MODEL_ASTC, 1, false, {{0, 128, CHANNEL_RED}}},
      {KHR_DF_MODEL_ASTC, 1, false, {{0, 128, CHANNEL_RED}}},
  };
  static_assert(sizeof kSamples / sizeof kSamples[0] == size_t(kBwGpuFormatCount), "a descriptor for every format");
  const auto& layout = kSamples[int(format)];
  const bool isSigned = layout.isSigned;
  const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
  const uint32_t blockSize = 24 + 16 * uint32_t(layout.count);
  std::vector<unsigned char> v;
  Put32(&v, 4 + blockSize);  // dfdTotalSize
  Put32(&v, 0);              // vendorId 0 (Khronos), descriptorType 0 (basic)
  Put32(&v, KHR_DF_VERSIONNUMBER_1_3 | blockSize << 16);
  Put32(&v, layout.model | KHR_DF_PRIMARIES_BT709 << 8 | KHR_DF_TRANSFER_LINEAR << 16);  // flags 0: alpha straight
  // The texel block's dimensions less one (1 x 1 x 1 x 1 for the uncompressed layouts).
  Put32(&v, uint32_t(info.blockWidth - 1) | uint32_t(info.blockHeight - 1) << 8);
  Put32(&v, info.blockBytes);  // bytesPlane0; planes 1 to 7 empty
  Put32(&v, 0);
  for (int i = 0; i < layout.count; ++i) {
    const Sample& s = layout.samples[i];
    // Signed normalised samples run from -max to max (a whole block: the 32-bit extremes).
    uint32_t upper, lower;
    if (s.bits >= 32) {
      upper = isSigned ? 0x7FFFFFFFu : 0xFFFFFFFFu;
      lower = isSigned ? 0x80000000u : 0u;
    } else if (isSigned) {
      upper = (1u << (s.bits - 1)) - 1u;
      lower = ~upper + 1u;
    } else {
      upper = (1u << s.bits) - 1u;
      lower = 0;
    }
    PutSample(&v, s.offset, s.bits, s.channel, isSigned, lower, upper);
  }
  return v;
}

// The KTXswizzle a reader needs to find x and y in red and green, for the layouts that keep them
// elsewhere (null: none is written).
const char* Swizzle(BwGpuFormat format) {
  if (format == BwGpuFormat::BC3N) return "ag01";
  if (format >= BwGpuFormat::ASTC4X4) return "ra01";  // the normal-map mode: x in red, green and blue, y in alpha
  return nullptr;
}

}  // namespace

const BwGpuFormatInfo& BwGpuFormatInfoOf(BwGpuFormat format) { return kFormats[int(format)]; }

bool BwGpuFormatFromName(const char* name, BwGpuFormat* format) {
  for (int i = 0; i < kBwGpuFormatCount; ++i) {
    if (name && std::strcmp(name, kFormats[i].name) == 0) {
      *format = BwGpuFormat(i);
      return true;
    }
  }
  return false;
}

std::string BwGpuFormatNames(uint32_t mask) {
  std::vector<const char*> names;
  for (int i = 0; i < kBwGpuFormatCount; ++i)
    if (mask >> i & 1u) names.push_back(kFormats[i].name);
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) list += (i == 0 ? "" : i + 1 < names.size() ? ", " : " or ") + std::string(names[i]);
  return list;
}

int BwMipLevelCount(int width, int height) {
  int levels = 1;
  for (int side = std::max(width, height); side > 1; side >>= 1) ++levels;
  return levels;
}

uint64_t BwGpuLevelBytes(BwGpuFormat format, int width, int height) {
  return LevelBytes(BwGpuFormatInfoOf(format), width, height);
}

bool BwEncodeGpuLevel(BwGpuFormat format, const float* image, int width, int height, int numComponents,
                      unsigned char* out, const BwGpuEncodeOptions& options, std::string* error) {
  switch (format) {
    case BwGpuFormat::BC5:
    case BwGpuFormat::BC5S:
      BwEncodeBc5Image(image, width, height, numComponents,
                       format == BwGpuFormat::BC5 ? BwBc4Kind::UNORM : BwBc4Kind::SNORM, out);
      return true;
    case BwGpuFormat::BC3N:
      BwEncodeBc3nImage(image, width, height, numComponents, out);
      return true;
    case BwGpuFormat::EACRG11:
    case BwGpuFormat::EACRG11S:
      BwEncodeEacRg11Image(image, width, height, numComponents, format == BwGpuFormat::EACRG11S, out);
      return true;
    case BwGpuFormat::RG16S:
    case BwGpuFormat::RGBA16S:
    case BwGpuFormat::RGB10A2:
    case BwGpuFormat::RGBA8:
      break;
    case BwGpuFormat::ASTC4X4:
    case BwGpuFormat::ASTC5X5:
    case BwGpuFormat::ASTC6X6:
    case BwGpuFormat::ASTC8X8: {
      const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
      if (options.astcEncoder)
        return options.astcEncoder->Encode(image, width, height, numComponents, info.blockWidth, info.blockHeight,
                                           options.astcQuality, out, error);
      return BwEncodeAstcImage(image, width, height, numComponents, info.blockWidth, info.blockHeight,
                               options.astcQuality, out, error);
    }
    default:  // every layout has its case: only a value outside the enumeration comes here
      return Fail(error, "not a GPU layout");
  }
  const bool round = options.round;
  const int64_t texelBytes = BwGpuFormatInfoOf(format).blockBytes;
  const int64_t w = width;
  BwParallelFor(height, std::max<int64_t>(1, (1 << 15) / w), [=](int64_t begin, int64_t end) {
    for (int64_t y = begin; y < end; ++y) {
      const float* in = image + (height - 1 - y) * w * numComponents;  // picture row y
      unsigned char* o = out + y * w * texelBytes;
      for (int64_t i = 0; i < w; ++i, in += numComponents, o += texelBytes) {
        switch (format) {
          case BwGpuFormat::RGBA16S:
            Store16(o + 4, uint16_t(round ? BwS16Rounded(in[2]) : BwS16(in[2])));
            Store16(o + 6, 32767);
            [[fallthrough]];
          case BwGpuFormat::RG16S:
            Store16(o, uint16_t(round ? BwS16Rounded(in[0]) : BwS16(in[0])));
            Store16(o + 2, uint16_t(round ? BwS16Rounded(in[1]) : BwS16(in[1])));
            break;
          case BwGpuFormat::RGB10A2:
            if (round)
              Store32(o, BwQ10Rounded(in[0]) | BwQ10Rounded(in[1]) << 10 | BwQ10Rounded(in[2]) << 20 | 3u << 30);
            else
              Store32(o, BwQ10(in[0]) | BwQ10(in[1]) << 10 | BwQ10(in[2]) << 20 | 3u << 30);
            break;
          default:
            if (round && !BwIsFilled(in))
              o[0] = o[1] = o[2] = 127;
            else if (round)
              o[0] = BwQ8Rounded(in[0]), o[1] = BwQ8Rounded(in[1]), o[2] = BwQ8Rounded(in[2]);
            else
              o[0] = BwQ8(in[0]), o[1] = BwQ8(in[1]), o[2] = BwQ8(in[2]);
            o[3] = 255;
            break;
        }
      }
    }
  });
  return true;
}

namespace {

// The legacy pixel format of a layout: flags, four-character code, bit count and the red, green,
// blue and alpha masks.
struct LegacyPixelFormat {
  uint32_t flags, fourCC, bitCount, masks[4];
};

LegacyPixelFormat Legacy(BwGpuFormat format) {
  switch (format) {
    case BwGpuFormat::BC5: return {DDPF_FOURCC, FourCC('A', 'T', 'I', '2'), 0, {}};
    case BwGpuFormat::BC5S: return {DDPF_FOURCC, FourCC('B', 'C', '5', 'S'), 0, {}};
    case BwGpuFormat::BC3N: return {DDPF_FOURCC, FourCC('D', 'X', 'T', '5'), 0, {}};
    case BwGpuFormat::RGBA16S: return {DDPF_FOURCC, 110, 0, {}};  // D3DFMT_Q16W16V16U16
    case BwGpuFormat::RG16S: return {DDPF_BUMPDUDV, 0, 32, {0xFFFFu, 0xFFFF0000u, 0, 0}};
    case BwGpuFormat::RGB10A2:
      return {DDPF_RGB | DDPF_ALPHAPIXELS, 0, 32, {0x3FFu, 0xFFC00u, 0x3FF00000u, 0xC0000000u}};
    default: return {DDPF_RGB | DDPF_ALPHAPIXELS, 0, 32, {0xFFu, 0xFF00u, 0xFF0000u, 0xFF000000u}};
  }
}

}  // namespace

std::vector<unsigned char> BwDdsHeader(BwGpuFormat format, int width, int height, int levelCount, bool dx9) {
  const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
  std::vector<unsigned char> v = {'D', 'D', 'S', ' '};
  uint32_t flags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDSD_PIXELFORMAT;
  flags |= info.compressed ? DDSD_LINEARSIZE : DDSD_PITCH;
  if (levelCount > 1) flags |= DDSD_MIPMAPCOUNT;
  // Compressed: bytes of the top level (the row of blocks when that does not fit 32 bits);
  // uncompressed: bytes of a row.
  const uint64_t levelBytes = BwGpuLevelBytes(format, width, height);
  const uint64_t rowBytes = RowBytes(info, width);
  const uint64_t pitch = info.compressed && levelBytes <= UINT32_MAX ? levelBytes : rowBytes;
  Put32(&v, 124);  // dwSize
  Put32(&v, flags);
  Put32(&v, uint32_t(height));
  Put32(&v, uint32_t(width));
  Put32(&v, uint32_t(pitch));  // below 2^32: 65535 texels of 8 bytes, or 16384 blocks
  Put32(&v, 0);  // dwDepth
  Put32(&v, uint32_t(levelCount));
  for (int i = 0; i < 11; ++i) Put32(&v, 0);  // dwReserved1
  Put32(&v, 32);                              // ddspf.dwSize
  const LegacyPixelFormat legacy = dx9 ? Legacy(format) : LegacyPixelFormat{DDPF_FOURCC, FourCC('D', 'X', '1', '0'), 0, {}};
  Put32(&v, legacy.flags);
  Put32(&v, legacy.fourCC);
  Put32(&v, legacy.bitCount);
  for (uint32_t mask : legacy.masks) Put32(&v, mask);
  Put32(&v, DDSCAPS_TEXTURE | (levelCount > 1 ? DDSCAPS_COMPLEX | DDSCAPS_MIPMAP : 0u));
  for (int i = 0; i < 4; ++i) Put32(&v, 0);  // dwCaps2 to dwCaps4, dwReserved2
  if (dx9) return v;
  Put32(&v, info.dxgiFormat);
  Put32(&v, DDS_DIMENSION_TEXTURE2D);
  Put32(&v, 0);  // miscFlag
  Put32(&v, 1);  // arraySize
  Put32(&v, 0);  // miscFlags2: alpha mode unknown
  return v;
}

std::vector<unsigned char> BwKtx2Header(BwGpuFormat format, int width, int height, int levelCount,
                                        std::vector<uint64_t>* levelOffsets) {
  const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
  const std::vector<unsigned char> dfd = Dfd(format);
  // Key/value entries in the order of their keys: each its length, key and value each ending in
  // NUL, padded to 4 bytes (the padding after the last one counts as the data's).
  std::vector<unsigned char> kvd;
  const auto entry = [&kvd](const char* key, const char* value) {
    kvd.resize((kvd.size() + 3) / 4 * 4, 0);
    const size_t keyBytes = std::strlen(key) + 1, valueBytes = std::strlen(value) + 1;
    Put32(&kvd, uint32_t(keyBytes + valueBytes));
    kvd.insert(kvd.end(), key, key + keyBytes);
    kvd.insert(kvd.end(), value, value + valueBytes);
  };
  if (const char* swizzle = Swizzle(format)) entry(KTX2_SWIZZLE_KEY, swizzle);
  entry(KTX2_WRITER_KEY, KTX2_WRITER);
  const uint32_t kvdBytes = uint32_t((kvd.size() + 3) / 4 * 4);
  const uint64_t dfdOffset = 80 + 24 * uint64_t(levelCount);
  const uint64_t kvdOffset = dfdOffset + dfd.size();
  // Level data starts at a multiple of lcm(texel block bytes, 4); every level length is a
  // multiple of the block bytes, and so of that alignment (16, 8 or 4).
  const uint64_t alignment = std::max<uint64_t>(info.blockBytes, 4);
  const uint64_t dataStart = (kvdOffset + kvdBytes + alignment - 1) / alignment * alignment;
  // The smallest level comes first in the file; the index lists level 0 first.
  levelOffsets->assign(size_t(levelCount), 0);
  uint64_t offset = dataStart;
  for (int level = levelCount - 1; level >= 0; --level) {
    (*levelOffsets)[size_t(level)] = offset;
    offset += BwGpuLevelBytes(format, LevelSide(width, level), LevelSide(height, level));
  }

  std::vector<unsigned char> v(KTX2_IDENTIFIER, KTX2_IDENTIFIER + 12);
  Put32(&v, info.vkFormat);
  Put32(&v, info.typeSize);
  Put32(&v, uint32_t(width));
  Put32(&v, uint32_t(height));
  Put32(&v, 0);  // pixelDepth: a 2D texture
  Put32(&v, 0);  // layerCount: not an array
  Put32(&v, 1);  // faceCount
  Put32(&v, uint32_t(levelCount));
  Put32(&v, 0);  // supercompressionScheme: none
  Put32(&v, uint32_t(dfdOffset));
  Put32(&v, uint32_t(dfd.size()));
  Put32(&v, uint32_t(kvdOffset));
  Put32(&v, kvdBytes);
  Put64(&v, 0);  // sgdByteOffset
  Put64(&v, 0);  // sgdByteLength
  for (int level = 0; level < levelCount; ++level) {
    const uint64_t bytes = BwGpuLevelBytes(format, LevelSide(width, level), LevelSide(height, level));
    Put64(&v, (*levelOffsets)[size_t(level)]);
    Put64(&v, bytes);  // byteLength
    Put64(&v, bytes);  // uncompressedByteLength
  }
  v.insert(v.end(), dfd.begin(), dfd.end());
  v.insert(v.end(), kvd.begin(), kvd.end());
  v.resize(size_t(dataStart), 0);  // value padding and the padding before the first level
  return v;
}

bool BwGpuTextureWriter::Begin(FILE* fp, BwContainer container, BwGpuFormat format, int width,
                               int height, int levelCount, std::string* error, bool dx9) {
  fp_ = nullptr;
  if (!fp) return Fail(error, "no output stream");
  if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE)
    return Fail(error, "texture size " + std::to_string(width) + " x " + std::to_string(height) +
                           " is outside 1 to 65535");
  if (levelCount < 1 || levelCount > BwMipLevelCount(width, height))
    return Fail(error, "a " + std::to_string(width) + " x " + std::to_string(height) +
                           " texture cannot have " + std::to_string(levelCount) + " levels");
  container_ = container;
  format_ = format;
  levelBytes_.clear();
  for (int level = 0; level < levelCount; ++level)
    levelBytes_.push_back(BwGpuLevelBytes(format, LevelSide(width, level), LevelSide(height, level)));
  std::vector<unsigned char> header;
  if (container == BwContainer::DDS) {
    header = BwDdsHeader(format, width, height, levelCount, dx9);
    levelOffsets_.clear();
    uint64_t offset = header.size();
    for (uint64_t bytes : levelBytes_) levelOffsets_.push_back(offset), offset += bytes;
  } else {
    header = BwKtx2Header(format, width, height, levelCount, &levelOffsets_);
  }
  struct stat st;
  start_ = ftello(fp);
  seekable_ = container == BwContainer::KTX2 && start_ >= 0 && fstat(fileno(fp), &st) == 0 &&
              S_ISREG(st.st_mode);
  held_.assign(container == BwContainer::KTX2 && !seekable_ ? size_t(levelCount) : 0, {});
  level_ = 0;
  levelDone_ = 0;
  if (std::fwrite(header.data(), 1, header.size(), fp) != header.size())
    return Fail(error, "could not write the texture header");
  fp_ = fp;
  return true;
}

bool BwGpuTextureWriter::Put(uint64_t offset, const unsigned char* bytes, uint64_t count,
                             std::string* error) {
  if (seekable_ && fseeko(fp_, off_t(start_) + off_t(offset), SEEK_SET) != 0)
    return Fail(error, "could not seek in the output");
  if (count > 0 && std::fwrite(bytes, 1, size_t(count), fp_) != count)
    return Fail(error, "could not write texture data");
  return true;
}

bool BwGpuTextureWriter::Level(int level, const unsigned char* bytes, uint64_t byteCount,
                               std::string* error) {
  if (!fp_) return Fail(error, "the texture was not begun");
  if (level != level_ || size_t(level) >= levelBytes_.size())
    return Fail(error, "level " + std::to_string(level) + " given where level " +
                           std::to_string(level_) + " was expected");
  if (byteCount > levelBytes_[size_t(level)] - levelDone_)
    return Fail(error, "more bytes than level " + std::to_string(level) + " holds");
  if (!held_.empty()) {
    held_[size_t(level)].insert(held_[size_t(level)].end(), bytes, bytes + byteCount);
  } else if (!Put(levelOffsets_[size_t(level)] + levelDone_, bytes, byteCount, error)) {
    return false;
  }
  levelDone_ += byteCount;
  if (levelDone_ == levelBytes_[size_t(level)]) ++level_, levelDone_ = 0;
  return true;
}

bool BwGpuTextureWriter::End(std::string* error) {
  if (!fp_) return Fail(error, "the texture was not begun");
  if (size_t(level_) != levelBytes_.size())
    return Fail(error, "level " + std::to_string(level_) + " is incomplete");
  // Held KTX2 levels go out smallest first, which is their order in the file.
  for (size_t i = held_.size(); i-- > 0;)
    if (!Put(levelOffsets_[i], held_[i].data(), held_[i].size(), error)) return false;
  held_.clear();
  if (seekable_ && fseeko(fp_, off_t(start_) + off_t(levelOffsets_[0] + levelBytes_[0]), SEEK_SET) != 0)
    return Fail(error, "could not seek in the output");
  if (std::fflush(fp_) != 0) return Fail(error, "could not write texture data");
  fp_ = nullptr;
  return true;
}

// ---- Reading ----------------------------------------------------------------------------

namespace {

// The layout of a DXGI format the DDS reader takes.
bool ByDxgi(uint32_t dxgi, BwGpuFormat* format) {
  for (int i = 0; i < kBwGpuFormatCount; ++i)
    if (kFormats[i].dxgiFormat != 0 && kFormats[i].dxgiFormat == dxgi) return *format = BwGpuFormat(i), true;
  return false;
}

inline float Unorm(uint32_t v, uint32_t max) { return float(v) / float(max) * 2.0f - 1.0f; }
inline float Snorm16(uint32_t v) {
  const int32_t s = int32_t(v) - (v >= 0x8000u ? 0x10000 : 0);
  return std::max(float(s) / 32767.0f, -1.0f);
}

// The 16 x and y values of a two-channel 4 x 4 block of 16 bytes, row-major from its top-left
// texel.
using DecodeTwoChannelBlock = void (*)(const unsigned char* block, float* x, float* y);

DecodeTwoChannelBlock TwoChannelBlockDecoder(BwGpuFormat format) {
  switch (format) {
    case BwGpuFormat::BC5:
      return [](const unsigned char* b, float* x, float* y) {
        BwDecodeBc4Block(b, BwBc4Kind::UNORM, x);
        BwDecodeBc4Block(b + 8, BwBc4Kind::UNORM, y);
      };
    case BwGpuFormat::BC5S:
      return [](const unsigned char* b, float* x, float* y) {
        BwDecodeBc4Block(b, BwBc4Kind::SNORM, x);
        BwDecodeBc4Block(b + 8, BwBc4Kind::SNORM, y);
      };
    case BwGpuFormat::BC3N:
      return [](const unsigned char* b, float* x, float* y) {
        BwDecodeBc4Block(b, BwBc4Kind::UNORM, x);
        BwDecodeBc3GreenBlock(b + 8, y);
      };
    case BwGpuFormat::EACRG11:
      return [](const unsigned char* b, float* x, float* y) {
        BwDecodeEacR11Block(b, false, x);
        BwDecodeEacR11Block(b + 8, false, y);
      };
    case BwGpuFormat::EACRG11S:
      return [](const unsigned char* b, float* x, float* y) {
        BwDecodeEacR11Block(b, true, x);
        BwDecodeEacR11Block(b + 8, true, y);
      };
    default:
      return nullptr;
  }
}

}  // namespace

bool BwDecodeTwoChannelBlockRow(BwGpuFormat format, const unsigned char* blocks, int width, int rows, float* x,
                                float* y) {
  const DecodeTwoChannelBlock decode = TwoChannelBlockDecoder(format);
  if (!decode) return false;
  for (int bx = 0; bx * 4 < width; ++bx) {
    float bxValues[16], byValues[16];
    decode(blocks + bx * 16, bxValues, byValues);
    const int columns = std::min(4, width - bx * 4);  // fewer only where the picture ends inside the block
    for (int r = 0; r < rows; ++r) {
      float* const tx = x + r * int64_t(width) + bx * 4;
      float* const ty = y + r * int64_t(width) + bx * 4;
      if (columns == 4) {
        std::memcpy(tx, bxValues + r * 4, 4 * sizeof(float));
        std::memcpy(ty, byValues + r * 4, 4 * sizeof(float));
      } else {
        for (int c = 0; c < columns; ++c) tx[c] = bxValues[r * 4 + c], ty[c] = byValues[r * 4 + c];
      }
    }
  }
  return true;
}

bool BwDecodeGpuLevel(BwGpuFormat format, const unsigned char* data, int w, int h, float* out, std::string* error) {
  const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
  auto put = [&](int px, int py, float x, float y, float z, bool haveZ) {
    float* t = out + (int64_t(h - 1 - py) * w + px) * 3;
    t[0] = x, t[1] = y;
    t[2] = haveZ ? z : std::sqrt(std::max(0.0f, 1.0f - x * x - y * y));
  };
  switch (format) {
    case BwGpuFormat::BC5:
    case BwGpuFormat::BC5S:
    case BwGpuFormat::BC3N:
    case BwGpuFormat::EACRG11:
    case BwGpuFormat::EACRG11S: {
      // Rows of blocks, shared among the threads; x and y are decoded into planes, then
      // interleaved with z rebuilt.
      const int64_t blockRowBytes = int64_t(BwGpuLevelBytes(format, w, 4));
      BwParallelFor((h + 3) / 4, std::max<int64_t>(1, 16384 / w), [&](int64_t by0, int64_t by1) {
        std::vector<float> planes(size_t(w) * 8);
        for (int64_t by = by0; by < by1; ++by) {
          const int rows = std::min(4, h - int(by) * 4);
          BwDecodeTwoChannelBlockRow(format, data + by * blockRowBytes, w, rows, planes.data(), planes.data() + 4 * w);
          for (int r = 0; r < rows; ++r) {
            const float* x = planes.data() + r * int64_t(w);
            const float* y = x + 4 * int64_t(w);
            float* t = out + (h - 1 - (by * 4 + r)) * int64_t(w) * 3;
            for (int64_t i = 0; i < w; ++i)
              t[3 * i] = x[i], t[3 * i + 1] = y[i], t[3 * i + 2] = std::sqrt(std::max(0.0f, 1.0f - x[i] * x[i] - y[i] * y[i]));
          }
        }
      });
      return true;
    }
    case BwGpuFormat::RG16S:
    case BwGpuFormat::RGBA16S:
    case BwGpuFormat::RGB10A2:
    case BwGpuFormat::RGBA8:
      break;
    case BwGpuFormat::ASTC4X4:
    case BwGpuFormat::ASTC5X5:
    case BwGpuFormat::ASTC6X6:
    case BwGpuFormat::ASTC8X8:
      return BwDecodeAstcImage(data, w, h, info.blockWidth, info.blockHeight, out, error);
    default:  // every layout has its case: only a value outside the enumeration comes here
      return Fail(error, "not a GPU layout");
  }
  BwParallelFor(h, std::max(1, 65536 / w), [&](int64_t py0, int64_t py1) {
    for (int py = int(py0); py < int(py1); ++py)
      for (int px = 0; px < w; ++px) {
        const unsigned char* t = data + (int64_t(py) * w + px) * info.blockBytes;
        switch (format) {
          case BwGpuFormat::RG16S: put(px, py, Snorm16(Load16(t)), Snorm16(Load16(t + 2)), 0.0f, false); break;
          case BwGpuFormat::RGBA16S:
            put(px, py, Snorm16(Load16(t)), Snorm16(Load16(t + 2)), Snorm16(Load16(t + 4)), true);
            break;
          case BwGpuFormat::RGB10A2: {
            const uint32_t v = Load32(t);
            put(px, py, Unorm(v & 0x3FF, 1023), Unorm(v >> 10 & 0x3FF, 1023), Unorm(v >> 20 & 0x3FF, 1023), true);
            break;
          }
          default: put(px, py, Unorm(t[0], 255), Unorm(t[1], 255), Unorm(t[2], 255), true); break;
        }
      }
  });
  return true;
}

namespace {

// The bytes the file holds from its current position, to compare every announced size with;
// false for a stream that cannot seek.
bool BytesLeft(FILE* fp, uint64_t* bytes) {
  const off_t start = ftello(fp);
  if (start < 0 || fseeko(fp, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(fp);
  if (end < start || fseeko(fp, start, SEEK_SET) != 0) return false;
  *bytes = uint64_t(end - start);
  return true;
}

}  // namespace

void BwDdsToLoaderOrder(BwDdsImage* image) {
  const int64_t count = int64_t(image->width) * image->height;
  float* normals = image->normals.get();
  for (int64_t i = 0; i < count; ++i) std::swap(normals[i * 3], normals[i * 3 + 2]);
}

namespace {

// Level 0 of a file read into `data` (rows top row first) into *image: as bytes for the 8-bit
// layout when the caller asks for them, else decoded into normals.
bool TakeLevelZero(BwGpuFormat format, BwArray<unsigned char> data, int w, int h, int levels, BwDdsImage* image,
                   const char* container, std::string* error) {
  const uint64_t texels = uint64_t(w) * uint64_t(h);
  if (format == BwGpuFormat::RGBA8 && image->bytesFor8Bit) {
    // Red, green, blue, alpha to blue, green, red, in place: texel i's three bytes end before
    // texel i + 1's four begin, and each texel is loaded before it is stored.
    unsigned char* t = data.get();
    for (uint64_t i = 0; i < texels; ++i) {
      const unsigned char r = t[4 * i], g = t[4 * i + 1], b = t[4 * i + 2];
      t[3 * i] = b, t[3 * i + 1] = g, t[3 * i + 2] = r;
    }
    BwFlipRows(t, uint64_t(w) * 3, uint64_t(h));
    image->bytes = std::move(data);
  } else {
    BwArray<float> normals = BwAllocArray<float>(texels * 3);
    if (!normals) return Fail(error, std::string("out of memory for the ") + container + " texels");
    if (!BwDecodeGpuLevel(format, data.get(), w, h, normals.get(), error)) return false;
    image->normals = std::move(normals);
  }
  image->width = w;
  image->height = h;
  image->format = format;
  image->dxgiFormat = BwGpuFormatInfoOf(format).dxgiFormat;
  image->levelCount = levels;
  return true;
}

}  // namespace

bool BwIsDds(const unsigned char* head, size_t n) { return n >= 4 && std::memcmp(head, "DDS ", 4) == 0; }

bool BwReadDds(FILE* fp, BwDdsImage* image, std::string* error) {
  if (!fp || !image) return Fail(error, "no input");
  uint64_t fileBytes = 0;
  if (!BytesLeft(fp, &fileBytes)) return Fail(error, "the DDS input is not seekable");

  unsigned char h[DDS_BASE_BYTES + DDS_DX10_BYTES];
  if (fileBytes < DDS_BASE_BYTES || std::fread(h, 1, DDS_BASE_BYTES, fp) != DDS_BASE_BYTES)
    return Fail(error, "too short for a DDS header");
  if (!BwIsDds(h, DDS_BASE_BYTES)) return Fail(error, "not a DDS file");
  if (Load32(h + 4) != 124 || Load32(h + 76) != 32) return Fail(error, "bad DDS header size");
  const uint32_t flags = Load32(h + 8);
  const uint32_t height = Load32(h + 12), width = Load32(h + 16);
  const uint32_t pitch = Load32(h + 20), mipMapCount = Load32(h + 28);
  const uint32_t pfFlags = Load32(h + 80), fourCC = Load32(h + 84), bitCount = Load32(h + 88);
  const uint32_t caps2 = Load32(h + 112);
  if ((flags & DDSD_DEPTH) || (caps2 & (DDSCAPS2_CUBEMAP | DDSCAPS2_VOLUME)))
    return Fail(error, "DDS volumes and cube maps are not supported");

  BwGpuFormat format = BwGpuFormat::BC5;
  bool known = false;
  uint64_t headerBytes = DDS_BASE_BYTES;
  if ((pfFlags & DDPF_FOURCC) && fourCC == FourCC('D', 'X', '1', '0')) {
    if (fileBytes < DDS_BASE_BYTES + DDS_DX10_BYTES ||
        std::fread(h + DDS_BASE_BYTES, 1, DDS_DX10_BYTES, fp) != DDS_DX10_BYTES)
      return Fail(error, "too short for a DDS DX10 header");
    headerBytes += DDS_DX10_BYTES;
    const unsigned char* x = h + DDS_BASE_BYTES;
    if (!ByDxgi(Load32(x), &format)) return Fail(error, "unsupported DXGI format " + std::to_string(Load32(x)));
    known = true;
    if (Load32(x + 4) != DDS_DIMENSION_TEXTURE2D || (Load32(x + 8) & DDS_RESOURCE_MISC_TEXTURECUBE) ||
        Load32(x + 12) != 1)
      return Fail(error, "only single 2D DDS textures are supported");
  } else if ((pfFlags & DDPF_FOURCC) && fourCC == FourCC('B', 'C', '5', 'U')) {
    known = true;  // another name of BC5
  } else {
    // The legacy header of a layout: its four-character code, or its kind, bit count and red,
    // green and blue masks (alpha is not asked for).
    for (int i = 0; i < kBwGpuFormatCount && !known; ++i) {
      const LegacyPixelFormat legacy = Legacy(BwGpuFormat(i));
      if (kFormats[i].dxgiFormat == 0) continue;
      known = legacy.fourCC != 0 ? (pfFlags & DDPF_FOURCC) && fourCC == legacy.fourCC
                                 : !(pfFlags & DDPF_FOURCC) && (pfFlags & legacy.flags & (DDPF_RGB | DDPF_BUMPDUDV)) &&
                                       bitCount == legacy.bitCount && Load32(h + 92) == legacy.masks[0] &&
                                       Load32(h + 96) == legacy.masks[1] && Load32(h + 100) == legacy.masks[2];
      if (known) format = BwGpuFormat(i);
    }
  }
  if (!known) return Fail(error, "unsupported DDS pixel format");
  const BwGpuFormatInfo& info = kFormats[int(format)];

  if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE)
    return Fail(error, "DDS size " + std::to_string(width) + " x " + std::to_string(height) +
                           " is outside 1 to 65535");
  const int w = int(width), ht = int(height);
  const int levels = mipMapCount == 0 ? 1 : int(std::min<uint32_t>(mipMapCount, 64));
  if (mipMapCount > uint32_t(BwMipLevelCount(w, ht)))
    return Fail(error, "DDS mip count " + std::to_string(mipMapCount) + " is too large for " +
                           std::to_string(w) + " x " + std::to_string(ht));
  const uint64_t level0 = LevelBytes(info, w, ht);
  // A pitch field the flags say is set must be the row pitch or the size of level 0.
  const uint64_t rowPitch = RowBytes(info, w);
  if ((flags & (DDSD_PITCH | DDSD_LINEARSIZE)) && pitch != 0 && pitch != rowPitch && pitch != level0)
    return Fail(error, "DDS pitch " + std::to_string(pitch) + " does not match the size");
  uint64_t chainBytes = 0;  // at most 64 levels of below 2^36 bytes
  for (int level = 0; level < levels; ++level)
    chainBytes += LevelBytes(info, LevelSide(w, level), LevelSide(ht, level));
  if (chainBytes > fileBytes - headerBytes) return Fail(error, "DDS texel data is truncated");

  BwArray<unsigned char> data = BwAllocArray<unsigned char>(level0);
  if (!data) return Fail(error, "out of memory for the DDS texels");
  if (std::fread(data.get(), 1, size_t(level0), fp) != level0) return Fail(error, "could not read the DDS texels");
  return TakeLevelZero(format, std::move(data), w, ht, levels, image, "DDS", error);
}

// ---- Reading KTX2 ---------------------------------------------------------------------------

namespace {

constexpr uint64_t KTX2_HEADER_BYTES = 80;  // identifier, header and the sgd fields
constexpr uint64_t KTX2_LEVEL_BYTES = 24;   // one entry of the level index

// The layout with Vulkan format vk.
bool ByVulkan(uint32_t vk, BwGpuFormat* format) {
  for (int i = 0; i < kBwGpuFormatCount; ++i)
    if (kFormats[i].vkFormat == vk) return *format = BwGpuFormat(i), true;
  return false;
}

}  // namespace

bool BwIsKtx2(const unsigned char* head, size_t n) {
  return n >= sizeof KTX2_IDENTIFIER && std::memcmp(head, KTX2_IDENTIFIER, sizeof KTX2_IDENTIFIER) == 0;
}

bool BwReadKtx2(FILE* fp, BwDdsImage* image, std::string* error) {
  if (!fp || !image) return Fail(error, "no input");
  const off_t start = ftello(fp);  // the level index gives offsets from here
  uint64_t fileBytes = 0;
  if (!BytesLeft(fp, &fileBytes)) return Fail(error, "the KTX2 input is not seekable");

  // The header and the level index: at most one entry a level of a 65535 x 65535 chain.
  unsigned char h[KTX2_HEADER_BYTES + 16 * KTX2_LEVEL_BYTES];
  const size_t first = KTX2_HEADER_BYTES + KTX2_LEVEL_BYTES;
  if (fileBytes < first || std::fread(h, 1, first, fp) != first) return Fail(error, "too short for a KTX2 header");
  if (!BwIsKtx2(h, sizeof h)) return Fail(error, "not a KTX2 file");
  const uint32_t vkFormat = Load32(h + 12), width = Load32(h + 20), height = Load32(h + 24);
  const uint32_t depth = Load32(h + 28), layers = Load32(h + 32), faces = Load32(h + 36);
  const uint32_t levelCount = Load32(h + 40), scheme = Load32(h + 44);
  static const char* const kSchemes[] = {"", "BasisLZ", "Zstandard", "ZLIB"};
  if (scheme != 0)
    return Fail(error, "supercompressed KTX2 files are not supported (scheme " + std::to_string(scheme) +
                           (scheme < 4 ? std::string(", ") + kSchemes[scheme] : std::string()) + ")");
  if (vkFormat == 0) return Fail(error, "KTX2 files without a Vulkan format (Basis Universal) are not supported");
  BwGpuFormat format = BwGpuFormat::BC5;
  if (!ByVulkan(vkFormat, &format)) return Fail(error, "unsupported Vulkan format " + std::to_string(vkFormat));
  const BwGpuFormatInfo& info = kFormats[int(format)];
  if (depth != 0 || faces != 1 || layers > 1) return Fail(error, "only single 2D KTX2 textures are supported");
  if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE)
    return Fail(error, "KTX2 size " + std::to_string(width) + " x " + std::to_string(height) +
                           " is outside 1 to 65535");
  const int w = int(width), ht = int(height);
  if (levelCount > uint32_t(BwMipLevelCount(w, ht)))
    return Fail(error, "KTX2 level count " + std::to_string(levelCount) + " is too large for " + std::to_string(w) +
                           " x " + std::to_string(ht));
  // The level index (at least one entry) must lie in the file; level 0 is its first entry.
  const uint64_t levels = std::max<uint32_t>(levelCount, 1), indexEnd = KTX2_HEADER_BYTES + levels * KTX2_LEVEL_BYTES;
  if (indexEnd > fileBytes || std::fread(h + first, 1, size_t(indexEnd - first), fp) != indexEnd - first)
    return Fail(error, "the KTX2 level index is truncated");
  const uint64_t offset = Load64(h + 80), length = Load64(h + 88);
  const uint64_t level0 = LevelBytes(info, w, ht);
  if (length != level0)
    return Fail(error, "KTX2 level 0 holds " + std::to_string(length) + " bytes, not the " + std::to_string(level0) +
                           " of its size");
  // The blocks after the index lie in the file; the levels after the index and every block.
  uint64_t levelsStart = indexEnd;
  const struct {
    const char* name;
    uint64_t offset, length;
  } blocks[] = {{"data format descriptor", Load32(h + 48), Load32(h + 52)},
                {"key/value data", Load32(h + 56), Load32(h + 60)},
                {"supercompression data", Load64(h + 64), Load64(h + 72)}};
  for (const auto& b : blocks) {
    if (b.offset > fileBytes || b.length > fileBytes - b.offset || (b.length > 0 && b.offset < indexEnd))
      return Fail(error, std::string("the KTX2 ") + b.name + " lies outside the file or in its header");
    if (b.length > 0) levelsStart = std::max(levelsStart, b.offset + b.length);
  }
  for (uint64_t i = 0; i < levels; ++i) {
    const uint64_t at = Load64(h + 80 + i * KTX2_LEVEL_BYTES), bytes = Load64(h + 88 + i * KTX2_LEVEL_BYTES);
    if (at > fileBytes || bytes > fileBytes - at) return Fail(error, "KTX2 texel data is truncated");
    if (at < levelsStart)
      return Fail(error, "KTX2 level " + std::to_string(i) + " starts at byte " + std::to_string(at) +
                             ", before the end of the header and its blocks at byte " + std::to_string(levelsStart));
  }

  BwArray<unsigned char> data = BwAllocArray<unsigned char>(level0);
  if (!data) return Fail(error, "out of memory for the KTX2 texels");
  if (fseeko(fp, start + off_t(offset), SEEK_SET) != 0 || std::fread(data.get(), 1, size_t(level0), fp) != level0)
    return Fail(error, "could not read the KTX2 texels");
  // Rows top row first, KTX2's default orientation, as the DDS levels are.
  return TakeLevelZero(format, std::move(data), w, ht, int(levels), image, "KTX2", error);
}

// DDS: height and width at bytes 12 and 16 (little-endian). The reader holds level 0 as it is
// stored (at most eight bytes a texel, in the 16-bit RGBA layout) and three floats a texel.
bool BwProbeDds(const unsigned char* head, size_t n, uint64_t, BwImageProbe* probe) {
  if (n < 128 || Load32(head + 4) != 124) return false;
  if (!BwSetProbeSize(Load32(head + 16), Load32(head + 12), probe)) return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * (8 + 12);
  return true;
}

// KTX2: width and height at bytes 20 and 24 (little-endian); the reader holds level 0 as the
// DDS reader does.
bool BwProbeKtx2(const unsigned char* head, size_t n, uint64_t, BwImageProbe* probe) {
  if (n < 28 || !BwSetProbeSize(Load32(head + 20), Load32(head + 24), probe)) return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * (8 + 12);
  return true;
}
