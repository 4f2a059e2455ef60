// Targa reading in every layout the reader takes, and its refusals. (The writer's bytes are
// pinned down by the whole runs of PipelineTest.)
#include <tuple>

#include "TGAIO.h"
#include "TestSupport.h"

using B = unsigned char;

// An 18-byte header, then `body` (image ID field, colour map, texel data).
Bytes Tga(int type, int w, int h, int depth, int desc, const Bytes& body, int idlen = 0, int cmcnt = 0,
          int cmsize = 0) {
  return Cat({{B(idlen), B(cmcnt ? 1 : 0), B(type), 0, 0, B(cmcnt), B(cmcnt >> 8), B(cmsize), 0, 0, 0, 0, B(w),
               B(w >> 8), B(h), B(h >> 8), B(depth), B(desc)}, body});
}

// A 5 x 3 picture of colour indices, bottom row first: asymmetric both ways, with repeats.
const int kPicture[15] = {0, 0, 0, 1, 2, /**/ 2, 2, 3, 4, 5, /**/ 6, 7, 7, 7, 7};

// Colour k as blue, green, red (all different), or as one grey byte.
Bytes Colour(int k, int texelBytes) {
  return texelBytes == 3 ? Bytes{B(0x10 + k), B(0x40 + k), B(0x80 + k)} : Bytes{B(0x10 + k)};
}

// The picture's texels stored top row first and/or right to left.
Bytes Stored(int texelBytes, bool topFirst = false, bool rightToLeft = false) {
  Bytes out;
  for (int i = 0; i < 15; ++i) {
    const int row = topFirst ? 2 - i / 5 : i / 5, col = rightToLeft ? 4 - i % 5 : i % 5;
    out = Cat({out, Colour(kPicture[row * 5 + col], texelBytes)});
  }
  return out;
}

// The picture as packets: run 3, raw 1, run 3 across the first row end, raw 4 across the
// second, a run of 5 where 4 texels are left; then bytes to ignore.
Bytes RunLength(int texelBytes) {
  Bytes out;
  for (const auto& [head, colours] : std::vector<std::pair<B, std::vector<int>>>{
           {0x82, {0}}, {0x00, {1}}, {0x82, {2}}, {0x03, {3, 4, 5, 6}}, {0x84, {7}}}) {
    out.push_back(head);
    for (int k : colours) out = Cat({out, Colour(k, texelBytes)});
  }
  return Cat({out, {0xFF, 0xEE}});
}

struct Image {  // the texels read
  bool ok = false;
  int width = -1, height = -1, depth = -1;
  Bytes bytes;
  std::string err;
};

Image Read(Bytes file) {
  Image r;
  FILE* fp = fmemopen(file.data(), file.size(), "rb");
  BwArray<unsigned char> pixels;
  r.err = Printed([&] { r.ok = TGAReadImage(fp, &r.width, &r.height, &r.depth, &pixels); }, true);
  std::fclose(fp);
  if (r.ok) r.bytes.assign(pixels.get(), pixels.get() + size_t(r.width) * r.height * (r.depth / 8));
  return r;
}

// Every layout reads bottom row first, left to right; failures give one message. (Colour-mapped
// types, short raw texels and lying 24-bit headers are refused in GpuOutputTest.)
TEST(TGAReadImage, EveryLayoutAndFailure) {
  const Bytes colour = Stored(3), grey = Stored(1), rle = Tga(10, 5, 3, 24, 0, RunLength(3));
  const std::string texels = "ERROR! Couldn't read texels!\n", type = "ERROR! Unsupported Targa image type ";
  const struct { const char* name; Bytes file; int w, h, depth; Bytes expected; std::string message; } cases[] = {
      {"raw bottom-left", Tga(2, 5, 3, 24, 0x08, colour), 5, 3, 24, colour, ""},
      {"raw top-left", Tga(2, 5, 3, 24, 0x28, Stored(3, true)), 5, 3, 24, colour, ""},
      {"raw top-right", Tga(2, 5, 3, 24, 0x30, Stored(3, true, true)), 5, 3, 24, colour, ""},
      {"rle packets across rows", rle, 5, 3, 24, colour, ""},
      {"image ID, 24-bit colour map", Tga(2, 5, 3, 24, 0, Cat({Bytes(5 + 3 * 3, 0xAA), colour}), 5, 3, 24),
       5, 3, 24, colour, ""},
      {"15-bit colour map, rle top-left in one raw packet",
       Tga(10, 5, 3, 24, 0x20, Cat({Bytes(2 * 2, 0xAA), {0x0E}, Stored(3, true)}), 0, 2, 15), 5, 3, 24, colour, ""},
      {"grey raw", Tga(3, 5, 3, 8, 0, grey), 5, 3, 8, grey, ""},
      {"rle run of 48-bit texels", Tga(10, 2, 1, 48, 0, {0x81, 1, 2, 3, 4, 5, 6}), 2, 1, 48,
       {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}, ""},
      {"15 bits, one byte a texel", Tga(2, 2, 1, 15, 0, {9, 8}), 2, 1, 15, {9, 8}, ""},
      {"17-byte header", Bytes(17, 0), 0, 0, 0, {}, "ERROR! Bad Targa header!\n"},
      {"type 0", Tga(0, 1, 1, 24, 0, Bytes(3)), 0, 0, 0, {}, type + "0!\n"},
      {"short rle", Bytes(rle.begin(), rle.end() - 3), 0, 0, 0, {}, texels},  // last run without its red byte
      // 133 GB of 31-byte texels, more than an allocation gets: checked before allocating.
      {"lying raw header, 248 bits", Tga(2, 65535, 65535, 248, 0, Bytes(82)), 0, 0, 0, {}, texels},
      {"lying rle header, 248 bits", Tga(10, 65535, 65535, 248, 0, Bytes(82, 0xFF)), 0, 0, 0, {}, texels},
  };
  for (const auto& c : cases) {
    const Image r = Read(c.file);
    EXPECT_EQ(std::make_pair(r.ok, r.err), std::make_pair(c.message.empty(), c.message)) << c.name;
    EXPECT_TRUE(!r.ok || (std::tie(r.width, r.height, r.depth) == std::tie(c.w, c.h, c.depth) && r.bytes == c.expected))
        << c.name;
  }
}
