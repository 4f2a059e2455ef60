// TIFF files, through libtiff: recognising and reading them, and writing RGB images.
//
// The reader takes the first image of a file: 8- or 16-bit unsigned samples, grey (one sample,
// two with alpha) or RGB (three, four with alpha), contiguous samples in strips or tiles, in
// any compression libtiff decodes, top-left or bottom-left origin. Rows come out bottom row
// first with colour in blue, green, red order (see DecodedImage.h), 16-bit samples as native
// uint16_t values; alpha is kept whether it is associated or not.
//
// It refuses, with a one-line message: files without a TIFF byte-order mark, sizes above
// 65535 x 65535, other sample formats, depths, colour models (palette, YCbCr, CMYK, ...) and
// orientations (values outside 1 to 8 as damaged), separate planes, images whose texels could
// not fit in the file, or a strip or tile whose texels could not fit in its stored bytes, at the
// most the compression can expand (checked before anything is allocated), tiles larger than
// the image, and damaged or missing strips or tiles. The texels are decoded into a buffer grown
// band by band as the strips or tiles arrive (never more than twice the image), so a header
// that lies fails at its first strip. libtiff's messages are kept for the error text, never
// printed.
//
// The writer writes one image of 1 to 65535 texels a side, grey, grey and alpha, RGB or RGBA at 8
// or 16 bits, little-endian, in strips of 32 rows, Deflate compressed with the horizontal
// predictor: the strips of a band of rows are compressed at the same time on all CPUs (libdeflate,
// level 7) and handed to libtiff in order, so the bytes do not depend on the number of
// threads. On a regular file libtiff writes in place; on anything else (a pipe) the file is
// held in memory and written by End.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "DecodedImage.h"

struct BwImageProbe;

// Bytes of the TIFF byte-order mark and version, the most BwIsTiff looks at.
constexpr size_t BW_TIFF_MAGIC_BYTES = 4;

// True when the first n bytes of a file start a TIFF or BigTIFF file.
bool BwIsTiff(const unsigned char* head, size_t n);
// The size and reader memory of the picture whose file starts with the n bytes at head (the
// container's row of the table of containers uses it); false when the header tells nothing.
bool BwProbeTiff(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);

// Reads a TIFF image held in memory.
bool BwReadTiffMemory(const unsigned char* data, size_t size, BwDecodedImage* image, std::string* error);

// Reads a TIFF image from fp, from its current position to its end (a regular file or a pipe).
bool BwReadTiff(FILE* fp, BwDecodedImage* image, std::string* error);

// Reads a TIFF image from a stream that cannot seek (a pipe), whose first headBytes bytes were
// already read into head. The header names the first directory: it must lie within the first
// BW_TIFF_STREAM_DIRECTORY_BYTES bytes (a directory written after a larger picture is refused;
// such a file is to be given by name), and the stream is read no further than that much beyond
// it plus twice the texel bytes the directory announces.
constexpr uint64_t BW_TIFF_STREAM_DIRECTORY_BYTES = uint64_t(1) << 20;
bool BwReadTiffStream(FILE* fp, const unsigned char* head, size_t headBytes, BwDecodedImage* image,
                      std::string* error);

// The size and bytes a texel of the first image of a TIFF file held in memory, or of the
// regular file open as fd, for the batch's planning; false when the header says nothing usable.
bool BwProbeTiffMemory(const unsigned char* data, size_t size, int* width, int* height, int* texelBytes);
bool BwProbeTiffFile(int fd, uint64_t size, int* width, int* height, int* texelBytes);

class BwTiffWriter {
 public:
  BwTiffWriter();
  ~BwTiffWriter();
  BwTiffWriter(const BwTiffWriter&) = delete;
  BwTiffWriter& operator=(const BwTiffWriter&) = delete;

  // Starts a width x height image of `channels` samples (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA)
  // of `bits` bits (8 or 16) on fp.
  bool Begin(FILE* fp, int width, int height, int bits, int channels, std::string* error);
  // Takes the next `count` rows, top row first, packed: bytes at 8 bits, native uint16_t values
  // at 16 bits.
  bool WriteRows(const void* rows, int64_t count, std::string* error);
  // Writes the last band and the directory once every row has been given; fp stays open.
  bool End(std::string* error);
  // Rows compressed together; a caller producing rows need not hold more than this many.
  int64_t BandRows() const;

  struct State;

 private:
  bool FlushBand(std::string* error);
  std::unique_ptr<State> state_;
};
