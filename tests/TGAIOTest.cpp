// Targa reading in every layout the reader takes, its refusals, and the bytes the writer puts out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TGAIO.h"
#include "TestSupport.h"

namespace {

using B = unsigned char;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An 18-byte header, then `body` (image ID field, colour map, texel data).
Bytes Tga(int type, int w, int h, int depth, int desc, const Bytes& body, int idlen = 0,
          int cmcnt = 0, int cmsize = 0) {
  const B header[18] = {B(idlen), B(cmcnt ? 1 : 0), B(type), 0, 0, B(cmcnt), B(cmcnt >> 8),
                        B(cmsize), 0, 0, 0, 0, B(w), B(w >> 8), B(h), B(h >> 8), B(depth), B(desc)};
  return Cat(Bytes(header, header + 18), body);
}

// A 5 x 3 picture of colour indices, bottom row first: asymmetric both ways, with repeats.
const int kPicture[15] = {0, 0, 0, 1, 2, /**/ 2, 2, 3, 4, 5, /**/ 6, 7, 7, 7, 7};

// Colour k as blue, green, red (all different), or as one grey byte.
void Put(Bytes* out, int k, int texelBytes) {
  out->push_back(B(0x10 + k));
  if (texelBytes == 3) out->insert(out->end(), {B(0x40 + k), B(0x80 + k)});
}

// The picture's texels stored top row first and/or right to left.
Bytes Stored(int texelBytes, bool topFirst = false, bool rightToLeft = false) {
  Bytes out;
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 5; ++col)
      Put(&out, kPicture[(topFirst ? 2 - row : row) * 5 + (rightToLeft ? 4 - col : col)], texelBytes);
  return out;
}

// The picture as packets: run 3, raw 1, run 3 across the first row end, raw 4 across the
// second, a run of 5 where 4 texels are left; then bytes to ignore.
Bytes RunLength(int texelBytes) {
  const std::vector<std::pair<B, std::vector<int>>> packets = {
      {0x82, {0}}, {0x00, {1}}, {0x82, {2}}, {0x03, {3, 4, 5, 6}}, {0x84, {7}}};
  Bytes out;
  for (const auto& [head, colours] : packets) {
    out.push_back(head);
    for (int k : colours) Put(&out, k, texelBytes);
  }
  return Cat(out, {0xFF, 0xEE});
}

struct Image {
  bool ok = false;
  int width = -1, height = -1, depth = -1;
  Bytes texels;  // for Write: the whole file
  std::string err;
};

Image Read(Bytes file) {
  Image r;
  FILE* fp = fmemopen(file.data(), file.size(), "rb");
  BwArray<unsigned char> pixels;
  testing::internal::CaptureStderr();
  r.ok = TGAReadImage(fp, &r.width, &r.height, &r.depth, &pixels);
  r.err = testing::internal::GetCapturedStderr();
  std::fclose(fp);
  if (r.ok) r.texels.assign(pixels.get(), pixels.get() + size_t(r.width) * r.height * (r.depth / 8));
  return r;
}

Image Write(int w, int h, int depth, const Bytes& texels, bool swapRedBlue) {
  Image r;
  FILE* fp = std::tmpfile();
  testing::internal::CaptureStderr();
  r.ok = TGAWriteImage(fp, w, h, depth, texels.data(), swapRedBlue);
  r.err = testing::internal::GetCapturedStderr();
  r.texels.resize(size_t(std::ftell(fp)));
  std::rewind(fp);
  r.texels.resize(std::fread(r.texels.data(), 1, r.texels.size(), fp));
  std::fclose(fp);
  return r;
}

Bytes SwapRedBlue(Bytes texels, size_t texelBytes) {
  for (size_t i = 0; i + 2 < texels.size(); i += texelBytes) std::swap(texels[i], texels[i + 2]);
  return texels;
}

}  // namespace

