// The header records of Targa and .kep files as they lie in memory, shared by their readers and
// writers and by the byte-order converters (mac/MacSpecific.h).
#pragma once

#include <cstdint>

// ---- Targa: the 18-byte header ----------------------------------------------------------
typedef unsigned char BYTE;
typedef uint16_t WORD;

#pragma pack(push, 1)
struct _TGAHeaderInfo {
  BYTE idlen;     // length of the image ID field after the header
  BYTE cmtype;    // colour map type
  BYTE imtype;    // image type
  WORD cmorg;     // first colour map entry
  WORD cmcnt;     // colour map entries
  BYTE cmsize;    // bits per colour map entry
  WORD imxorg;
  WORD imyorg;
  WORD imwidth;   // texels
  WORD imheight;  // texels
  BYTE imdepth;   // bits per texel
  BYTE imdesc;    // bits 0-3 attribute bits, bit 4 right-to-left, bit 5 top-left origin
};
#pragma pack(pop)
typedef _TGAHeaderInfo TGAHeaderInfo;

// ---- .kep: the texture record (see KepFileIO.h for the file layout) ----------------------
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
