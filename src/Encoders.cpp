// The eight output encodings: 8-bit Targa (codes 0 to 2) and packed .kep textures (3 to 7).
#include <cfloat>
#include <cmath>
#include <cstring>

#include "Bumpweld.h"
#include "BwVector.h"
#include "Encoders.h"
#include "KepFileIO.h"
#include "OutputFile.h"
#include "Parallel.h"
#include "TGAIO.h"

float BwNarrowToFloat(double d) {
  const double magnitude = std::fabs(d);
  if (std::isnan(d) || magnitude <= double(FLT_MAX)) return float(d);
  // Halfway between FLT_MAX and 2^128 rounds to even, which is the infinity.
  const float big = magnitude < 0x1.ffffffp127 ? FLT_MAX : HUGE_VALF;
  return d < 0 ? -big : big;
}

void ConvertToExpPixel(double x, double y, double z, BwExpPixel* jp) {
  if (!jp) {
    BwErrorLog("ERROR: NULL pointer passed to ConvertToExpPixel!\n");
    BwFatalExit();
  }
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

struct Encoding {
  const char* message;
  int texelBytes;  // bytes of one encoded texel
  int bitDepth;    // Targa bit depth, or .kep bitDepth
  ZelBitmapFormatEnum format;
  bool targa;
};

const Encoding kEncodings[8] = {
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
};

// 16- and 32-bit texel words are stored in host byte order.
inline void Store16(unsigned char* out, uint16_t value) { std::memcpy(out, &value, 2); }
inline void Store32(unsigned char* out, uint32_t value) { std::memcpy(out, &value, 4); }

// One texel (x, y, z) in the encoding kCode, into kEncodings[kCode].texelBytes bytes.
template <int kCode>
BW_INLINE void EncodeTexel(float x, float y, float z, unsigned char* out) {
  if constexpr (kCode == 0 || kCode == 1) {
    out[0] = BwQ8(z);
    out[1] = BwQ8(y);
    out[2] = BwQ8(x);
    if constexpr (kCode == 1) out[3] = 255;
  } else if constexpr (kCode == 2) {
    BwExpPixel jp;
    ConvertToExpPixel(double(x), double(y), double(z), &jp);
    out[0] = jp.b;
    out[1] = jp.g;
    out[2] = jp.r;
    out[3] = jp.a;
  } else if constexpr (kCode == 3 || kCode == 4) {
    Store16(out, uint16_t(BwS16(x)));
    Store16(out + 2, uint16_t(BwS16(y)));
    if constexpr (kCode == 4) {
      Store16(out + 4, uint16_t(BwS16(z)));
      Store16(out + 6, 32767);
    }
  } else if constexpr (kCode == 5) {
    Store32(out, (BwQ10(x) << 22) | (BwQ10(y) << 12) | (BwQ10(z) << 2));
  } else {
    // 10 significant bits in every component (code 6), or 11 in x and y (code 7).
    const uint16_t chopXY = kCode == 6 ? 0xFFC0 : 0xFFE0;
    Store16(out, BwU16(x) & chopXY);
    Store16(out + 2, BwU16(y) & chopXY);
    Store16(out + 4, BwU16(z) & 0xFFC0u);
    Store16(out + 6, 32767);
  }
}

// Inlined into each version of BwEncodeTexels, so that it is compiled for that processor.
template <int kCode>
BW_INLINE void EncodeLoop(const float* BW_RESTRICT in, int numComponents, int64_t count,
                          unsigned char* BW_RESTRICT out) {
  constexpr int64_t texelBytes = kCode == 0 ? 3 : (kCode == 4 || kCode >= 6) ? 8 : 4;
  if (numComponents == 3) {
    // The usual layout, with a constant stride the compiler can vectorise.
    for (int64_t i = 0; i < count; ++i)
      EncodeTexel<kCode>(in[3 * i], in[3 * i + 1], in[3 * i + 2], out + i * texelBytes);
  } else {
    for (int64_t i = 0; i < count; ++i, in += numComponents)
      EncodeTexel<kCode>(in[0], in[1], in[2], out + i * texelBytes);
  }
}

}  // namespace

