// PNG writing for large images, compressed on all CPUs with zlib.
//
// Writes the signature, IHDR, IDAT chunks and IEND: no other chunk, no interlacing, grey,
// grey + alpha, RGB or RGBA at 8 or 16 bits a sample, 1 to 65535 texels a side. Rows are taken
// top row first, as PNG stores them, in bands: a band of rows is filtered (Paeth, which suits
// the smooth gradients of normal maps) and cut into segments of a fixed number of rows; the
// segments are deflated at the same time on all CPUs and joined into one zlib stream. Where the
// segments start depends only on the width, so the file is the same whatever the number of
// threads, and memory stays at a few bands' worth however large the image.
//
// Each segment is deflated on its own with zlib's run-length strategy and ended by a sync flush
// (byte-aligned, not final), so the pieces join into one valid stream; the Adler-32 of the
// whole comes from those of the pieces. Filtered normal maps are close to noise, where
// Huffman coding does the work and string matching costs time for little: on them this writes
// files about the size of zlib's level 6 with per-row filter choice, several times faster.
//
// Failures return false with a one-line message; the caller owns the file and removes it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "BwArray.h"

struct z_stream_s;

class BwPngWriter {
 public:
  BwPngWriter() = default;
  BwPngWriter(const BwPngWriter&) = delete;
  BwPngWriter& operator=(const BwPngWriter&) = delete;

  // Starts an image of width x height texels of `channels` samples (1 grey, 2 grey + alpha,
  // 3 RGB, 4 RGBA) of `bits` bits (8 or 16) on fp, writing the signature and IHDR.
  bool Begin(FILE* fp, int width, int height, int bits, int channels, std::string* error);

  // Takes the next `count` rows, top row first, packed: width * channels samples a row, bytes
  // at 8 bits, native uint16_t values at 16 bits. Compresses and writes every band completed.
  bool WriteRows(const void* rows, int64_t count, std::string* error);

  // Writes the last band and IEND once every row has been given; fp stays open.
  bool End(std::string* error);

  // Rows filtered and compressed together once Begin has succeeded; memory holds about one
  // band, so a caller producing rows need not hold more than this many either.
  int64_t BandRows() const { return bandRows_; }

 private:
  struct Segment {
    std::vector<unsigned char> chunk;  // length, "IDAT", data, CRC (CRC and length last)
    size_t length = 0;                 // bytes of `chunk` that are the chunk
    uint32_t adler = 1;
    uint64_t inputBytes = 0;
    bool ok = true;
  };

  bool Fail(std::string* error, const std::string& message);
  bool FlushBand(std::string* error);
  void FilterRows(int64_t begin, int64_t end);
  void CompressSegment(z_stream_s* z, int64_t index, int64_t segments, bool lastBand);

  FILE* fp_ = nullptr;
  int64_t width_ = 0, height_ = 0;
  int bits_ = 8, channels_ = 3;
  int64_t rowBytes_ = 0;       // raw bytes of a row, without the filter byte
  int64_t segmentRows_ = 0;    // rows of one deflated segment
  int64_t bandRows_ = 0;       // rows filtered and compressed together
  int64_t rowsGiven_ = 0;      // rows taken so far
  int64_t bandFill_ = 0;       // rows waiting in the band
  bool failed_ = false;
  uint32_t adler_ = 1;         // Adler-32 of the filtered data written so far
  BwArray<unsigned char> band_;      // raw rows of the band, samples big-endian
  BwArray<unsigned char> previous_;  // the raw row above the band (zeros above the top row)
  BwArray<unsigned char> filtered_;  // the band's rows, each a filter byte and rowBytes_ bytes
  std::vector<Segment> segments_;
};
