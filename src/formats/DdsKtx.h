// GPU-ready textures: the encodings (BC5, BC5 signed, and four uncompressed texel layouts), the
// DDS and KTX2 containers that hold a whole mip chain of them, and DDS and KTX2 readers.
//
// Writes DDS files with the DX10 extended header (a 2D texture, array size 1, levels largest
// first) and KTX2 files (no supercompression, one basic data format descriptor, one key/value
// entry KTXwriter; levels smallest first in the file as KTX2 requires). Rows go top row first in
// both, so KTX2 files carry the default orientation "rd" without saying so. Everything in both
// files is little-endian whatever the host.
//
// Reads level 0 of DDS files in BC5 (DX10 header, or the legacy four-character codes ATI2, BC5U,
// BC5S), BC3 (DXT5, x in alpha and y in green), and the four uncompressed layouts (DX10 header),
// and refuses everything else (volumes, cube maps, arrays, other formats) and every header whose
// sizes, mip count or pitch disagree with each other or with the bytes the file holds; sizes are
// checked before anything is allocated. Problems come back as false with one message.
//
// Levels of a w x h chain are max(1, w >> n) x max(1, h >> n); BC5 levels are padded to whole
// 4 x 4 blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "BwArray.h"

class BwAstcEncoder;
struct BwImageProbe;

// The layouts of GPU textures. BC3N is BC3 with x in alpha and y in green; the EAC and ASTC
// layouts are read only from (and written only to) KTX2 and .astc files, which DDS files cannot
// name.
enum class BwGpuFormat {
  BC5, BC5S, RG16S, RGBA16S, RGB10A2, RGBA8, BC3N, EACRG11, EACRG11S, ASTC4X4, ASTC5X5, ASTC6X6, ASTC8X8
};
constexpr int kBwGpuFormatCount = 13;
enum class BwContainer { DDS, KTX2 };

struct BwGpuFormatInfo {
  const char* name;     // the format's name on a command line: bc5, bc5s, rg16s, ...
  uint32_t dxgiFormat;  // DXGI_FORMAT value in the DDS DX10 header (0: DDS files cannot hold it)
  uint32_t vkFormat;    // VkFormat value in the KTX2 header
  uint32_t blockBytes;  // bytes of a block (compressed) or of one texel
  bool compressed;      // stored as blocks of blockWidth x blockHeight texels
  uint32_t typeSize;    // KTX2 typeSize: 1 for blocks and bytes, else the component word size
  int blockWidth, blockHeight;  // 1 x 1 for the uncompressed layouts
  bool twoComponents;   // x and y only: a reader rebuilds z = sqrt(1 - x^2 - y^2)
};

const BwGpuFormatInfo& BwGpuFormatInfoOf(BwGpuFormat format);
// The format named `name` (as in BwGpuFormatInfo::name); false for an unknown name.
bool BwGpuFormatFromName(const char* name, BwGpuFormat* format);
// The names of the formats in `mask` (bits 1 << int(format)), as "a, b or c".
std::string BwGpuFormatNames(uint32_t mask);

// Levels of the full chain of a width x height texture, down to 1 x 1.
int BwMipLevelCount(int width, int height);
// Bytes of one width x height level in `format`.
uint64_t BwGpuLevelBytes(BwGpuFormat format, int width, int height);

// How the lossy layouts are made: rounding of the uncompressed ones, the ASTC encoder's effort
// (0 fastest, 1 fast, 2 medium, 3 thorough, 4 very thorough, 5 exhaustive), and the ASTC
// encoder that keeps its set-up from call to call (null: one for the call), which a writer of
// many levels or bands owns.
struct BwGpuEncodeOptions {
  bool round = false;
  int astcQuality = 2;
  BwAstcEncoder* astcEncoder = nullptr;
};

// Encodes a width x height normal image (rows bottom row first, numComponents floats a texel:
// x, y, z) into BwGpuLevelBytes bytes of `format`, top row first. The uncompressed layouts
// carry the values of the .kep and Targa encodings: rg16s and rgba16s the signed 16-bit
// components (alpha 32767), rgb10a2 the 10-bit fields of .kep (x in bits 0-9, y in 10-19, z in
// 20-29) with alpha 3, rgba8 the Targa bytes in red, green, blue, alpha order with alpha 255.
// With `round` the uncompressed layouts round to nearest and clamp, as the other encoders do
// with --round (an empty texel then keeps the Targa bytes 127 of an empty texel in rgba8). The
// ASTC layouts are astcenc's normal-map mode (see AstcCodec.h), x in red, green and blue and y
// in alpha. False, with a message, when this build cannot encode `format` or the encoder fails.
bool BwEncodeGpuLevel(BwGpuFormat format, const float* image, int width, int height, int numComponents,
                      unsigned char* out, const BwGpuEncodeOptions& options = {}, std::string* error = nullptr);

// Decodes a width x height level of `format` (top row first) into three floats a texel, rows
// bottom row first: what a reader of the texture gets, z rebuilt for the two-component layouts
// and the unsigned ones mapped from [0, 1] to [-1, 1]. False, with a message, when this build
// cannot decode `format`.
bool BwDecodeGpuLevel(BwGpuFormat format, const unsigned char* data, int width, int height, float* normals,
                      std::string* error = nullptr);

