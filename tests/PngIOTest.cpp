// PNG reading: every colour type, depth and interlacing against libpng's reading of the same
// file, and one message per kind of damaged file.
#include <zlib.h>

#include <tuple>

#include "PngIO.h"
#include "PngSupport.h"

namespace {

constexpr int W = 11, H = 9;  // odd, and more than one Adam7 block each way

struct Read {
  bool ok = false;
  BwDecodedImage image;
  std::string error;
};

Read ReadMemory(const Bytes& file) {
  Read r;
  r.ok = BwReadPngMemory(file.data(), file.size(), &r.image, &r.error);
  return r;
}

std::vector<png_color> Palette(int n) {
  std::vector<png_color> p;
  for (int i = 0; i < n; ++i) p.push_back({png_byte(i * 16), png_byte(255 - i * 7), png_byte(i * 3 + 50)});
  return p;
}

}  // namespace

// The texels are what libpng gives with palettes and grey below 8 bits expanded, tRNS turned
// into alpha, blue and red exchanged and 16-bit samples in host order, but bottom row first,
// whichever row filters the file uses.
TEST(BwReadPng, EveryColourTypeDepthAndInterlacing) {
  const std::vector<png_byte> alpha = {0, 90, 180};  // shorter than the palette: the rest opaque
  const PngLayout cases[] = {
      {W, H, 0, 1}, {W, H, 0, 4}, {W, H, 0, 16}, {W, H, 4, 8}, {W, H, 4, 16}, {W, H, 2, 8}, {W, H, 6, 16},
      {W, H, 0, 2, false, {}, {}, {1}}, {W, H, 0, 16, false, {}, {}, {3341}},
      // The colour of texel (0, 0) as the key; at 16 bits blue is one off, so no texel matches.
      {W, H, 2, 8, false, {}, {}, {13, 72, 131}}, {W, H, 2, 16, false, {}, {}, {3341, 18505, 33670}},
      {W, H, 3, 1, false, Palette(2)}, {W, H, 3, 4, false, Palette(13)}, {W, H, 3, 8, false, Palette(16)},
      {W, H, 3, 4, false, Palette(16), alpha},
      {W, H, 0, 2, true}, {W, H, 2, 8, true}, {W, H, 3, 4, true, Palette(16), alpha}, {W, H, 6, 16, true}};
  const uint16_t one = 1;
  const int hostOrder = *reinterpret_cast<const unsigned char*>(&one) == 1 ? PNG_TRANSFORM_SWAP_ENDIAN : 0;
  // Each row filter alone, and libpng's choice among them.
  const int filters[] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH, PNG_ALL_FILTERS};
  for (const int filter : filters)
  for (PngLayout s : cases) {
    s.filters = filter;
    SCOPED_TRACE(testing::Message() << "colour type " << s.colourType << ", depth " << s.depth << ", tRNS "
                                    << s.trns.size() + s.paletteAlpha.size() << ", interlaced " << s.interlaced
                                    << ", filters " << filter);
    std::vector<int> samples;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int c = 0, v = x * 37 + y * 101 + 13; c < PngChannels(s.colourType); ++c, v += 59)
          samples.push_back(s.colourType == 3 ? (x + 2 * y) % int(s.palette.size())
                                              : s.depth == 16 ? (v * 257 + c) % 65536 : v % (1 << s.depth));
    const Bytes file = EncodePng(s, samples);
    const LibpngImage want = DecodePngWithLibpng(file, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_BGR | hostOrder);
    ASSERT_TRUE(want.ok);
    const size_t rowBytes = want.rows.size() / H;
    Bytes bottomFirst;
    for (size_t y = H; y-- > 0;)
      bottomFirst.insert(bottomFirst.end(), &want.rows[y * rowBytes], &want.rows[(y + 1) * rowBytes]);
    const Read r = ReadMemory(file);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(std::make_tuple(r.image.width, r.image.height, r.image.channels, r.image.bits),
              std::make_tuple(W, H, want.channels, want.depth));
    EXPECT_TRUE(Bytes(r.image.data.get(), r.image.data.get() + r.image.ByteCount()) == bottomFirst);
  }
}