BW_VECTOR_CLONES
void BwEncodeTexels(int code, const float* in, int numComponents, int64_t count, unsigned char* out) {
  switch (code) {
    case 0: return EncodeLoop<0>(in, numComponents, count, out);
    case 1: return EncodeLoop<1>(in, numComponents, count, out);
    case 2: return EncodeLoop<2>(in, numComponents, count, out);
    case 3: return EncodeLoop<3>(in, numComponents, count, out);
    case 4: return EncodeLoop<4>(in, numComponents, count, out);
    case 5: return EncodeLoop<5>(in, numComponents, count, out);
    case 6: return EncodeLoop<6>(in, numComponents, count, out);
    default: return EncodeLoop<7>(in, numComponents, count, out);
  }
}

static const Encoding& SelectedEncoding() {
  const unsigned code = unsigned(gOutput);
  if (code > 7) {
    BwErrorLog("ERROR: Unknown output format!\n");
    BwFatalExit();
  }
  return kEncodings[code];
}

void BwShowEncodingStage() {
  BwErrorLog("%s", SelectedEncoding().message);
  BwShowSpinnerFrames(gHeight);
  BwEndStage();
}

BwTexelSource BwEncodeFrom(const float* img, int numComponents) {
  const int code = gOutput;
  const int64_t texelBytes = SelectedEncoding().texelBytes;
  return [=](uint64_t offset, uint64_t bytes, unsigned char* out) {
    const float* first = img + int64_t(offset) / texelBytes * numComponents;
    BwParallelFor(int64_t(bytes) / texelBytes, 1 << 15, [=](int64_t begin, int64_t end) {
      BwEncodeTexels(code, first + begin * numComponents, numComponents, end - begin,
                     out + begin * texelBytes);
    });
  };
}

int BwEncodedTexelBytes() { return SelectedEncoding().texelBytes; }

bool BwWriteEncodedImage(const char* fName, const BwTexelSource& encoded,
                         const std::function<bool()>& keep) {
  const Encoding& encoding = SelectedEncoding();
  bool opened = false;
  bool written = false;
  {
    OutputFile out(fName, BwDefaultOutputObserver());
    opened = bool(out);
    if (opened && encoding.targa) {
      written = TGAWriteTexels(out.Stream(), gWidth, gHeight, encoding.bitDepth, encoded);
    } else if (opened) {
      ZelBitmap header;
      header.width = uint16_t(gWidth);
      header.height = uint16_t(gHeight);
      header.bitDepth = uint8_t(encoding.bitDepth);
      header.format = encoding.format;
      header.pixels = nullptr;
      written = ZelWriteKEPStream(out.Stream(), &header, encoded);
    }
    if (written && keep && !keep()) return false;  // the temporary file goes with `out`
    if (written && !out.Commit()) {
      written = false;
      if (!encoding.targa) std::fprintf(stderr, "ERROR! Couldn't write texels!\n");
    }
  }
  if (!opened && encoding.targa) {
    BwErrorLog("ERROR: Unable to open %s\n", fName);
    BwFatalExit();
  }
  if (!opened) std::fprintf(stderr, "Warning! Could not open texture map \"%s\"\n", fName);
  if (!written) {
    BwErrorLog("ERROR: Unable to write %s\n", fName);
    BwFatalExit();
  }
  BwErrorLog("Wrote %s\n", fName);
  return true;
}

void WriteOutputImage(const char* fName, const float* img, int numComponents) {
  if (!fName || !img) {
    BwErrorLog("ERROR: NULL pointer passed to WriteOutputImage\n");
    BwFatalExit();
  }
  BwShowEncodingStage();
  // The texels are encoded a piece at a time while the file is written.
  BwWriteEncodedImage(fName, BwEncodeFrom(img, numComponents), nullptr);
}
