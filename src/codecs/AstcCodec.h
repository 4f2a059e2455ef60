// ASTC compression of normal images through Arm's astcenc library (LDR profile, unsigned
// normalised), and the decoder the ASTC readers use.
//
// The encoder stores a normal map the way astcenc's normal-map mode wants it: the two components
// x and y, each mapped from [-1, 1] to (c + 1) / 2, x in red, green and blue and y in alpha, so
// that every block spends its endpoint bits on two values; a shader reads x from red and y from
// alpha and rebuilds z. The library weighs each block's error by how far it turns the normal.
// It is given the float normals themselves (no 8-bit step in between). The bytes never depend
// on the number of threads: each block is encoded from its own texels alone, whichever thread
// takes it.
//
// Blocks are 16 bytes, ceil(width / blockWidth) to a row of blocks, the top row of blocks first;
// blocks past the right or bottom edge repeat the last column or row. So an image encoded in
// bands of rows gives the blocks of the whole image when every band but the lowest is a whole
// number of block rows high.
//
// Problems (a block size astcenc does not take, memory) come back as false with one message.
#pragma once

#include <cstdint>
#include <string>

struct astcenc_context;

// The library's search presets, fastest to most thorough: the values of --astc-quality.
enum { BW_ASTC_FASTEST = 0, BW_ASTC_FAST, BW_ASTC_MEDIUM, BW_ASTC_THOROUGH, BW_ASTC_VERYTHOROUGH, BW_ASTC_EXHAUSTIVE };
constexpr int BW_ASTC_QUALITY_COUNT = 6;

// The name of a quality on the command line (fastest, fast, medium, thorough, verythorough,
// exhaustive), or null for a number outside 0 to 5.
inline const char* BwAstcQualityName(int quality) {
  static const char* const kNames[BW_ASTC_QUALITY_COUNT] = {"fastest",  "fast",         "medium",
                                                            "thorough", "verythorough", "exhaustive"};
  return quality >= 0 && quality < BW_ASTC_QUALITY_COUNT ? kNames[quality] : nullptr;
}

// Bytes of the blocks of a width x height image in blockWidth x blockHeight blocks (sides below
// 2^16: at most 2^36 bytes).
inline uint64_t BwAstcImageBytes(int width, int height, int blockWidth, int blockHeight) {
  return uint64_t((width + blockWidth - 1) / blockWidth) * uint64_t((height + blockHeight - 1) / blockHeight) * 16;
}

// Whether blockWidth x blockHeight is one of the 2D block sizes ASTC defines (4 x 4 to 12 x 12).
inline bool BwAstcBlockSizeValid(int blockWidth, int blockHeight) {
  static const int kSizes[][2] = {{4, 4}, {5, 4},  {5, 5},  {6, 5},  {6, 6},   {8, 5},   {8, 6},
                                  {8, 8}, {10, 5}, {10, 6}, {10, 8}, {10, 10}, {12, 10}, {12, 12}};
  for (const auto& size : kSizes)
    if (size[0] == blockWidth && size[1] == blockHeight) return true;
  return false;
}

// An encoder that keeps the library's context (its tables and the threads' working memory) from
// image to image while the block size, the quality and the thread count stay the same: setting
// it up costs more than encoding a small image, and a mip chain encoded in bands is many images.
// One image at a time.
class BwAstcEncoder {
 public:
  BwAstcEncoder() = default;
  ~BwAstcEncoder();
  BwAstcEncoder(const BwAstcEncoder&) = delete;
  BwAstcEncoder& operator=(const BwAstcEncoder&) = delete;

  // Encodes a width x height normal image (rows stored bottom row first, numComponents floats a
  // texel: x, y, ...) into BwAstcImageBytes bytes at out, over the threads the process may use
  // (BwThreadCount). `quality` is one of BW_ASTC_FASTEST to BW_ASTC_EXHAUSTIVE. Components that
  // are not numbers count as 0, values outside [-1, 1] as the nearest end.
  bool Encode(const float* image, int width, int height, int numComponents, int blockWidth, int blockHeight,
              int quality, unsigned char* out, std::string* error);

 private:
  bool Prepare(int blockWidth, int blockHeight, int quality, int threads, std::string* error);

  astcenc_context* context_ = nullptr;
  int blockWidth_ = 0, blockHeight_ = 0, quality_ = -1, threads_ = 0;
};

// Encodes one image with an encoder of its own (see BwAstcEncoder::Encode).
bool BwEncodeAstcImage(const float* image, int width, int height, int numComponents, int blockWidth,
                       int blockHeight, int quality, unsigned char* out, std::string* error);

// Decodes the blocks of a width x height image (as the encoder lays them out, BwAstcImageBytes
// bytes) into normals: three floats a texel, rows bottom row first. The blocks are decoded to
// 8-bit values as astcenc's own command line decodes them to a PNG file; x is red and y alpha,
// each v / 255 * 2 - 1, and z = sqrt(max(0, 1 - x^2 - y^2)). Blocks that are not valid LDR
// blocks decode to the library's error colour (x = 1, y = 1). The image is decoded in bands of
// block rows, so besides the normals it takes little memory.
bool BwDecodeAstcImage(const unsigned char* blocks, int width, int height, int blockWidth, int blockHeight,
                       float* normals, std::string* error);

