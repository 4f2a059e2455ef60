// Raw .kep textures: a 13-byte little-endian header followed by the texel block as it lies in
// memory.
//
//   offset 0  width     16-bit
//   offset 2  height    16-bit
//   offset 4  bitDepth  8-bit, bits per texel (bitDepth / 8 bytes a texel)
//   offset 5  format    32-bit ZelBitmapFormatEnum
//   offset 9  4 bytes   always zero (a pointer slot in the record; no address reaches a file)
//   offset 13 texels    width * height * (bitDepth / 8) bytes, host byte order
//
// Neither function interprets `format`. Problems are reported with one message on standard
// error and a false result.
#pragma once

#include <cstdint>
#include <cstdio>

#include "BwArray.h"

enum ZelBitmapFormatEnum : uint32_t {
  ZEL_BITMAP_FORMAT_UNKNOWN = 0,
  ZEL_BITMAP_FORMAT_8 = 1,
  ZEL_BITMAP_FORMAT_88 = 2,
  ZEL_BITMAP_FORMAT_888 = 3,
  ZEL_BITMAP_FORMAT_8888 = 4,
  ZEL_BITMAP_FORMAT_16 = 5,
  ZEL_BITMAP_FORMAT_1616 = 6,
  ZEL_BITMAP_FORMAT_16161616 = 7,
  ZEL_BITMAP_FORMAT_S1616 = 8,
  ZEL_BITMAP_FORMAT_S16161616 = 9,
  ZEL_BITMAP_FORMAT_1010102 = 10,
  ZEL_BITMAP_FORMAT_FORCE_DWORD = 0xFFFFFFFFu,
};

// In memory the record carries a full-width texel pointer; on disk the header is 13 bytes.
struct ZelBitmap {
  uint16_t width;
  uint16_t height;
  uint8_t bitDepth;
  ZelBitmapFormatEnum format;
  unsigned char* pixels;
};

constexpr int ZEL_KEP_HEADER_BYTES = 13;

// Writes *bmp and its texels to fileName. The record is the same after the call as before.
bool ZelWrite3DKEPImageFile(ZelBitmap* bmp, const char* fileName);
// Writes the header of *bmp and its texel block, taken from `source` one piece at a time, to the
// open stream fp, with the writer's messages; opening and closing are the caller's.
bool ZelWriteKEPStream(FILE* fp, ZelBitmap* bmp, const BwTexelSource& source);
// Reads fileName into *bmp; bmp->pixels receives a block the caller frees with delete[].
bool ZelRead3DKEPImageFile(ZelBitmap* bmp, const char* fileName);
