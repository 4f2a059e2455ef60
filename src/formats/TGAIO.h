// Targa files: the 18-byte header, and reading and writing texel blocks.
//
// The reader takes uncompressed (types 2, 3) and run-length encoded (10, 11) true-colour and
// grey images of any depth, skips the image ID field and any colour map, and refuses
// colour-mapped and other image types. It returns the texels bottom row first, left to right,
// whatever the file's origin, with each texel's bytes in file order (blue, green, red, alpha).
// It checks the announced size against the data the file really holds before it allocates.
// The writer writes uncompressed true-colour files, bottom-left origin, at 24 or 32 bits.
// Both report problems with one diagnostic (BwDiagnostic: the running job's console, else
// standard error) and return false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "BwArray.h"
#include "HeaderRecords.h"

struct BwImageProbe;


static_assert(sizeof(TGAHeaderInfo) == 18, "Targa header is 18 packed bytes");
static_assert(offsetof(TGAHeaderInfo, cmorg) == 3, "cmorg at byte 3");
static_assert(offsetof(TGAHeaderInfo, cmsize) == 7, "cmsize at byte 7");
static_assert(offsetof(TGAHeaderInfo, imwidth) == 12, "imwidth at byte 12");
static_assert(offsetof(TGAHeaderInfo, imdesc) == 17, "imdesc at byte 17");

// Reads a Targa image from fp into *pixels: width * height texels of bitDepth / 8 bytes. From a
// stream that cannot seek (a pipe), `prefix` holds the bytes already taken from it.
bool TGAReadImage(FILE* fp, int* width, int* height, int* bitDepth, BwArray<unsigned char>* pixels,
                  const std::vector<unsigned char>& prefix = {});

// A file that texels were mapped from, held open so that its size can be checked again: a file
// cut short by another process while it is mapped reads as zeros past its new end.
struct BwFileIdentity {
  std::shared_ptr<const int> fd;  // a descriptor of its own, closed with the last copy
  uint64_t size = 0;
};
// Whether the file still has the size it had when it was mapped (true for no file).
bool BwFileIntact(const BwFileIdentity& file);

// The texels of a Targa image: a view of the mapped file where the file holds them as they are
// needed (uncompressed, bottom-left origin, left to right), else a decoded copy.
struct TGATexels {
  const unsigned char* data = nullptr;
  BwArray<unsigned char> decoded;
  std::shared_ptr<const void> mapping;
  BwFileIdentity identity;  // set while texels are read from a mapping
};

// Reads like TGAReadImage, with the same checks and messages; with `mapFile` a regular file is
// mapped instead of copying texels that can be used as they lie.
bool TGAReadTexels(FILE* fp, int* width, int* height, int* bitDepth, TGATexels* texels,
                   bool mapFile = true, const std::vector<unsigned char>& prefix = {});

// Writes width x height texels of bitDepth / 8 bytes (24 or 32) as an uncompressed Targa file.
// With aSwapRedBlue false, bytes 0 and 2 of each texel are exchanged on the way out.
bool TGAWriteImage(FILE* fp, int width, int height, int bitDepth, const unsigned char* image,
                   bool aSwapRedBlue);

// Writes like TGAWriteImage, with the same checks and messages, taking the texels in file order
// from `source` one piece at a time, so the whole converted image never needs to be in memory.
bool TGAWriteTexels(FILE* fp, int width, int height, int bitDepth, const BwTexelSource& source);
// The size and reader memory of the picture whose file starts with the n bytes at head (the
// container's row of the table of containers uses it); false when the header tells nothing.
bool BwProbeTarga(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);
