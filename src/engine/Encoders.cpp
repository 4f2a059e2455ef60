// The output encodings: 8-bit Targa (codes 0 to 2), packed .kep textures (3 to 7), and the texels
// handed to the PNG, GPU, TIFF and OpenEXR writers.
#include <cfloat>
#include <cmath>
#include <cstring>

#include <algorithm>

#include "BwVector.h"
#include "Half.h"
#include "Encoders.h"
#include "NormalMath.h"
#include "KepFileIO.h"
#include "OutputFile.h"
#include "Parallel.h"
#include "TGAIO.h"

void BwConvertToExpPixel(double x, double y, double z, BwExpPixel* jp) {
  // (x, y, 1 - z) divided by its largest magnitude, biased into r, g, b; the magnitude in a.
  const double omz = 1.0 - z;
  const double ax = std::fabs(x);
  const double ay = std::fabs(y);
  const double aomz = std::fabs(omz);
  double max;
  if (ax > ay)
    max = ax > aomz ? ax : aomz;
  else
    max = ay > aomz ? ay : aomz;
  // For the flat normal max is 0 and the quotients are not numbers: all four bytes become 0.
  jp->r = BwT8(x / max * 127.5 + 127.5);
  jp->g = BwT8(y / max * 127.5 + 127.5);
  jp->b = BwT8(omz / max * 127.5 + 127.5);
  jp->a = BwT8(max * 255.0);
}

