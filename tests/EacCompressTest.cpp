// EAC RG11 encoder and R11 decoder: decoder vectors worked out by hand from the block layout,
// flat blocks encoded exactly, the error against BC5's on smooth and rough pictures, and the
// same bytes on every thread count and processor version.
#include <cmath>
#include <tuple>
#include <vector>

#include "BlockCompress.h"
#include "EacCompress.h"
#include "Parallel.h"
#include "TestSupport.h"

namespace {

// Index bytes whose 3-bit fields, first field in the top bits, are 0 1 2 3 4 5 6 7 5 6 7 7 7 4
// 0 0: down the first column 0 1 2 3, the second 4 5 6 7, the third 5 6 7 7, the fourth 7 4 0 0.
const unsigned char kIndices[6] = {0x05, 0x39, 0x77, 0xBB, 0xFF, 0x00};

// A normal image of w x h texels, three floats each, bottom row first: x and y from `at`.
template <typename F>
std::vector<float> Picture(int w, int h, F at) {
  std::vector<float> image;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto [nx, ny] = at(x, y);
      image.insert(image.end(), {nx, ny, std::sqrt(std::max(0.0f, 1.0f - nx * nx - ny * ny))});
    }
  return image;
}

std::vector<float> Smooth(int w, int h) {
  return Picture(w, h, [](int x, int y) {
    return std::pair(0.6f * std::sin(0.11f * float(x) + 0.05f * float(y)), 0.5f * std::cos(0.07f * float(y)));
  });
}

// Rough blocks: odd texels lean far in x, down to a few degrees above the horizon.
std::vector<float> Rough(int w, int h) {
  uint32_t seed = 7;
  auto next = [&seed] { return float((seed = seed * 1664525u + 1013904223u) >> 8 & 0xFFFF) / 65535.0f; };
  return Picture(w, h, [&](int x, int y) {
    if ((x + y) % 2) return std::pair(0.8f + 0.17f * next(), 0.2f * next() - 0.1f);
    return std::pair(next() - 0.5f, next() - 0.5f);
  });
}

// x and y of every texel decoded from w x h texels' blocks (top block row first), bottom row first.
std::vector<float> Decoded(const std::vector<unsigned char>& blocks, int w, int h, bool eac, bool isSigned) {
  std::vector<float> out(size_t(w) * h * 2);
  const int blocksWide = (w + 3) / 4;
  for (size_t block = 0; block < blocks.size() / 16; ++block) {
    float x[16], y[16];
    if (eac) {
      BwDecodeEacR11Block(&blocks[16 * block], isSigned, x);
      BwDecodeEacR11Block(&blocks[16 * block + 8], isSigned, y);
    } else {
      BwDecodeBc4Block(&blocks[16 * block], isSigned ? BwBc4Kind::SNORM : BwBc4Kind::UNORM, x);
      BwDecodeBc4Block(&blocks[16 * block + 8], isSigned ? BwBc4Kind::SNORM : BwBc4Kind::UNORM, y);
    }
    for (int i = 0; i < 16; ++i) {
      const int px = int(block % size_t(blocksWide)) * 4 + i % 4, py = int(block / size_t(blocksWide)) * 4 + i / 4;
      if (px >= w || py >= h) continue;
      float* t = &out[2 * (size_t(h - 1 - py) * w + px)];
      t[0] = x[i], t[1] = y[i];
    }
  }
  return out;
}

// The angle-weighted squared error of decoded x and y against the picture (as the encoders count it).
double WeightedError(const std::vector<float>& image, const std::vector<float>& decoded) {
  double sum = 0;
  for (size_t i = 0; i < decoded.size() / 2; ++i) {
    const double x = image[3 * i], y = image[3 * i + 1], zz = std::max(0.05, 1.0 - x * x - y * y);
    const double dx = decoded[2 * i] - x, dy = decoded[2 * i + 1] - y;
    sum += dx * dx * (1 + x * x / zz) + dy * dy * (1 + y * y / zz);
  }
  return sum;
}

}  // namespace

