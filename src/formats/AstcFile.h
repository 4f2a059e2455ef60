// .astc files: the container of astcenc's command line, one ASTC image (one mip level) a file.
//
//   offset 0   magic          4 bytes 0x13 0xAB 0xA1 0x5C (0x5CA1AB13 little-endian)
//   offset 4   block width    8-bit, texels
//   offset 5   block height   8-bit
//   offset 6   block depth    8-bit, 1 for a 2D image
//   offset 7   width          24-bit little-endian, texels
//   offset 10  height         24-bit little-endian
//   offset 13  depth          24-bit little-endian, 1 for a 2D image
//   offset 16  blocks         16 bytes each, rows of blocks from the top of the picture down
//
// The writer writes 2D normal maps as AstcCodec.h encodes them (x in red, green and blue, y in
// alpha). The reader takes 2D files of the block sizes ASTC defines from 4 x 4 to 12 x 12 and
// sizes 1 to 65535, whose blocks fill the rest of the file exactly, and returns their normals
// (z rebuilt from x and y); it refuses 3D images and blocks, other block sizes, larger sizes and
// files whose length disagrees with their header, before anything is allocated. Problems come
// back as false with one message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct BwDdsImage;
struct BwImageProbe;

constexpr uint64_t BW_ASTC_HEADER_BYTES = 16;

// Writes one .astc file: Begin writes the header, Blocks takes the image's blocks in file order
// in as many pieces as wanted, End checks that they all arrived. The stream is the caller's.
class BwAstcFileWriter {
 public:
  bool Begin(FILE* fp, int blockWidth, int blockHeight, int width, int height, std::string* error);
  bool Blocks(const unsigned char* bytes, uint64_t byteCount, std::string* error);
  bool End(std::string* error);

 private:
  FILE* fp_ = nullptr;
  uint64_t bytesLeft_ = 0;  // bytes of blocks still to come
};

// Whether the n bytes at head start with the .astc magic number.
bool BwIsAstc(const unsigned char* head, size_t n);
// The size and reader memory of the picture whose .astc file starts with the n bytes at head.
bool BwProbeAstc(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);

// The normals of a .astc file read from its current position to its end (three floats a texel,
// rows bottom row first, as BwDecodeAstcImage gives them). levelCount is 1, dxgiFormat 0, and
// format the ASTC layout of the file's block size when it is one Bumpweld writes.
bool BwReadAstc(FILE* fp, BwDdsImage* image, std::string* error);