namespace {

const BwEncoding kEncodings[BW_ENCODING_COUNT] = {
    {"\rConverting to 8x8x8 Targa\n", 3, 24, ZEL_BITMAP_FORMAT_UNKNOWN, true},
    {"\rConverting to 8x8x8x8 Targa\n", 4, 32, ZEL_BITMAP_FORMAT_UNKNOWN, true},
    {"\rConverting to experimental format\n", 4, 32, ZEL_BITMAP_FORMAT_UNKNOWN, true},
    {"\rConverting to 16x16 signed format\n", 4, 32, ZEL_BITMAP_FORMAT_S1616, false},
    {"\rConverting to 16x16x16x16 signed format\n", 8, 64, ZEL_BITMAP_FORMAT_S16161616, false},
    {"\rConverting to 10x10x10x2 format\n", 4, 32, ZEL_BITMAP_FORMAT_1010102, false},
    {"\rConverting to 10x10x10x2 test format (bit chopped 16bpc)\n", 8, 64,
     ZEL_BITMAP_FORMAT_16161616, false},
    {"\rConverting to 11x11x10 test format (bit chopped 16bpc)\n", 8, 64,
     ZEL_BITMAP_FORMAT_16161616, false},
    {"\rConverting to 8x8x8 PNG\n", 3, 24, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 16x16x16 PNG\n", 6, 48, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 8x8x8 TIFF\n", 3, 24, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 16x16x16 TIFF\n", 6, 48, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to OpenEXR half\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to OpenEXR float\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to BC5 (BC5_UNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to BC5 signed (BC5_SNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 16x16 signed (R16G16_SNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 16x16x16x16 signed (R16G16B16A16_SNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 10x10x10x2 (R10G10B10A2_UNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to 8x8x8x8 (R8G8B8A8_UNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to BC3n (BC3_UNORM, x in alpha, y in green)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to EAC RG11 (EAC_R11G11_UNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to EAC RG11 signed (EAC_R11G11_SNORM)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to ASTC 4x4 (ASTC_4x4_UNORM, normal map)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to ASTC 5x5 (ASTC_5x5_UNORM, normal map)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to ASTC 6x6 (ASTC_6x6_UNORM, normal map)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
    {"\rConverting to ASTC 8x8 (ASTC_8x8_UNORM, normal map)\n", 12, 96, ZEL_BITMAP_FORMAT_UNKNOWN, false},
};

// The component conversions, truncating or (kRound) rounding to nearest and clamping.
template <bool kRound>
BW_INLINE unsigned char Q8(float v) {
  if constexpr (!kRound) return BwQ8(v);
  return BwQ8Rounded(v);
}
template <bool kRound>
BW_INLINE int16_t S16(float v) {
  if constexpr (!kRound) return BwS16(v);
  return BwS16Rounded(v);
}
template <bool kRound>
BW_INLINE uint32_t Q10(float v) {
  if constexpr (!kRound) return BwQ10(v);
  return BwQ10Rounded(v);
}
template <bool kRound>
BW_INLINE uint16_t U16(float v) {
  if constexpr (!kRound) return BwU16(v);
  return BwU16Rounded(v);
}

// 16- and 32-bit texel words are stored in host byte order.
inline void Store16(unsigned char* out, uint16_t value) { std::memcpy(out, &value, 2); }
inline void Store32(unsigned char* out, uint32_t value) { std::memcpy(out, &value, 4); }

// One texel (x, y, z) in the encoding kCode, into kEncodings[kCode].texelBytes bytes.
// Rounded to nearest, 0 would become 128 (or 32768), which reads back as a direction: an empty
// texel is written as the empty texel of an input instead, 127 (or 32767) in every component.
BW_INLINE bool Empty(float x, float y, float z) {
  const float e[3] = {x, y, z};
  return !BwIsFilled(e);
}

template <int kCode, bool kRound>
BW_INLINE void EncodeTexel(float x, float y, float z, unsigned char* out) {
  if constexpr (kCode == 0 || kCode == 1 || kCode == BW_ENCODING_PNG8) {
    const bool empty = kRound && Empty(x, y, z);
    const unsigned char bx = empty ? 127 : Q8<kRound>(x);
    const unsigned char by = empty ? 127 : Q8<kRound>(y);
    const unsigned char bz = empty ? 127 : Q8<kRound>(z);
    out[0] = kCode == BW_ENCODING_PNG8 ? bx : bz;
    out[1] = by;
    out[2] = kCode == BW_ENCODING_PNG8 ? bz : bx;
    if constexpr (kCode == 1) out[3] = 255;
  } else if constexpr (kCode == BW_ENCODING_PNG16) {
    // The nearest of (c + 1) / 2 * 65535, clamped, whether or not rounding was asked for.
    const bool empty = Empty(x, y, z);
    const auto wide = [empty](float c) {
      return uint16_t(empty ? 32767 : BwRoundClamped((double(c) + 1.0) / 2.0 * 65535.0, 0.0, 65535.0));
    };
    Store16(out, wide(x));
    Store16(out + 2, wide(y));
    Store16(out + 4, wide(z));
  } else if constexpr (kCode >= BW_ENCODING_GPU) {
    const float texel[3] = {x, y, z};
    std::memcpy(out, texel, sizeof texel);
  } else if constexpr (kCode == 2) {
    BwExpPixel jp;
    BwConvertToExpPixel(double(x), double(y), double(z), &jp);
    out[0] = jp.b;
    out[1] = jp.g;
    out[2] = jp.r;
    out[3] = jp.a;
  } else if constexpr (kCode == 3 || kCode == 4) {
    Store16(out, uint16_t(S16<kRound>(x)));
    Store16(out + 2, uint16_t(S16<kRound>(y)));
    if constexpr (kCode == 4) {
      Store16(out + 4, uint16_t(S16<kRound>(z)));
      Store16(out + 6, 32767);
    }
  } else if constexpr (kCode == 5) {
    Store32(out, (Q10<kRound>(x) << 22) | (Q10<kRound>(y) << 12) | (Q10<kRound>(z) << 2));
  } else {
    // 10 significant bits in every component (code 6), or 11 in x and y (code 7).
    const uint16_t chopXY = kCode == 6 ? 0xFFC0 : 0xFFE0;
    Store16(out, U16<kRound>(x) & chopXY);
    Store16(out + 2, U16<kRound>(y) & chopXY);
    Store16(out + 4, U16<kRound>(z) & 0xFFC0u);
    Store16(out + 6, 32767);
  }
}

// Inlined into each version of BwEncodeTexels, so that it is compiled for that processor.
template <int kCode, bool kRound>
BW_INLINE void EncodeLoop(const float* BW_RESTRICT in, int numComponents, int64_t count,
                          unsigned char* BW_RESTRICT out) {
  constexpr int64_t texelBytes = kCode == 0 || kCode == BW_ENCODING_PNG8 ? 3
                                 : kCode == BW_ENCODING_PNG16            ? 6
                                 : kCode >= BW_ENCODING_GPU              ? 12
                                 : (kCode == 4 || kCode == 6 || kCode == 7) ? 8
                                                                         : 4;
  if (numComponents == 3) {
    // The usual layout, with a constant stride the compiler can vectorise.
    for (int64_t i = 0; i < count; ++i)
      EncodeTexel<kCode, kRound>(in[3 * i], in[3 * i + 1], in[3 * i + 2], out + i * texelBytes);
  } else {
    for (int64_t i = 0; i < count; ++i, in += numComponents)
      EncodeTexel<kCode, kRound>(in[0], in[1], in[2], out + i * texelBytes);
  }
}

template <bool kRound>
BW_INLINE void EncodeAny(int code, const float* in, int numComponents, int64_t count, unsigned char* out) {
  switch (code) {
    case 0: return EncodeLoop<0, kRound>(in, numComponents, count, out);
    case 1: return EncodeLoop<1, kRound>(in, numComponents, count, out);
    case 2: return EncodeLoop<2, kRound>(in, numComponents, count, out);
    case 3: return EncodeLoop<3, kRound>(in, numComponents, count, out);
    case 4: return EncodeLoop<4, kRound>(in, numComponents, count, out);
    case 5: return EncodeLoop<5, kRound>(in, numComponents, count, out);
    case 6: return EncodeLoop<6, kRound>(in, numComponents, count, out);
    case 7: return EncodeLoop<7, kRound>(in, numComponents, count, out);
    case BW_ENCODING_PNG8:
    case BW_ENCODING_TIFF8: return EncodeLoop<BW_ENCODING_PNG8, kRound>(in, numComponents, count, out);
    case BW_ENCODING_PNG16:
    case BW_ENCODING_TIFF16: return EncodeLoop<BW_ENCODING_PNG16, kRound>(in, numComponents, count, out);
    default: return EncodeLoop<BW_ENCODING_GPU, kRound>(in, numComponents, count, out);
  }
}

}  // namespace

BW_VECTOR_CLONES
void BwEncodeTexels(int code, const float* in, int numComponents, int64_t count, unsigned char* out) {
  if (code & BW_ROUND)
    EncodeAny<true>(code & ~BW_ROUND, in, numComponents, count, out);
  else
    EncodeAny<false>(code, in, numComponents, count, out);
}

namespace {

inline uint16_t Load16(const unsigned char* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// One texel of the encoding kCode (GPU formats aside) back to three floats.
template <int kCode>
BW_INLINE void DecodeTexel(const unsigned char* t, float* n) {
  constexpr float kByte = 1.0f / 127.5f, kWord = 1.0f / 32767.5f;
  if constexpr (kCode == 0 || kCode == 1) {  // Targa: blue, green, red carry z, y, x
    n[0] = float(t[2]) * kByte - 1.0f, n[1] = float(t[1]) * kByte - 1.0f, n[2] = float(t[0]) * kByte - 1.0f;
  } else if constexpr (kCode == BW_ENCODING_PNG8) {
    n[0] = float(t[0]) * kByte - 1.0f, n[1] = float(t[1]) * kByte - 1.0f, n[2] = float(t[2]) * kByte - 1.0f;
  } else if constexpr (kCode == 2) {  // (x, y, 1 - z) over their largest magnitude m, and m
    const float m = float(t[3]) / 255.0f;
    n[0] = (float(t[2]) * kByte - 1.0f) * m, n[1] = (float(t[1]) * kByte - 1.0f) * m;
    n[2] = 1.0f - (float(t[0]) * kByte - 1.0f) * m;
  } else if constexpr (kCode == 3 || kCode == 4) {
    n[0] = float(int16_t(Load16(t))) / 32767.0f, n[1] = float(int16_t(Load16(t + 2))) / 32767.0f;
    n[2] = kCode == 4 ? float(int16_t(Load16(t + 4))) / 32767.0f
                      : std::sqrt(std::max(0.0f, 1.0f - n[0] * n[0] - n[1] * n[1]));
  } else if constexpr (kCode == 5) {
    uint32_t v;
    std::memcpy(&v, t, 4);
    n[0] = (float(v >> 22 & 0x3FF) - 511.0f) / 511.0f, n[1] = (float(v >> 12 & 0x3FF) - 511.0f) / 511.0f;
    n[2] = (float(v >> 2 & 0x3FF) - 511.0f) / 511.0f;
  } else if constexpr (kCode == 6 || kCode == 7 || kCode == BW_ENCODING_PNG16) {
    n[0] = float(Load16(t)) * kWord - 1.0f, n[1] = float(Load16(t + 2)) * kWord - 1.0f;
    n[2] = float(Load16(t + 4)) * kWord - 1.0f;
  } else {  // OpenEXR: floats, stored as half or as they are
    std::memcpy(n, t, 12);
    if constexpr (kCode == BW_ENCODING_EXR_HALF)
      for (int c = 0; c < 3; ++c) n[c] = BwHalfToFloat(BwFloatToHalf(n[c]));
  }
}

template <int kCode>
void DecodeLoop(const unsigned char* encoded, int64_t count, float* out) {
  const int64_t texelBytes = kEncodings[kCode].texelBytes;
  for (int64_t i = 0; i < count; ++i) DecodeTexel<kCode>(encoded + i * texelBytes, out + i * 3);
}

}  // namespace

void BwDecodeTexels(int code, const unsigned char* encoded, int64_t count, float* out) {
  switch (code & ~BW_ROUND) {
    case 0: return DecodeLoop<0>(encoded, count, out);
    case 1: return DecodeLoop<1>(encoded, count, out);
    case 2: return DecodeLoop<2>(encoded, count, out);
    case 3: return DecodeLoop<3>(encoded, count, out);
    case 4: return DecodeLoop<4>(encoded, count, out);
    case 5: return DecodeLoop<5>(encoded, count, out);
    case 6: return DecodeLoop<6>(encoded, count, out);
    case 7: return DecodeLoop<7>(encoded, count, out);
    case BW_ENCODING_PNG8:
    case BW_ENCODING_TIFF8: return DecodeLoop<BW_ENCODING_PNG8>(encoded, count, out);
    case BW_ENCODING_PNG16:
    case BW_ENCODING_TIFF16: return DecodeLoop<BW_ENCODING_PNG16>(encoded, count, out);
    case BW_ENCODING_EXR_HALF: return DecodeLoop<BW_ENCODING_EXR_HALF>(encoded, count, out);
    default: return DecodeLoop<BW_ENCODING_EXR_FLOAT>(encoded, count, out);
  }
}

void BwTallyEncoded(int code, const float* in, int numComponents, int64_t count, const unsigned char* encoded,
                    BwAngleTally* tally) {
  if ((code & ~BW_ROUND) >= BW_ENCODING_GPU) return;
  constexpr int64_t kChunk = 1024;
  float decoded[kChunk * 3];
  const int64_t texelBytes = kEncodings[code & ~BW_ROUND].texelBytes;
  for (int64_t at = 0; at < count; at += kChunk) {
    const int64_t n = std::min(kChunk, count - at);
    BwDecodeTexels(code, encoded + at * texelBytes, n, decoded);
    tally->Add(in + at * numComponents, numComponents, decoded, 3, n);
  }
}

const BwEncoding* BwFindEncoding(int code) {
  code &= ~BW_ROUND;
  return code >= 0 && code < BW_ENCODING_COUNT ? &kEncodings[code] : nullptr;
}

const BwEncoding& BwSelectedEncoding(BwRun& run) {
  const BwEncoding* encoding = BwFindEncoding(run.encoding);
  if (!encoding) run.Fail(BW_ERROR_SETTINGS, "ERROR: Unknown output format!\n");
  return *encoding;
}

void BwShowEncodingStage(BwRun& run) {
  run.console.Message("%s", BwSelectedEncoding(run).message);
  run.console.Spinner(run.height);  // one frame per row
  run.console.EndStage();
}

BwTexelSource BwEncodeFrom(int code, const float* img, int numComponents, BwAngleStats* angles) {
  const int64_t texelBytes = BwFindEncoding(code)->texelBytes;
  return [=](uint64_t offset, uint64_t bytes, unsigned char* out) {
    const float* first = img + int64_t(offset) / texelBytes * numComponents;
    BwParallelFor(int64_t(bytes) / texelBytes, 1 << 15, [=](int64_t begin, int64_t end) {
      BwEncodeTexels(code, first + begin * numComponents, numComponents, end - begin,
                     out + begin * texelBytes);
      if (!angles) return;
      BwAngleTally tally;
      BwTallyEncoded(code, first + begin * numComponents, numComponents, end - begin, out + begin * texelBytes, &tally);
      angles->Merge(tally);
    });
    return true;
  };
}

bool BwWriteEncodedStream(FILE* fp, const BwEncoding& encoding, int width, int height,
                          const BwTexelSource& encoded) {
  if (encoding.targa) return TGAWriteTexels(fp, width, height, encoding.bitDepth, encoded);
  ZelBitmap header;
  header.width = uint16_t(width);
  header.height = uint16_t(height);
  header.bitDepth = uint8_t(encoding.bitDepth);
  header.format = encoding.format;
  header.pixels = nullptr;
  return ZelWriteKEPStream(fp, &header, encoded);
}
