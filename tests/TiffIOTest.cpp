// TIFF reading and writing: one picture written by libtiff in each layout reads back alike
// (bottom row first, blue, green, red); the writer's files read back as written, the same on a
// file and on a stream; refusals with one message.
#include <tiffio.h>

#include <cstring>

#include "TestSupport.h"
#include "TiffIO.h"

namespace {

constexpr int W = 7, H = 5;

// Sample c of texel (x, y), y from the top: distinct in every position and channel; noisy, a
// hash of them (bytes no deflate level can shorten much).
uint32_t Sample(int x, int y, int c, int bits, bool noisy = false) {
  uint32_t v = uint32_t(x * 37 + y * 11 + c * 83);
  if (noisy) v = (v ^ uint32_t(y) << 16) * 0x9E3779B1u, v ^= v >> 15, v *= 0x85EBCA77u, v ^= v >> 13;
  return bits == 8 ? v & 0xFF : (v * 257 + uint32_t(x)) & 0xFFFF;
}

// A w x h picture of Sample, `stride` texels a row (0: w) in `rows` rows (0: h): row y holds
// picture row y, or h - 1 - y with bottomFirst; colour as blue, green, red with bgr; 16-bit
// samples in the order of this little-endian host.
Bytes Picture(int w, int h, int bits, int channels, bool bottomFirst, bool bgr, int stride = 0, int rows = 0,
              bool noisy = false) {
  const size_t sampleBytes = size_t(bits / 8), rowBytes = size_t(stride ? stride : w) * size_t(channels) * sampleBytes;
  Bytes out(rowBytes * size_t(rows ? rows : h), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < channels; ++k) {
        const uint32_t v =
            Sample(x, bottomFirst ? h - 1 - y : y, bgr && channels >= 3 && k < 3 ? 2 - k : k, bits, noisy);
        std::memcpy(&out[size_t(y) * rowBytes + (size_t(x * channels + k)) * sampleBytes], &v, sampleBytes);
      }
  return out;
}

// The picture as the reader gives it: bottom row first, colour as blue, green, red.
Bytes Expected(int bits, int channels) { return Picture(W, H, bits, channels, true, true); }

struct Layout {
  int bits = 8, channels = 3;
  uint16_t compression = COMPRESSION_NONE;
  bool tiled = false;
  const char* mode = "w";  // "wb": big-endian
  uint16_t orientation = ORIENTATION_TOPLEFT;
  uint16_t photometric = 0;  // 0: grey or RGB as the channels say
  uint16_t format = SAMPLEFORMAT_UINT;
  uint16_t planar = PLANARCONFIG_CONTIG;
};

// Writes the picture with libtiff itself (in rows of the picture as stored: a bottom-left file
// gets the bottom row first).
void WriteTiff(const std::string& path, const Layout& l) {
  TIFF* t = TIFFOpen(path.c_str(), l.mode);
  ASSERT_TRUE(t);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(W));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(H));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(l.bits));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(l.channels));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, l.format);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
               l.photometric ? l.photometric : uint16_t(l.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.planar);
  TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression);
  TIFFSetField(t, TIFFTAG_ORIENTATION, l.orientation);
  if (l.channels == 2 || l.channels == 4) {
    const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &alpha);
  }
  std::vector<uint16_t> colours(256, 0);
  if (l.photometric == PHOTOMETRIC_PALETTE)
    TIFFSetField(t, TIFFTAG_COLORMAP, colours.data(), colours.data(), colours.data());
  const int texelBytes = l.channels * l.bits / 8;
  Bytes rows = Picture(W, H, l.bits, l.channels, l.orientation == ORIENTATION_BOTLEFT, false, l.tiled ? 16 : W,
                       l.tiled ? 16 : H);
  if (l.tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, uint32_t(16));
    TIFFSetField(t, TIFFTAG_TILELENGTH, uint32_t(16));
    ASSERT_GE(TIFFWriteEncodedTile(t, 0, rows.data(), tmsize_t(rows.size())), 0);
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(2));
    for (int y = 0; y < H; ++y) ASSERT_GE(TIFFWriteScanline(t, &rows[size_t(y * W * texelBytes)], uint32_t(y)), 0);
  }
  TIFFClose(t);
}