// Hand-worked blocks: unsigned (base * 8 + 4), multiplier 0 (steps of one), clamping at both
// ends, signed with -128 read as -127, and another table. Values are the 11-bit ones of the
// texels at (0, 0), (1, 0), (3, 0) and (0, 3), indices 0, 4, 7 and 3.
TEST(EacCompressTest, DecoderFollowsTheBlockLayout) {
  const std::tuple<int, int, bool, std::vector<int>> cases[] = {
      {0x80, 0x10, false, {1004, 1044, 1140, 908}},   // base 128, multiplier 1, table 0
      {0x80, 0x00, false, {1025, 1030, 1042, 1013}},  // multiplier 0: m = 1
      {0xFF, 0xF0, false, {1684, 2047, 2047, 244}},   // 2044 + 120 * modifier, clamped above
      {0x00, 0xF0, false, {0, 244, 1684, 0}},         // 4 + 120 * modifier, clamped below
      {0x80, 0x10, true, {-1023, -1000, -904, -1023}},  // -128 read as -127: -1016 + 8 * modifier
      {0xFF, 0x1D, true, {-16, -8, 64, -88}},         // base -1, table 13
      {0x7F, 0x00, true, {1013, 1018, 1023, 1001}},   // 1016 + modifier, clamped above
  };
  for (const auto& [base, multiplierAndTable, isSigned, expected] : cases) {
    const Bytes block = Cat({{uint8_t(base), uint8_t(multiplierAndTable)}, Bytes(kIndices, kIndices + 6)});
    float v[16];
    BwDecodeEacR11Block(block.data(), isSigned, v);
    const int texels[4] = {0, 1, 3, 12};
    for (int k = 0; k < 4; ++k) {
      const float value = float(expected[size_t(k)]);
      const float want = isSigned ? value / 1023.0f : value / 2047.0f * 2.0f - 1.0f;
      EXPECT_FLOAT_EQ(v[texels[k]], want) << base << " " << multiplierAndTable << " texel " << texels[k];
    }
  }
  // The whole first block, row by row: the indices run down the columns.
  const int rows[16] = {1004, 1044, 1068, 1140, 980, 1068, 1092, 1044, 956, 1092, 1140, 1004, 908, 1140, 1140, 1004};
  float v[16];
  BwDecodeEacR11Block(Cat({{0x80, 0x10}, Bytes(kIndices, kIndices + 6)}).data(), false, v);
  for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(v[i], float(rows[i]) / 2047.0f * 2.0f - 1.0f) << i;
}

// A block of one 11-bit value decodes to it exactly, ends included; signed blocks never use the
// base -128.
TEST(EacCompressTest, FlatBlocksExact) {
  for (bool isSigned : {false, true})
    for (int value : isSigned ? std::vector<int>{-1023, -1022, -5, 0, 3, 1018, 1023}
                              : std::vector<int>{0, 1, 4, 1029, 1031, 2046, 2047}) {
      const float c = isSigned ? float(value) / 1023.0f : float(value) / 2047.0f * 2.0f - 1.0f;
      const std::vector<float> image = Picture(4, 4, [c](int, int) { return std::pair(c, 0.25f * c); });
      std::vector<unsigned char> block(16);
      BwEncodeEacRg11Image(image.data(), 4, 4, 3, isSigned, block.data());
      float x[16];
      BwDecodeEacR11Block(block.data(), isSigned, x);
      for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(x[i], c) << value << " texel " << i;
      EXPECT_TRUE(!isSigned || block[0] != 0x80) << value;
    }
}

// Against BC5 from the same floats, as a table of bounds that a wrong index, table or base would
// break: on gentle slopes EAC's palette steps are coarser than BC4's sevenths (1.43 times BC5's
// error here; the best of all candidates gets 1.29), on rough blocks its sixteen palette shapes
// fit far better (0.70 times).
TEST(EacCompressTest, ErrorAgainstBc5) {
  const int w = 64, h = 48;
  const std::tuple<const char*, std::vector<float>, double> cases[] = {
      {"smooth", Smooth(w, h), 1.5}, {"rough", Rough(w, h), 0.75}};
  for (const auto& [name, image, ratio] : cases)
    for (bool isSigned : {false, true}) {
      std::vector<unsigned char> eac(size_t(w / 4) * (h / 4) * 16), bc5(eac.size());
      BwEncodeEacRg11Image(image.data(), w, h, 3, isSigned, eac.data());
      BwEncodeBc5Image(image.data(), w, h, 3, isSigned ? BwBc4Kind::SNORM : BwBc4Kind::UNORM, bc5.data());
      const double eacError = WeightedError(image, Decoded(eac, w, h, true, isSigned));
      const double bc5Error = WeightedError(image, Decoded(bc5, w, h, false, isSigned));
      EXPECT_LT(eacError, ratio * bc5Error) << name << (isSigned ? " signed" : " unsigned") << ", BC5 " << bc5Error;
    }
}

// The same bytes on one thread and on all, and in every processor version of the search that
// runs here (the baseline build checks the same hashes): the picture has smooth, rough and flat
// blocks and blocks at the ends of the range.
TEST(EacCompressTest, SameBytesOnEveryThreadCountAndProcessorVersion) {
  const int w = 137, h = 70;  // 35 x 18 blocks, the last column and row padded
  std::vector<float> image = Rough(w, h);
  const std::vector<float> smooth = Smooth(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* t = &image[(size_t(y) * w + x) * 3];
      if (x < w / 3) t[0] = smooth[(size_t(y) * w + x) * 3], t[1] = smooth[(size_t(y) * w + x) * 3 + 1];
      else if (x >= 2 * w / 3) t[0] = (x + y) % 3 ? 0.95f + 0.05f * t[0] : 1.0f, t[1] = y > h / 2 ? -1.0f : t[1] - 0.9f;
    }
  const std::pair<bool, uint64_t> cases[] = {{false, 15116425708048461387ull}, {true, 18024223638607071652ull}};
  for (const auto& [isSigned, hash] : cases) {
    SCOPED_TRACE(isSigned);
    ExpectSameBytesEverywhere(35 * 18 * 16, hash, [&, isSigned = isSigned](unsigned char* out, int version) {
      BwEncodeEacRg11Image(image.data(), w, h, 3, isSigned, out, BwVectorVersion(version));
    });
  }
}
