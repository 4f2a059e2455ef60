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
#include "HeaderRecords.h"


// Writes *bmp and its texels to fileName. The record is the same after the call as before.
bool ZelWrite3DKEPImageFile(ZelBitmap* bmp, const char* fileName);
// Writes the header of *bmp and its texel block, taken from `source` one piece at a time, to the
// open stream fp, with the writer's messages; opening and closing are the caller's.
bool ZelWriteKEPStream(FILE* fp, ZelBitmap* bmp, const BwTexelSource& source);
// Reads fileName into *bmp; bmp->pixels receives a block the caller frees with delete[].
bool ZelRead3DKEPImageFile(ZelBitmap* bmp, const char* fileName);
