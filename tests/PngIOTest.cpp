// PNG reading: every colour type, depth and interlacing against the expected texels, the same
// bytes as a Targa file of the same picture, and one message per kind of damaged file.
#include <zlib.h>

#include <cstring>
#include <tuple>

#include "PngIO.h"
#include "PngSupport.h"
#include "TGAIO.h"

namespace {

constexpr int W = 11, H = 9;  // odd, and more than one Adam7 block each way

int FileChannels(int colourType) { return colourType == 0 || colourType == 3 ? 1 : colourType == 4 ? 2 : colourType == 2 ? 3 : 4; }

// Samples top row first, distinct enough that flips, swaps and shifts show.
std::vector<int> Samples(const PngSpec& s) {
  std::vector<int> out;
  const int channels = FileChannels(s.colourType);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < channels; ++c) {
        const int v = x * 37 + y * 101 + c * 59 + 13;
        out.push_back(s.colourType == 3 ? (x + 2 * y) % std::min<int>(1 << s.depth, int(s.palette.size()))
                                        : s.depth == 16 ? (v * 257 + c) % 65536 : v % (1 << s.depth));
      }
  return out;
}

// What the reader must give: bottom row first, blue green red order, grey scaled to 8 bits,
// palette expanded, alpha from tRNS; 16-bit samples as native uint16_t.
Bytes Expected(const PngSpec& s, const std::vector<int>& v, int* channelsOut, int* bitsOut) {
  const int channels = FileChannels(s.colourType);
  const bool trns = s.trnsGrey >= 0 || s.trnsRed >= 0 || !s.paletteAlpha.empty();
  const int bits = s.depth == 16 ? 16 : 8, opaque = bits == 16 ? 65535 : 255;
  std::vector<int> out;
  for (int y = H - 1; y >= 0; --y)
    for (int x = 0; x < W; ++x) {
      const int* t = &v[size_t((y * W + x) * channels)];
      switch (s.colourType) {
        case 0:
          out.push_back(s.depth < 8 ? t[0] * 255 / ((1 << s.depth) - 1) : t[0]);
          if (trns) out.push_back(t[0] == s.trnsGrey ? 0 : opaque);
          break;
        case 2:
          out.insert(out.end(), {t[2], t[1], t[0]});
          if (trns) out.push_back(t[0] == s.trnsRed && t[1] == s.trnsGreen && t[2] == s.trnsBlue ? 0 : opaque);
          break;
        case 3: {
          const png_color& p = s.palette[size_t(t[0])];
          out.insert(out.end(), {p.blue, p.green, p.red});
          if (trns) out.push_back(size_t(t[0]) < s.paletteAlpha.size() ? s.paletteAlpha[size_t(t[0])] : 255);
          break;
        }
        case 4:
          out.insert(out.end(), {t[0], t[1]});
          break;
        default:
          out.insert(out.end(), {t[2], t[1], t[0], t[3]});
      }
    }
  *channelsOut = s.colourType == 3 ? (trns ? 4 : 3) : channels + (trns ? 1 : 0);
  *bitsOut = bits;
  Bytes bytes;
  for (int sample : out) {
    if (bits == 8) {
      bytes.push_back((unsigned char)sample);
    } else {
      const uint16_t u = uint16_t(sample);
      bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(&u), reinterpret_cast<const unsigned char*>(&u) + 2);
    }
  }
  return bytes;
}

std::vector<png_color> Palette(int n) {
  std::vector<png_color> p;
  for (int i = 0; i < n; ++i) p.push_back({png_byte(i * 16), png_byte(255 - i * 7), png_byte(i * 3 + 50)});
  return p;
}

struct Read {
  bool ok = false;
  BwDecodedImage image;
  std::string error;
};

enum Via { MEMORY, FILE_STREAM, PIPE };

Read ReadPng(Bytes file, Via via = MEMORY) {
  Read r;
  if (via == MEMORY) {
    r.ok = BwReadPngMemory(file.data(), file.size(), &r.image, &r.error);
    return r;
  }
  TempDir dir;
  WriteFile(dir / "in.png", file);
  FILE* fp = via == PIPE ? popen(("cat " + (dir / "in.png")).c_str(), "r") : std::fopen((dir / "in.png").c_str(), "rb");
  r.ok = BwReadPng(fp, &r.image, &r.error);
  via == PIPE ? pclose(fp) : std::fclose(fp);
  return r;
}