struct Read {
  bool ok = false;
  BwDecodedImage image;
  std::string error;
};

Read ReadPath(const std::string& path) {
  Read r;
  FILE* fp = std::fopen(path.c_str(), "rb");
  r.ok = fp && BwReadTiff(fp, &r.image, &r.error);
  if (fp) std::fclose(fp);
  return r;
}

Bytes Texels(const BwDecodedImage& image) { return Bytes(image.data.get(), image.data.get() + image.ByteCount()); }

}  // namespace

TEST(TiffIO, EveryLayoutReadsAlike) {
  TempDir dir;
  const Layout layouts[] = {
      {8, 3, COMPRESSION_NONE},
      {8, 3, COMPRESSION_LZW},
      {8, 4, COMPRESSION_PACKBITS, true, "wb"},
      {16, 3, COMPRESSION_ADOBE_DEFLATE, true, "wb"},
      {16, 1, COMPRESSION_NONE, false, "w", ORIENTATION_BOTLEFT},
      {8, 2, COMPRESSION_DEFLATE},
      {16, 4, COMPRESSION_LZW, false, "wb"},
      {8, 1, COMPRESSION_ADOBE_DEFLATE, true},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(testing::Message() << l.bits << " bits, " << l.channels << " channels, compression " << l.compression
                                    << (l.tiled ? ", tiled " : ", strips ") << l.mode << " " << l.orientation);
    WriteTiff(dir / "t.tif", l);
    const Read r = ReadPath(dir / "t.tif");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(std::make_tuple(r.image.width, r.image.height, r.image.channels, r.image.bits),
              std::make_tuple(W, H, l.channels, l.bits));
    EXPECT_EQ(Texels(r.image), Expected(l.bits, l.channels));
    const Bytes file = ReadFile(dir / "t.tif");
    BwDecodedImage memory;
    std::string error;
    ASSERT_TRUE(BwReadTiffMemory(file.data(), file.size(), &memory, &error)) << error;
    EXPECT_EQ(Texels(memory), Texels(r.image));
  }
}

// The writer's files: every texel layout over several bands of strips, smooth and noisy (whose
// strips take another deflate level), read back as given, and the bytes on a regular file equal
// those on a stream that cannot seek.
TEST(TiffIO, WrittenFilesReadBack) {
  TempDir dir;
  const int w = 5, h = 300;
  for (bool noisy : {false, true})
    for (int bits : {8, 16})
      for (int channels = 1; channels <= 4; ++channels) {
        SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels" << (noisy ? ", noisy" : ""));
        const Bytes rows = Picture(w, h, bits, channels, false, false, 0, 0, noisy);
        const size_t rowBytes = size_t(w * channels * bits / 8);
        const auto write = [&](FILE* fp) {
          BwTiffWriter writer;
          std::string error;
          ASSERT_TRUE(writer.Begin(fp, w, h, bits, channels, &error) && writer.WriteRows(rows.data(), 100, &error) &&
                      writer.WriteRows(rows.data() + 100 * rowBytes, h - 100, &error) && writer.End(&error))
              << error;
        };
        FILE* fp = std::fopen((dir / "w.tif").c_str(), "wb");
        write(fp);
        ASSERT_EQ(std::fclose(fp), 0);
        EXPECT_TRUE(ReadFile(dir / "w.tif") == Written(write));
        const Read r = ReadPath(dir / "w.tif");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(Texels(r.image) == Picture(w, h, bits, channels, true, true, 0, 0, noisy));
      }
}

