// PNG files: recognising and reading them, through libspng.
//
// The reader takes every colour type and bit depth of the format, interlaced or not. Palette
// images become colour, grey images of 1, 2 and 4 bits are scaled to 8 bits, 16-bit images
// stay 16-bit; a tRNS chunk adds an alpha channel (palette, grey and colour images alike).
// Rows come out bottom row first with colour in blue, green, red order (see DecodedImage.h).
// Gamma, colour profiles and other ancillary chunks are not applied. A file held whole whose
// samples need no conversion (8 or 16 bits, not interlaced, no palette or tRNS) and that holds
// nothing after its image data but IEND has its image data inflated at once with libdeflate and
// its row filters undone here; any other file, or one that is not perfectly formed, is read
// row by row by libspng.
//
// It refuses, with a one-line message: files without the PNG signature, sizes above
// 65535 x 65535, images whose data could not fit in the file (deflate expands at most 1032
// times, so a header announcing more is refused before anything is allocated), any bad CRC,
// a bad zlib stream or checksum, a file cut short anywhere before IEND, an ancillary chunk
// above 16 MiB, more than 64 MiB of them, or more than 1000 of one kind (text chunks, say). Decompression stops at the size the header announces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "DecodedImage.h"

struct BwImageProbe;

// Bytes of the PNG signature, the most BwIsPng looks at.
constexpr size_t BW_PNG_SIGNATURE_BYTES = 8;

// True when the first n bytes of a file are the PNG signature (n below 8 is never a PNG).
bool BwIsPng(const unsigned char* head, size_t n);
// The size and reader memory of the picture whose file starts with the n bytes at head (the
// container's row of the table of containers uses it); false when the header tells nothing.
bool BwProbePng(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);

// Reads a PNG image from fp, from its current position to its end (a regular file or a pipe).
bool BwReadPng(FILE* fp, BwDecodedImage* image, std::string* error);

// Reads a PNG image as it streams from fp (a pipe), after the `headBytes` bytes at `head` that
// were read from it already, and no further than the image's end: nothing after IEND is read,
// and what is read is bounded by what the image needs.
bool BwReadPngStream(FILE* fp, const unsigned char* head, size_t headBytes, BwDecodedImage* image,
                     std::string* error);

// Reads a PNG image held in memory.
bool BwReadPngMemory(const unsigned char* data, size_t size, BwDecodedImage* image, std::string* error);
