// Output encoders: the component conversions and the texel bytes of every code.
#include <cmath>
#include <cstring>
#include <tuple>

#include "Encoders.h"
#include "TestSupport.h"

// Texel words as they lie in memory, in host order.
template <typename T>
Bytes Words(std::initializer_list<T> words) {
  Bytes bytes(words.size() * sizeof(T));
  std::memcpy(bytes.data(), words.begin(), bytes.size());
  return bytes;
}

// Not a number and values beyond 32 bits convert as -2^31, whose low bits are all 0.
TEST(EncodersTest, ComponentConversions) {
  const struct { float v; int q8, q10, s16, u16; } cases[] = {
      {-1.0f, 0, 0, -32767, 0},       {-0.5f, 63, 256, -16383, 16383}, {0.0f, 127, 511, 0, 32767},
      {0.5f, 191, 766, 16383, 49151}, {1.0f, 255, 1022, 32767, 65535}, {1e-3f, 127, 511, 32, 32800},
      {NAN, 0, 511, 0, 0},            {1e30f, 0, 511, 0, 0},           {-INFINITY, 0, 511, 0, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(std::make_tuple(int(BwQ8(c.v)), int(BwQ10(c.v)), int(BwS16(c.v)), int(BwU16(c.v))),
              std::make_tuple(c.q8, c.q10, c.s16, c.u16)) << c.v;
  }
  const struct { double t; int byte; } bytes[] = {{2147483647.9, 255}, {2147483648.0, 0}, {-1.5, 255},
                                                   {-2147483648.9, 0}, {4294967301.0, 0}, {261.7, 5}};
  for (const auto& b : bytes) EXPECT_EQ(BwT8(b.t), b.byte) << b.t;
}

// Two texels of four floats each, whose fourth floats differ and must not reach the texels:
// Targa texels hold bytes 2, 1, 0 (, 3), .kep texels their words (PipelineTest has every .kep
// encoding in whole files).
TEST(EncodersTest, EveryCodeEncodesItsTexels) {
  const struct { int code; float n[3]; Bytes texel; } cases[] = {
      {0, {0, 0, 1}, {255, 127, 127}},
      {1, {0, 0, 1}, {255, 127, 127, 255}},
      {2, {0, -1, 0}, {255, 0, 127, 255}},  // the experimental pixel: blue, green, red, alpha
      {2, {0, 0, 1}, {0, 0, 0, 0}},         {2, {1, 0, 0}, {255, 127, 255, 255}},
      {2, {-1, 0, 0}, {255, 127, 0, 255}},  {2, {0.8f, 0, 0.6f}, {191, 127, 255, 204}},
      {2, {0, 0, -1}, {255, 127, 127, 254}},
      {3, {1, -0.5f, 0}, Words<int16_t>({32767, -16383})},
      {7, {1, -1, 1}, Words<uint16_t>({65504, 0, 65472, 32767})}};
  for (const auto& c : cases) {
    const float img[8] = {c.n[0], c.n[1], c.n[2], 1e30f, c.n[0], c.n[1], c.n[2], NAN};
    ASSERT_EQ(size_t(BwFindEncoding(c.code)->texelBytes), c.texel.size()) << "code " << c.code;
    Bytes out(c.texel.size() * 2);
    BwEncodeTexels(c.code, img, 4, 2, out.data());
    EXPECT_EQ(out, Cat({c.texel, c.texel})) << "code " << c.code;
  }
  EXPECT_EQ(BwFindEncoding(-1), nullptr);
}