TEST(TiffIO, RefusalsGiveOneMessage) {
  TempDir dir;
  WriteTiff(dir / "good.tif", {});
  const Bytes good = ReadFile(dir / "good.tif");
  // A width of 65535 in a file of a few hundred bytes: the first directory entry is the width.
  const uint32_t ifd = uint32_t(good[4]) | uint32_t(good[5]) << 8 | uint32_t(good[6]) << 16 | uint32_t(good[7]) << 24;
  // The good file with the first 16 bits of the value of each entry `tag` set.
  const auto with = [&](std::initializer_list<std::pair<int, int>> values) {
    Bytes b = good;
    for (const auto& [tag, value] : values)
      for (size_t at = ifd + 2; at + 12 <= b.size() && at < ifd + 2 + 12 * size_t(b[ifd]); at += 12)
        if (b[at] + 256 * b[at + 1] == tag) b[at + 8] = uint8_t(value & 0xFF), b[at + 9] = uint8_t(value >> 8);
    return b;
  };
  WriteFile(dir / "huge.tif", with({{256, 65535}}));  // ImageWidth
  // JPEG expands at most 512 times; a strip's texels must fit in its bytes; an unknown scheme.
  WriteFile(dir / "huge_jpeg.tif", with({{256, 65535}, {259, COMPRESSION_JPEG}}));
  Bytes padded = with({{256, 65535}, {259, COMPRESSION_JPEG}});  // a file large enough, a strip of 42 bytes
  padded.resize(4000);
  WriteFile(dir / "short_strip.tif", padded);
  WriteFile(dir / "unknown.tif", with({{259, 65000}}));
  WriteFile(dir / "orientation0.tif", with({{274, 0}}));
  WriteFile(dir / "orientation9.tif", with({{274, 9}}));
  Bytes damaged = good;
  damaged.resize(ifd);
  WriteFile(dir / "cut.tif", damaged);
  WriteFile(dir / "notiff.tif", AsBytes("P6\n"));
  WriteTiff(dir / "palette.tif", {8, 1, COMPRESSION_NONE, false, "w", ORIENTATION_TOPLEFT, PHOTOMETRIC_PALETTE});
  WriteTiff(dir / "float.tif", {16, 3, COMPRESSION_NONE, false, "w", ORIENTATION_TOPLEFT, 0, SAMPLEFORMAT_INT});
  WriteTiff(dir / "planes.tif",
            {8, 3, COMPRESSION_NONE, false, "w", ORIENTATION_TOPLEFT, 0, SAMPLEFORMAT_UINT, PLANARCONFIG_SEPARATE});
  WriteTiff(dir / "mirrored.tif", {8, 3, COMPRESSION_NONE, false, "w", ORIENTATION_TOPRIGHT});
  const std::pair<const char*, std::string> cases[] = {
      {"huge.tif", "TIFF: an image of 983025 bytes cannot be held in a file of 294 bytes"},
      {"huge_jpeg.tif", "TIFF: an image of 983025 bytes cannot be held in a file of 294 bytes"},
      {BUMPWELD_CORPUS "/tiff_read/jpeg_claims_8192.tif",
       "TIFF: an image of 201326592 bytes cannot be held in a file of 3441 bytes"},
      {"short_strip.tif", "TIFF: a strip of 42 bytes cannot hold 393210 bytes of texels"},
      {"unknown.tif", "TIFF: compression 65000 is not supported"},
      {"orientation0.tif", "TIFF: orientation 0 is not valid (1 to 8)"},
      {"orientation9.tif", "TIFF: orientation 9 is not valid (1 to 8)"},
      {"cut.tif", "TIFF: "},
      {"notiff.tif", "TIFF: not a TIFF file (no byte-order mark)"},
      {"palette.tif",
       "TIFF: photometric interpretation 3 with 1 samples is not supported (grey or RGB, with or without alpha)"},
      {"float.tif", "TIFF: sample format 2 is not supported (unsigned integers only)"},
      {"planes.tif", "TIFF: separate sample planes are not supported"},
      {"mirrored.tif", "TIFF: orientation 2 is not supported (top-left or bottom-left)"},
  };
  for (const auto& [file, start] : cases) {
    // Refused before anything of the size claimed is allocated.
    const BwAllocationCap cap(1 << 16);
    const Read r = ReadPath(file[0] == '/' ? std::string(file) : dir / file);
    EXPECT_FALSE(r.ok) << file;
    EXPECT_EQ(r.error.rfind(start, 0), 0u) << file << ": " << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << file;
  }
}