namespace {

Bytes Be32(uint32_t v) { return {png_byte(v >> 24), png_byte(v >> 16), png_byte(v >> 8), png_byte(v)}; }
Bytes Chunk(const char* type, const Bytes& data) {
  Bytes body = Cat({Bytes(type, type + 4), data});
  return Cat({Be32(uint32_t(data.size())), body, Be32(uint32_t(crc32(0, body.data(), uInt(body.size()))))});
}

Bytes Ihdr(uint32_t w, uint32_t h, int depth = 8, int colourType = 2) {
  return Chunk("IHDR", Cat({Be32(w), Be32(h), {png_byte(depth), png_byte(colourType), 0, 0, 0}}));
}

Bytes Zlib(const Bytes& raw) {
  uLongf size = compressBound(uLong(raw.size()));
  Bytes out(size);
  compress(out.data(), &size, raw.data(), uLong(raw.size()));
  out.resize(size);
  return out;
}

const Bytes kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A 2 x 2 RGB image from these chunks.
Bytes Png(const Bytes& idat, const Bytes& extra = {}) {
  return Cat({kSignature, Ihdr(2, 2), extra, Chunk("IDAT", idat), Chunk("IEND", {})});
}

// The same with the image data cut into two IDAT chunks.
Bytes PngTwoIdat(const Bytes& idat) {
  const Bytes first(idat.begin(), idat.begin() + idat.size() / 2), second(idat.begin() + idat.size() / 2, idat.end());
  return Cat({kSignature, Ihdr(2, 2), Chunk("IDAT", first), Chunk("IDAT", second), Chunk("IEND", {})});
}

// Reads the file from a regular file, as the command line does.
Read ReadFile(const Bytes& file) {
  Read r;
  std::unique_ptr<FILE, BwFileCloser> fp(std::tmpfile());
  if (std::fwrite(file.data(), 1, file.size(), fp.get()) != file.size() || std::fseek(fp.get(), 0, SEEK_SET) != 0)
    return r;
  r.ok = BwReadPng(fp.get(), &r.image, &r.error);
  return r;
}

}  // namespace

TEST(BwReadPng, DamagedFilesGiveOneMessage) {
  const Bytes raw(2 * (1 + 6), 7);  // two rows, each with the undefined filter type 7
  Bytes rows = raw;
  rows[0] = rows[7] = 0;
  const Bytes good = Png(Zlib(rows));
  ASSERT_TRUE(ReadMemory(good).ok);
  EXPECT_TRUE(BwIsPng(good.data(), 8) && !BwIsPng(good.data(), 7));
  Bytes badIdatData = good, badAdler = Zlib(rows);
  Bytes badText = Png(Zlib(rows), Chunk("tEXt", {'a', 0, 'b'}));
  badIdatData[good.size() - 12 - 5] ^= 1; // last data byte of IDAT
  badAdler.back() ^= 1;
  badText[33 + 12] ^= 1;                  // the tEXt chunk's data
  Bytes bomb(size_t(64) << 20, 0);        // 64 MiB of zeros for a 2 x 2 image
  Bytes texts;                            // many small text chunks, each valid
  for (int i = 0; i < 1500; ++i) texts = Cat({texts, Chunk("tEXt", {'k', 0, 'v'})});
  const struct { const char* name; Bytes file; std::string message; } cases[] = {
      {"not a PNG", {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, "PNG: not a PNG file (bad signature)"},
      {"cut in IHDR", Bytes(good.begin(), good.begin() + 20), "PNG: file ends inside the IHDR chunk"},
      {"cut in IDAT", Bytes(good.begin(), good.end() - 16), "PNG: file ends inside the IDAT chunk"},
      {"no IEND", Bytes(good.begin(), good.end() - 12), "PNG: file ends before the IEND chunk"},
      {"IDAT data", badIdatData, "PNG: bad CRC in the IDAT chunk"},
      {"tEXt CRC", badText, "PNG: bad CRC in the tEXt chunk"},
      {"Adler-32", Png(badAdler), "PNG: bad zlib data in the IDAT chunks"},
      {"bad filter", Png(Zlib(raw)), "PNG: invalid scanline filter"},
      {"bad filter, two IDAT", PngTwoIdat(Zlib(raw)), "PNG: invalid scanline filter"},
      {"too few rows", Png(Zlib(Bytes(rows.begin(), rows.begin() + 7))), "PNG: image data ends before the last row"},
      {"too wide", Cat({kSignature, Ihdr(70000, 1), Chunk("IEND", {})}),
       "PNG: image of 70000 x 1 texels is too large (at most 65535 x 65535)"},
      // 12 GiB announced by a 100-byte file: refused before anything is allocated.
      {"lying size", Cat({kSignature, Ihdr(65535, 65535), Chunk("IDAT", Bytes(47, 0)), Chunk("IEND", {})}),
       "PNG: image of 65535 x 65535 texels holds more data than the file could"},
      {"zlib bomb", Png(Zlib(bomb)), ""},
      {"zlib bomb, two IDAT", PngTwoIdat(Zlib(bomb)), ""},
      {"many text chunks", Png(Zlib(rows), texts), "PNG: more than 1000 tEXt chunks (1500)"},
  };
  for (const auto& c : cases) {
    // From memory and from a file (whose bytes the reader may move while it reads them).
    for (const Read& r : {ReadMemory(c.file), ReadFile(c.file)}) {
      // A zlib bomb reads: decompression stops at the announced size.
      EXPECT_EQ(std::make_pair(r.ok, r.error), std::make_pair(c.message.empty(), c.message)) << c.name;
    }
  }
}
