// OpenEXR files, through the OpenEXR C library: one channel of a single-part image read as float
// heights, or three (x, y, z) and an optional alpha read as normals; and writing normals (see
// BwExrWriter).
//
// Reads scanline and tiled images (the first level of a mip or rip map), in any compression the
// library decodes; HALF, FLOAT and UINT samples become float (UINT above 2^24 rounds to the
// nearest float). Samples come out bottom row first (OpenEXR stores the top row first),
// interleaved: value c of texel (x, y) at samples[(y * width + x) * channels + c] over the data
// window.
//
// Heights: the channel the caller names (a full name such as "Y", "R" or "height.Y"), else the
// only channel, else the one named "Y". Normals: R, G, B (and A when there is one), or with a
// layer name L the channels L.R, L.G, L.B, else L.X, L.Y, L.Z, else L.x, L.y, L.z (and L.A).
// Normal values are taken as they are, or with `unorm` as 0 to 1 mapped to -1 to 1; a texel
// with a value that is not finite, or whose stored x, y and z are all 0, becomes (0, 0, 0),
// the empty texel.
//
// It refuses, with a one-line message: files without the OpenEXR magic number, multi-part and
// deep images, subsampled channels, a missing channel (listing those there are), several
// channels when none is named and none is "Y", data windows above 65535 x 65535, chunks that
// unpack to more than 512 MiB, and damaged or missing chunks. Memory for the samples grows with
// the chunks actually decoded, never with what a header announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BwArray.h"
#include "Half.h"

struct BwImageProbe;

// What to read: the heights of one channel, or normals.
struct BwExrRequest {
  BwExrRequest(const char* name = nullptr) : channel(name) {}
  const char* channel;   // heights: the channel (null or empty: the only one, else Y); normals:
                         // the layer (null or empty: R, G, B)
  bool normals = false;  // read x, y, z (and alpha) instead of one height
  bool unorm = false;    // normals are stored as 0 to 1
};

struct BwExrImage {
  int width = 0;
  int height = 0;
  int channels = 0;        // 1 for heights; 3 for normals, 4 with alpha
  BwArray<float> samples;  // width * height * channels values, bottom row first
};

// Bytes of the OpenEXR magic number, the most BwIsExr looks at.
constexpr size_t BW_EXR_MAGIC_BYTES = 4;

// True when the first n bytes of a file are the OpenEXR magic number.
bool BwIsExr(const unsigned char* head, size_t n);
// The size and reader memory of the picture whose file starts with the n bytes at head (the
// container's row of the table of containers uses it); false when the header tells nothing.
bool BwProbeExr(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);

// Reads what `request` asks for from the OpenEXR file at path.
bool BwReadExr(const char* path, const BwExrRequest& request, BwExrImage* image, std::string* error);

// Reads like BwReadExr from a file read from its current position (or a pipe), as far as the
// reads of the image go and no further than what the picture its header announces can need.
bool BwReadExrFile(FILE* fp, const BwExrRequest& request, BwExrImage* image, std::string* error);
// The same after the `headBytes` bytes at `head` that were read from fp already.
bool BwReadExrStream(FILE* fp, const unsigned char* head, size_t headBytes, const BwExrRequest& request,
                     BwExrImage* image, std::string* error);

// Reads like BwReadExr from an OpenEXR file held in memory.
bool BwReadExrMemory(const unsigned char* data, size_t size, const BwExrRequest& request, BwExrImage* image,
                     std::string* error);

// Levels of an OpenEXR round-down mip map of a width x height image: down to 1 x 1.
int BwExrLevelCount(int width, int height);


// Writes normals as an OpenEXR file through the OpenEXR C library: channels R, G, B (x, y, z) of
// half samples, or float ones, ZIP compressed (16 rows a chunk). One level is a scanline image;
// a mip chain is one tiled image (64 x 64 tiles) in the mipmap level mode, round-down, which
// must then hold every level (BwExrLevelCount). Begin writes the header, WriteRows takes each
// level's rows in order, top row first, End checks that every level arrived and flushes. The
// chunks of a band of rows are compressed at the same time on all CPUs and written in order, so
// the bytes do not depend on the number of threads. On a regular file every piece goes straight
// to its place; on anything else (a pipe) the file is held in memory and written by End. The
// stream is the caller's; failures return false with a one-line message.
class BwExrWriter {
 public:
  BwExrWriter();
  ~BwExrWriter();
  BwExrWriter(const BwExrWriter&) = delete;
  BwExrWriter& operator=(const BwExrWriter&) = delete;

  bool Begin(FILE* fp, int width, int height, int levelCount, bool floats, std::string* error);
  // The next `count` rows of level `level`, three floats (x, y, z) a texel.
  bool WriteRows(int level, const float* rows, int64_t count, std::string* error);
  bool End(std::string* error);
  // Rows compressed together; a caller producing rows need not hold more than this many.
  int64_t BandRows() const { return bandRows_; }

  struct State;

 private:
  bool FlushBand(std::string* error);

  std::unique_ptr<State> state_;
  int64_t bandRows_ = 0;
};