Bytes Texels(const BwDecodedImage& image) { return Bytes(image.data.get(), image.data.get() + image.ByteCount()); }

}  // namespace

TEST(BwReadPng, EveryColourTypeDepthAndInterlacing) {
  const std::vector<png_byte> alpha = {0, 90, 180};  // shorter than the palette: the rest opaque
  const struct { const char* name; PngSpec spec; } cases[] = {
      {"grey 1", {W, H, 0, 1}},
      {"grey 2", {W, H, 0, 2}},
      {"grey 4", {W, H, 0, 4}},
      {"grey 8", {W, H, 0, 8}},
      {"grey 16", {W, H, 0, 16}},
      {"grey 2 tRNS", {W, H, 0, 2, false, {}, {}, 1}},
      {"grey 8 tRNS", {W, H, 0, 8, false, {}, {}, 13}},
      {"grey 16 tRNS", {W, H, 0, 16, false, {}, {}, 3341}},
      {"grey alpha 8", {W, H, 4, 8}},
      {"grey alpha 16", {W, H, 4, 16}},
      {"rgb 8", {W, H, 2, 8}},
      {"rgb 16", {W, H, 2, 16}},
      {"rgb 8 tRNS", {W, H, 2, 8, false, {}, {}, -1, 13, 72, 131}},
      {"rgb 16 tRNS", {W, H, 2, 16, false, {}, {}, -1, 3341, 18505, 33669 + 1}},
      {"rgba 8", {W, H, 6, 8}},
      {"rgba 16", {W, H, 6, 16}},
      {"palette 1", {W, H, 3, 1, false, Palette(2)}},
      {"palette 2", {W, H, 3, 2, false, Palette(4)}},
      {"palette 4", {W, H, 3, 4, false, Palette(13)}},
      {"palette 8", {W, H, 3, 8, false, Palette(16)}},
      {"palette 4 tRNS", {W, H, 3, 4, false, Palette(16), alpha}},
      {"interlaced grey 2", {W, H, 0, 2, true}},
      {"interlaced rgb 8", {W, H, 2, 8, true}},
      {"interlaced palette 4 tRNS", {W, H, 3, 4, true, Palette(16), alpha}},
      {"interlaced rgba 16", {W, H, 6, 16, true}},
  };
  bool piped = false;
  for (const auto& c : cases) {
    const std::vector<int> samples = Samples(c.spec);
    const Bytes file = EncodePng(c.spec, samples);
    ASSERT_FALSE(file.empty()) << c.name;
    int channels = 0, bits = 0;
    const Bytes expected = Expected(c.spec, samples, &channels, &bits);
    for (Via via : {MEMORY, FILE_STREAM, PIPE}) {
      if (via == PIPE && piped) continue;
      const Read r = ReadPng(file, via);
      ASSERT_TRUE(r.ok) << c.name << ": " << r.error;
      EXPECT_EQ(std::make_tuple(r.image.width, r.image.height, r.image.channels, r.image.bits),
                std::make_tuple(W, H, channels, bits)) << c.name;
      EXPECT_EQ(Texels(r.image), expected) << c.name << " via " << via;
    }
    piped = true;
  }
}

// A PNG of a real Targa picture (rows top first, red green blue) reads back as the Targa's texels.
TEST(BwReadPng, SamePictureAsTargaGivesSameBytes) {
  const std::string dir = TexturesDir();
  if (dir.empty()) GTEST_SKIP() << "no texture folder";
  for (const char* name : {"helmet_metal_normal_512.tga", "cube_height_348.tga"}) {
    FILE* fp = std::fopen((dir + "/" + name).c_str(), "rb");
    ASSERT_NE(fp, nullptr) << name;
    int w = 0, h = 0, depth = 0;
    BwArray<unsigned char> tga;
    ASSERT_TRUE(TGAReadImage(fp, &w, &h, &depth, &tga)) << name;
    std::fclose(fp);
    const int channels = depth / 8;
    std::vector<int> samples;
    for (int y = h - 1; y >= 0; --y)
      for (int x = 0; x < w; ++x)
        for (int c = channels - 1; c >= 0; --c) samples.push_back(tga[size_t((y * w + x) * channels + c)]);
    const Read r = ReadPng(EncodePng({w, h, channels == 3 ? 2 : 0, 8}, samples));
    ASSERT_TRUE(r.ok) << name << ": " << r.error;
    EXPECT_EQ(r.image.channels, channels);
    EXPECT_TRUE(Texels(r.image) == Bytes(tga.get(), tga.get() + size_t(w) * h * channels)) << name;
  }
}