TEST(TGAReadImage, EveryLayoutGivesBottomRowFirstLeftToRight) {
  const Bytes colour = Stored(3), grey = Stored(1);
  const struct { const char* name; Bytes file; int w, h, depth; Bytes expected; } cases[] = {
      {"raw bottom-left", Tga(2, 5, 3, 24, 0x08, colour), 5, 3, 24, colour},
      {"raw top-left", Tga(2, 5, 3, 24, 0x28, Stored(3, true)), 5, 3, 24, colour},
      {"raw right-to-left", Tga(2, 5, 3, 24, 0x10, Stored(3, false, true)), 5, 3, 24, colour},
      {"raw top-right", Tga(2, 5, 3, 24, 0x30, Stored(3, true, true)), 5, 3, 24, colour},
      {"rle packets across rows", Tga(10, 5, 3, 24, 0, RunLength(3)), 5, 3, 24, colour},
      {"image ID, 24-bit colour map", Tga(2, 5, 3, 24, 0, Cat(Bytes(5 + 3 * 3, 0xAA), colour), 5, 3, 24),
       5, 3, 24, colour},
      {"15-bit colour map, rle top-left in one raw packet",
       Tga(10, 5, 3, 24, 0x20, Cat(Bytes(2 * 2, 0xAA), Cat({0x0E}, Stored(3, true))), 0, 2, 15),
       5, 3, 24, colour},
      {"grey raw", Tga(3, 5, 3, 8, 0, grey), 5, 3, 8, grey},
      {"grey rle", Tga(11, 5, 3, 8, 0, RunLength(1)), 5, 3, 8, grey},
      {"rle run of 48-bit texels", Tga(10, 2, 1, 48, 0, {0x81, 1, 2, 3, 4, 5, 6}), 2, 1, 48,
       {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}},
      {"15 bits, one byte a texel", Tga(2, 2, 1, 15, 0, {9, 8}), 2, 1, 15, {9, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Image r = Read(c.file);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::make_tuple(r.width, r.height, r.depth), std::make_tuple(c.w, c.h, c.depth));
    EXPECT_EQ(r.texels, c.expected);
  }
}

TEST(TGAReadImage, FailuresGiveOneMessage) {
  const std::string texels = "ERROR! Couldn't read texels!\n", type = "ERROR! Unsupported Targa image type ";
  const Bytes rle = Tga(10, 5, 3, 24, 0, RunLength(3));
  const struct { const char* name; Bytes file; std::string message; } cases[] = {
      {"17-byte header", Bytes(17, 0), "ERROR! Bad Targa header!\n"},
      {"type 0", Tga(0, 1, 1, 24, 0, Bytes(3)), type + "0!\n"},
      {"colour-mapped", Tga(1, 1, 1, 8, 0, Bytes(4), 0, 1, 24), type + "1!\n"},
      {"colour-mapped rle", Tga(9, 1, 1, 8, 0, Bytes(5), 0, 1, 24), type + "9!\n"},
      {"type 33", Tga(33, 1, 1, 24, 0, Bytes(3)), type + "33!\n"},
      {"short raw", Tga(2, 5, 3, 24, 0, Bytes(44)), texels},
      {"short rle", Bytes(rle.begin(), rle.end() - 3), texels},  // last run without its red byte
      {"rle without data", Tga(10, 5, 3, 24, 0, {}), texels},
      {"lying raw header", Tga(2, 65535, 65535, 32, 0, Bytes(82)), texels},
      {"lying rle header", Tga(10, 65535, 65535, 32, 0, Bytes(82, 0xFF)), texels},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Image r = Read(c.file);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, c.message);
  }
}

TEST(TGAWriteImage, HeaderTexelOrderRoundTripAndRefusal) {
  const Image w = Write(256, 128, 24, Bytes(256 * 128 * 3, 7), false);
  EXPECT_TRUE(w.ok);
  ASSERT_EQ(w.texels.size(), 18u + 256 * 128 * 3);
  EXPECT_EQ(Bytes(w.texels.begin(), w.texels.begin() + 18),
            (Bytes{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x80, 0, 0x18, 8}));

  const struct { int w, depth; bool swap; Bytes in, out; } cases[] = {
      {2, 24, false, {1, 2, 3, 4, 5, 6}, {3, 2, 1, 6, 5, 4}},
      {2, 24, true, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
      {1, 32, false, {1, 2, 3, 4}, {3, 2, 1, 4}},
      {1, 32, true, {1, 2, 3, 4}, {1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    const Image t = Write(c.w, 1, c.depth, c.in, c.swap);
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(Bytes(t.texels.begin() + 18, t.texels.end()), c.out) << c.depth << " bits, swap " << c.swap;
  }

  for (int depth : {24, 32}) {  // written with swapRedBlue false, read back as blue, green, red
    Bytes in(size_t(5 * 3 * depth / 8));
    for (size_t i = 0; i < in.size(); ++i) in[i] = B(7 * i + 1);
    const Image r = Read(Write(5, 3, depth, in, false).texels);
    EXPECT_EQ(std::make_tuple(r.ok, r.width, r.height, r.depth), std::make_tuple(true, 5, 3, depth));
    EXPECT_EQ(r.texels, SwapRedBlue(in, size_t(depth / 8)));
  }

  const Image refused = Write(2, 1, 16, Bytes(4, 1), true);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.err, "ERROR! Can only write 24 and 32 bit images! This image is 16 bits.\n");
  EXPECT_TRUE(refused.texels.empty());
}

// More than one 8,192,000-byte piece; at 24 bits the first piece ends inside a texel.
TEST(TGAWriteImage, LargeImagesAcrossPieces) {
  for (const auto& [w, h, depth] : {std::make_tuple(2048, 1024, 32), std::make_tuple(2048, 2048, 24)}) {
    SCOPED_TRACE(depth);
    Bytes in(size_t(w) * h * size_t(depth / 8));
    for (size_t i = 0; i < in.size(); ++i) in[i] = B(i % 251);
    const Image out = Write(w, h, depth, in, false);
    EXPECT_TRUE(out.ok);
    const Bytes expected = SwapRedBlue(in, size_t(depth / 8));
    ASSERT_EQ(out.texels.size(), 18 + expected.size());
    const auto diff = std::mismatch(expected.begin(), expected.end(), out.texels.begin() + 18);
    EXPECT_EQ(size_t(diff.first - expected.begin()), expected.size()) << "first wrong texel byte";
  }
}
