// OpenEXR files: one channel of a single-part image read as float heights, through the
// OpenEXR C library.
//
// Reads scanline and tiled images (the first level of a mip or rip map), in any compression the
// library decodes; HALF, FLOAT and UINT samples become float (UINT above 2^24 rounds to the
// nearest float). The channel is the one the caller names (a full name such as "Y", "R" or
// "height.Y"), else the only channel, else the one named "Y". Heights come out bottom row first
// (OpenEXR stores the top row first), texel (x, y) at heights[y * width + x] over the data
// window.
//
// It refuses, with a one-line message: files without the OpenEXR magic number, multi-part and
// deep images, subsampled channels, a missing channel (listing those there are), several
// channels when none is named and none is "Y", data windows above 65535 x 65535, chunks that
// unpack to more than 512 MiB, and damaged or missing chunks. Memory for the heights grows with
// the chunks actually decoded, never with what a header announces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "BwArray.h"

struct BwHeightImage {
  int width = 0;
  int height = 0;
  BwArray<float> heights;  // width * height values, bottom row first
};

// Bytes of the OpenEXR magic number, the most BwIsExr looks at.
constexpr size_t BW_EXR_MAGIC_BYTES = 4;

// True when the first n bytes of a file are the OpenEXR magic number.
bool BwIsExr(const unsigned char* head, size_t n);

// Reads channel `channel` (null or empty: the only one, else "Y") of the OpenEXR file at path.
bool BwReadExr(const char* path, const char* channel, BwHeightImage* image, std::string* error);

// Reads like BwReadExr from a file read from its current position (or a pipe), as far as the
// reads of the image go and no further than what the picture its header announces can need.
bool BwReadExrFile(FILE* fp, const char* channel, BwHeightImage* image, std::string* error);
// The same after the `headBytes` bytes at `head` that were read from fp already.
bool BwReadExrStream(FILE* fp, const unsigned char* head, size_t headBytes, const char* channel,
                     BwHeightImage* image, std::string* error);

// Reads like BwReadExr from an OpenEXR file held in memory.
bool BwReadExrMemory(const unsigned char* data, size_t size, const char* channel, BwHeightImage* image,
                     std::string* error);