namespace {

Bytes Be32(uint32_t v) { return {Bytes::value_type(v >> 24), Bytes::value_type(v >> 16), Bytes::value_type(v >> 8), Bytes::value_type(v)}; }

Bytes Chunk(const char* type, const Bytes& data) {
  Bytes body = Cat({Bytes(type, type + 4), data});
  return Cat({Be32(uint32_t(data.size())), body, Be32(uint32_t(crc32(0, body.data(), uInt(body.size()))))});
}

Bytes Ihdr(uint32_t w, uint32_t h, int depth = 8, int colourType = 2) {
  return Chunk("IHDR", Cat({Be32(w), Be32(h), {Bytes::value_type(depth), Bytes::value_type(colourType), 0, 0, 0}}));
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

}  // namespace

TEST(BwReadPng, DamagedFilesGiveOneMessage) {
  const Bytes raw(2 * (1 + 6), 7);  // two rows, each with the undefined filter type 7
  Bytes rows = raw;
  rows[0] = rows[7] = 0;
  const Bytes good = Png(Zlib(rows));
  ASSERT_TRUE(ReadPng(good).ok);
  Bytes badIdatCrc = good, badIdatData = good, badAdler = Zlib(rows), badText = Png(Zlib(rows), Chunk("tEXt", {'a', 0, 'b'}));
  badIdatCrc[good.size() - 12 - 1] ^= 1;  // last CRC byte of IDAT
  badIdatData[good.size() - 12 - 5] ^= 1; // last data byte of IDAT
  badAdler.back() ^= 1;
  badText[33 + 12] ^= 1;                  // the tEXt chunk's data
  Bytes bomb(size_t(64) << 20, 0);        // 64 MiB of zeros for a 2 x 2 image
  const struct { const char* name; Bytes file; std::string message; } cases[] = {
      {"not a PNG", {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, "PNG: not a PNG file (bad signature)"},
      {"empty", {}, "PNG: not a PNG file (bad signature)"},
      {"cut in IHDR", Bytes(good.begin(), good.begin() + 20), "PNG: file ends inside the IHDR chunk"},
      {"cut in IDAT", Bytes(good.begin(), good.end() - 16), "PNG: file ends inside the IDAT chunk"},
      {"no IEND", Bytes(good.begin(), good.end() - 12), "PNG: file ends before the IEND chunk"},
      {"IDAT CRC", badIdatCrc, "PNG: bad CRC in the IDAT chunk"},
      {"IDAT data", badIdatData, "PNG: bad CRC in the IDAT chunk"},
      {"tEXt CRC", badText, "PNG: bad CRC in the tEXt chunk"},
      {"Adler-32", Png(badAdler), "PNG: bad zlib data in the IDAT chunks"},
      {"not zlib", Png(Bytes(20, 0xFF)), "PNG: bad zlib data in the IDAT chunks"},
      {"bad filter", Png(Zlib(raw)), "PNG: invalid scanline filter"},
      {"too few rows", Png(Zlib(Bytes(rows.begin(), rows.begin() + 7))), "PNG: image data ends before the last row"},
      {"too wide", Cat({kSignature, Ihdr(70000, 1), Chunk("IEND", {})}),
       "PNG: image of 70000 x 1 texels is too large (at most 65535 x 65535)"},
      // 12 GiB announced by a 100-byte file: refused before anything is allocated.
      {"lying size", Cat({kSignature, Ihdr(65535, 65535), Chunk("IDAT", Bytes(47, 0)), Chunk("IEND", {})}),
       "PNG: image of 65535 x 65535 texels holds more data than the file could"},
      {"zlib bomb", Png(Zlib(bomb)), ""},
  };
  for (const auto& c : cases) {
    const Read r = ReadPng(c.file);
    if (c.message.empty()) {  // decompression stops at the announced size
      EXPECT_TRUE(r.ok) << c.name << ": " << r.error;
      EXPECT_EQ(std::make_tuple(r.image.width, r.image.height), std::make_tuple(2, 2)) << c.name;
      continue;
    }
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.error, c.message) << c.name;
  }
}

TEST(BwIsPng, SignatureOnly) {
  EXPECT_TRUE(BwIsPng(kSignature.data(), 8));
  EXPECT_FALSE(BwIsPng(kSignature.data(), 7));
  Bytes other = kSignature;
  other[7] = '\r';
  EXPECT_FALSE(BwIsPng(other.data(), 8));
}