// Decodes one row of 4 x 4 blocks of a two-component block layout (BC5, BC5 signed, BC3n, EAC
// RG11, EAC RG11 signed) `width` texels wide: its top `rows` rows (1 to 4) of x and of y, each
// row `width` floats after the last, top row first. False for any other layout.
bool BwDecodeTwoChannelBlockRow(BwGpuFormat format, const unsigned char* blocks, int width, int rows, float* x,
                                float* y);

// Writes one texture: Begin writes the headers (every level size follows from the size), Level
// takes each level's bytes in order (level 0 first, a level in as many pieces as wanted, top
// row first), End checks that every level arrived and flushes. The stream is the caller's.
//
// DDS files are written straight through. A KTX2 file needs its smallest level first: on a
// regular file each piece goes directly to its place (computed in advance; the space before
// it is filled in later), on anything else (a pipe) the levels are held in memory and written
// in file order by End. Both give the same bytes.
class BwGpuTextureWriter {
 public:
  bool Begin(FILE* fp, BwContainer container, BwGpuFormat format, int width, int height,
             int levelCount, std::string* error, bool dx9 = false);
  bool Level(int level, const unsigned char* bytes, uint64_t byteCount, std::string* error);
  bool End(std::string* error);

 private:
  bool Put(uint64_t offset, const unsigned char* bytes, uint64_t count, std::string* error);

  FILE* fp_ = nullptr;
  BwContainer container_ = BwContainer::DDS;
  BwGpuFormat format_ = BwGpuFormat::BC5;
  bool seekable_ = false;
  int64_t start_ = 0;                   // stream position of the file's first byte
  std::vector<uint64_t> levelOffsets_;  // file offset of each level's first byte
  std::vector<uint64_t> levelBytes_;
  std::vector<std::vector<unsigned char>> held_;  // KTX2 levels kept for End (not seekable)
  int level_ = 0;                                 // the level being received
  uint64_t levelDone_ = 0;                        // its bytes received so far
};

// The header bytes Begin writes, for the tests and for writers of their own.
// With `dx9` the DDS header is the legacy one without the DX10 extension: BC5 with the four-
// character code ATI2, BC5 signed BC5S, BC3n DXT5, rgba16s the code 110 (Q16W16V16U16), rg16s
// the V16U16 bump masks, rgb10a2 and rgba8 their RGB and alpha masks.
std::vector<unsigned char> BwDdsHeader(BwGpuFormat format, int width, int height, int levelCount, bool dx9 = false);
// The KTX2 bytes before the first level's data, and each level's file offset.
std::vector<unsigned char> BwKtx2Header(BwGpuFormat format, int width, int height, int levelCount,
                                        std::vector<uint64_t>* levelOffsets);

// Level 0 of a DDS or KTX2 file as normals.
struct BwDdsImage {
  int width = 0;
  int height = 0;
  BwGpuFormat format = BwGpuFormat::BC5;  // the layout it was stored in
  uint32_t dxgiFormat = 0;  // the format as a DXGI_FORMAT value (77 for BC3; 0 for none)
  int levelCount = 0;
  // Three floats a texel, rows bottom row first. Formats without z get
  // z = sqrt(max(0, 1 - x*x - y*y)); unsigned formats map [0, 1] to [-1, 1].
  BwArray<float> normals;
  // Set by the caller: the 8-bit layout (rgba8) is given as `bytes` instead of `normals`, three a
  // texel, blue, green, red, rows bottom row first (the bytes of the Targa file of the picture),
  // a quarter of the memory and no conversion to floats and back.
  bool bytesFor8Bit = false;
  BwArray<unsigned char> bytes;
};

bool BwReadDds(FILE* fp, BwDdsImage* image, std::string* error);

// Puts a read image's normals in the order of the other containers' colour channels, x, y, z as
// blue, green, red.
void BwDdsToLoaderOrder(BwDdsImage* image);

// Whether the n bytes at head start like a DDS file (its magic number "DDS ").
bool BwIsDds(const unsigned char* head, size_t n);

// Level 0 of a KTX2 file in one of the layouts the writer writes, as normals (as BwReadDds
// gives them; dxgiFormat is the DXGI format of the same layout). Rows are read top row first,
// KTX2's default orientation. Refuses supercompressed files (BasisLZ, Zstandard, ZLIB), files
// without a Vulkan format (Basis Universal), other formats, volumes, cube maps and arrays, and
// every header whose sizes, level count or level 0 entry disagree with each other or with the
// bytes the file holds, whose data format descriptor, key/value or supercompression block lies
// outside the file or in its header and level index, and whose levels do not all lie in the file
// after those; sizes are checked before anything is allocated.
bool BwReadKtx2(FILE* fp, BwDdsImage* image, std::string* error);

// Whether the n bytes at head start with the KTX2 file identifier (12 bytes).
bool BwIsKtx2(const unsigned char* head, size_t n);
// The size and reader memory of the picture whose file starts with the n bytes at head (the
// container's row of the table of containers uses it); false when the header tells nothing.
bool BwProbeDds(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);
bool BwProbeKtx2(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);
