// Vectorisable row kernels; see RowKernels.h.
#include "RowKernels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "BwVector.h"
#include "Filters.h"
#include "NormalMath.h"
#include "Settings.h"

namespace {

// A value of type T stored at p, whatever its alignment.
template <typename T>
T Load(const unsigned char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// (b - 127.5) / 127.5 for every byte value b, in double precision.
struct ByteToComponent {
  double value[256];
  ByteToComponent() {
    for (int b = 0; b < 256; ++b) value[b] = (double(b) - 127.5) / 127.5;
  }
};
const ByteToComponent kComponent;

BW_VECTOR_CLONES
void NormalizeToFloat(int64_t count, const double* BW_RESTRICT dx, const double* BW_RESTRICT dy,
                      const double* BW_RESTRICT dz, const unsigned char* BW_RESTRICT empty,
                      float* BW_RESTRICT ox, float* BW_RESTRICT oy, float* BW_RESTRICT oz) {
  for (int64_t i = 0; i < count; ++i) {
    // Every value is computed and then selected, so the loop has no branches.
    const double len = std::sqrt((dx[i] * dx[i] + dy[i] * dy[i]) + dz[i] * dz[i]);
    const bool tiny = len < BW_TINY;
    const float nx = float(dx[i] / len);
    const float ny = float(dy[i] / len);
    const float nz = float(dz[i] / len);
    ox[i] = empty[i] ? 0.0f : (tiny ? 1.0f : nx);
    oy[i] = empty[i] ? 0.0f : (tiny ? 0.0f : ny);
    oz[i] = empty[i] ? 0.0f : (tiny ? 0.0f : nz);
  }
}

// The Sobel normal from the heights of the 3 x 3 neighbourhood: the row above (m), the middle
// row (c, its centre not needed) and the row below (p), each at the left (l), centre (0) and
// right (r) column. The sums are taken in exactly this order.
struct Normal3 {
  float x, y, z;
};

// One Sobel sum, (d + 2 e + f) - (a + 2 b + c), accumulated in single precision in this order.
inline float SobelSum(float a, float b, float c, float d, float e, float f) {
  float sum = -a;
  sum += -2.0f * b;
  sum -= c;
  sum += d;
  sum += 2.0f * e;
  sum += f;
  return sum;
}

inline Normal3 SobelNormal(float ml, float m0, float mr, float cl, float cr, float pl, float p0,
                           float pr) {
  const float dY = SobelSum(pl, p0, pr, ml, m0, mr);  // row above minus row below
  const float dX = SobelSum(ml, cl, pl, mr, cr, pr);  // right column minus left column
  const float nX = -dX;
  const float nY = -dY;
  const float nZ = 1.0f;
  // The square root is taken in double and rounded to float before the division.
  const float oolen = 1.0f / float(std::sqrt(double((nX * nX + nY * nY) + nZ * nZ)));
  return {nX * oolen, nY * oolen, nZ * oolen};
}

// Sobel normals of columns begin .. end - 1 with neighbour columns x - 1 and x + 1.
BW_VECTOR_CLONES
void SobelInterior(int64_t begin, int64_t end, const float* BW_RESTRICT hm,
                   const float* BW_RESTRICT hc, const float* BW_RESTRICT hp, float* BW_RESTRICT ox,
                   float* BW_RESTRICT oy, float* BW_RESTRICT oz) {
  for (int64_t x = begin; x < end; ++x) {
    const Normal3 n = SobelNormal(hm[x - 1], hm[x], hm[x + 1], hc[x - 1], hc[x + 1], hp[x - 1],
                                  hp[x], hp[x + 1]);
    ox[x] = n.x;
    oy[x] = n.y;
    oz[x] = n.z;
  }
}

// The Sobel normal of column x with the neighbour columns xm and xp (at the edges).
void SobelAt(int64_t x, int64_t xm, int64_t xp, const float* hm, const float* hc, const float* hp,
             float* ox, float* oy, float* oz) {
  const Normal3 n = SobelNormal(hm[xm], hm[x], hm[xp], hc[xm], hc[xp], hp[xm], hp[x], hp[xp]);
  ox[x] = n.x;
  oy[x] = n.y;
  oz[x] = n.z;
}

// The rotation of (0, 0, 1) onto the base normal in its general form, applied to the second
// normal; an empty base texel gives (0, 0, 0). Texels whose base normal is nearly parallel or
// opposite to (0, 0, 1) are flagged: the two-reflection form is computed for them afterwards.
BW_VECTOR_CLONES
void RotateGeneral(int64_t count, const float* BW_RESTRICT bx, const float* BW_RESTRICT by,
                   const float* BW_RESTRICT bz, const float* BW_RESTRICT sx,
                   const float* BW_RESTRICT sy, const float* BW_RESTRICT sz,
                   unsigned char* BW_RESTRICT reflect, float* BW_RESTRICT rx,
                   float* BW_RESTRICT ry, float* BW_RESTRICT rz) {
  const float fx = 0.0f, fy = 0.0f, fz = 1.0f;
  BW_VECTORIZE_LOOP
  for (int64_t i = 0; i < count; ++i) {
    const float tx = bx[i], ty = by[i], tz = bz[i];
    const float len2 = tx * tx + ty * ty + tz * tz;
    const bool merged = double(len2) > BW_TINY;
    const float vx = fy * tz - fz * ty;
    const float vy = fz * tx - fx * tz;
    const float vz = fx * ty - fy * tx;
    const float e = (fx * tx + fy * ty) + fz * tz;
    const float f = e < 0.0f ? -e : e;
    reflect[i] = merged & (double(f) > 0.9999999);
    float m[9];
    BwGeneralRotation(e, vx, vy, vz, m);
    rx[i] = merged ? sx[i] * m[0] + sy[i] * m[1] + sz[i] * m[2] : 0.0f;
    ry[i] = merged ? sx[i] * m[3] + sy[i] * m[4] + sz[i] * m[5] : 0.0f;
    rz[i] = merged ? sx[i] * m[6] + sy[i] * m[7] + sz[i] * m[8] : 0.0f;
  }
}

// Renormalises filled texels in double precision and interleaves them into out.
BW_VECTOR_CLONES
void RenormalizeInterleave(int64_t count, const float* BW_RESTRICT rx, const float* BW_RESTRICT ry,
                           const float* BW_RESTRICT rz, float* BW_RESTRICT out) {
  for (int64_t i = 0; i < count; ++i) {
    const float r0 = rx[i], r1 = ry[i], r2 = rz[i];
    const double d0 = double(r0), d1 = double(r1), d2 = double(r2);
    const bool filled = (std::fabs(d0) > BW_TINY) | (std::fabs(d1) > BW_TINY) | (std::fabs(d2) > BW_TINY);
    const double len = std::sqrt((d0 * d0 + d1 * d1) + d2 * d2);
    const bool tiny = len < BW_TINY;
    const float q0 = float(d0 / len), q1 = float(d1 / len), q2 = float(d2 / len);
    out[3 * i] = filled ? (tiny ? 1.0f : q0) : r0;
    out[3 * i + 1] = filled ? (tiny ? 0.0f : q1) : r1;
    out[3 * i + 2] = filled ? (tiny ? 0.0f : q2) : r2;
  }
}

}  // namespace

BW_VECTOR_CLONES
bool BwRowHasEmpty(const float* BW_RESTRICT t, int64_t count) {
  // BwIsFilled for every texel, without a branch, so that the loop vectorises.
  int empty = 0;
  for (int64_t i = 0; i < count; ++i)
    empty |= !(std::fabs(double(t[3 * i])) > BW_TINY) & !(std::fabs(double(t[3 * i + 1])) > BW_TINY) &
             !(std::fabs(double(t[3 * i + 2])) > BW_TINY);
  return empty != 0;
}

BwRowScratch::BwRowScratch(int64_t width)
    : dx(BwAllocArray<double>(uint64_t(width))),
      dy(BwAllocArray<double>(uint64_t(width))),
      dz(BwAllocArray<double>(uint64_t(width))),
      bx(BwAllocArray<float>(uint64_t(width))),
      by(BwAllocArray<float>(uint64_t(width))),
      bz(BwAllocArray<float>(uint64_t(width))),
      sx(BwAllocArray<float>(uint64_t(width))),
      sy(BwAllocArray<float>(uint64_t(width))),
      sz(BwAllocArray<float>(uint64_t(width))),
      hm(BwAllocArray<float>(uint64_t(width))),
      hc(BwAllocArray<float>(uint64_t(width))),
      hp(BwAllocArray<float>(uint64_t(width))),
      rx(BwAllocArray<float>(uint64_t(width))),
      ry(BwAllocArray<float>(uint64_t(width))),
      rz(BwAllocArray<float>(uint64_t(width))),
      st(BwAllocArray<float>(uint64_t(width))),
      flag(BwAllocArray<unsigned char>(uint64_t(width))) {
  if (!dx || !dy || !dz || !bx || !by || !bz || !sx || !sy || !sz || !hm || !hc || !hp || !rx ||
      !ry || !rz || !st || !flag)
    throw std::bad_alloc();
}

namespace {

// The components of 8-bit colour texels of kStep bytes, red at byte kRed, green at byte 1 and
// blue at byte kBlue: x from red, y from green, z from blue, each (b - 127.5) / 127.5; a texel
// of 127, 127, 127 is empty. One loop for each layout, so that the offsets are constants and
// nothing but the loads and the table remain per texel.
template <int kStep, int kRed, int kBlue>
void ComponentsOfBytes(const unsigned char* BW_RESTRICT t, int64_t count, BwRowScratch* s) {
  double* BW_RESTRICT dx = s->dx.get();
  double* BW_RESTRICT dy = s->dy.get();
  double* BW_RESTRICT dz = s->dz.get();
  unsigned char* BW_RESTRICT empty = s->flag.get();
  for (int64_t i = 0; i < count; ++i, t += kStep) {
    const unsigned char r = t[kRed], g = t[1], b = t[kBlue];
    dx[i] = kComponent.value[r];
    dy[i] = kComponent.value[g];
    dz[i] = kComponent.value[b];
    empty[i] = (r == 127) & (g == 127) & (b == 127);
  }
}

// (v - 32767.5) / 32767.5 for every 16-bit value v, made when first needed (512 KiB that an
// 8-bit job never touches).
const double* WordToComponent() {
  static const std::unique_ptr<double[]> table = [] {
    std::unique_ptr<double[]> values(new double[65536]);
    for (int v = 0; v < 65536; ++v) values[v] = (double(v) - 32767.5) / 32767.5;
    return values;
  }();
  return table.get();
}

// As ComponentsOfBytes, for 16-bit texels of kStep values in host byte order; empty is
// 127, 127, 127 in the high bytes, the empty texel of an 8-bit map widened to 16 bits.
template <int kStep, int kRed, int kBlue>
void ComponentsOfWords(const unsigned char* BW_RESTRICT row, int64_t count, BwRowScratch* s) {
  const double* BW_RESTRICT component = WordToComponent();
  double* BW_RESTRICT dx = s->dx.get();
  double* BW_RESTRICT dy = s->dy.get();
  double* BW_RESTRICT dz = s->dz.get();
  unsigned char* BW_RESTRICT empty = s->flag.get();
  for (int64_t i = 0; i < count; ++i, row += 2 * kStep) {
    const uint16_t r = Load<uint16_t>(row + 2 * kRed), g = Load<uint16_t>(row + 2), b = Load<uint16_t>(row + 2 * kBlue);
    dx[i] = component[r];
    dy[i] = component[g];
    dz[i] = component[b];
    empty[i] = ((r >> 8) == 127) & ((g >> 8) == 127) & ((b >> 8) == 127);
  }
}

// The colour layouts that have loops of their own, numbered 0 to 7: `channels` values (3 or 4)
// of 8 or 16 bits (`wide`), red first or (Targa order) blue first; -1 for any other layout.
int LayoutIndex(int channels, bool wide, bool rgbOrder) {
  if (channels != 3 && channels != 4) return -1;
  return (channels == 4 ? 1 : 0) | (rgbOrder ? 2 : 0) | (wide ? 4 : 0);
}

// The table loop for a colour layout (see LayoutIndex); null for any other layout.
using Components = void (*)(const unsigned char*, int64_t, BwRowScratch*);
Components ComponentsFor(int channels, bool wide, bool rgbOrder) {
  switch (LayoutIndex(channels, wide, rgbOrder)) {
    case 0: return ComponentsOfBytes<3, 2, 0>;
    case 1: return ComponentsOfBytes<4, 2, 0>;
    case 2: return ComponentsOfBytes<3, 0, 2>;
    case 3: return ComponentsOfBytes<4, 0, 2>;
    case 4: return ComponentsOfWords<3, 2, 0>;
    case 5: return ComponentsOfWords<4, 2, 0>;
    case 6: return ComponentsOfWords<3, 0, 2>;
    case 7: return ComponentsOfWords<4, 0, 2>;
    default: return nullptr;
  }
}

// Unit normals straight from colour texels of kStep values of type V (8 or 16 bits, host byte
// order), red at kRed and blue at kBlue, for the vector versions of the code. Each component is
// worked out as (2v - M) / M with M = 255 or 65535, which is exactly the tables' (v - M / 2) /
// (M / 2): the same real number, rounded once. So the loop needs no table lookups, vectorises,
// and keeps its doubles in registers.
template <typename V, int kStep, int kRed, int kBlue>
BW_VECTOR_CLONES void NormalsOf(const unsigned char* BW_RESTRICT t, int64_t count, float* BW_RESTRICT ox,
                                float* BW_RESTRICT oy, float* BW_RESTRICT oz) {
  constexpr int kTop = sizeof(V) == 1 ? 255 : 65535;
  constexpr int kEmptyHigh = 127;  // the high byte of each value of the empty texel
  constexpr int kShift = 8 * int(sizeof(V)) - 8;
  for (int64_t i = 0; i < count; ++i) {
    const int r = Load<V>(t + sizeof(V) * (kStep * i + kRed));
    const int g = Load<V>(t + sizeof(V) * (kStep * i + 1));
    const int b = Load<V>(t + sizeof(V) * (kStep * i + kBlue));
    const double dx = double(2 * r - kTop) / double(kTop);
    const double dy = double(2 * g - kTop) / double(kTop);
    const double dz = double(2 * b - kTop) / double(kTop);
    const bool empty = ((r >> kShift) == kEmptyHigh) & ((g >> kShift) == kEmptyHigh) & ((b >> kShift) == kEmptyHigh);
    const double len = std::sqrt((dx * dx + dy * dy) + dz * dz);
    const bool tiny = len < BW_TINY;
    const float nx = float(dx / len), ny = float(dy / len), nz = float(dz / len);
    ox[i] = empty ? 0.0f : (tiny ? 1.0f : nx);
    oy[i] = empty ? 0.0f : (tiny ? 0.0f : ny);
    oz[i] = empty ? 0.0f : (tiny ? 0.0f : nz);
  }
}

using Normals = void (*)(const unsigned char*, int64_t, float*, float*, float*);
Normals NormalsFor(int channels, bool wide, bool rgbOrder) {
  switch (LayoutIndex(channels, wide, rgbOrder)) {
    case 0: return NormalsOf<uint8_t, 3, 2, 0>;
    case 1: return NormalsOf<uint8_t, 4, 2, 0>;
    case 2: return NormalsOf<uint8_t, 3, 0, 2>;
    case 3: return NormalsOf<uint8_t, 4, 0, 2>;
    case 4: return NormalsOf<uint16_t, 3, 2, 0>;
    case 5: return NormalsOf<uint16_t, 4, 2, 0>;
    case 6: return NormalsOf<uint16_t, 3, 0, 2>;
    case 7: return NormalsOf<uint16_t, 4, 0, 2>;
    default: return nullptr;
  }
}

// Whether this processor runs a vector version of the code (AVX2 or more). There the divisions
// cost less than the table lookups; the baseline version keeps the tables.
bool VectorDecode() { return BwFastestVectorVersion() != BwVectorVersion::BASELINE; }

// Unit normals of `count` colour texels (see ComponentsFor) into ox, oy, oz; false, with nothing
// done, for a layout without a loop of its own. Through the tables a piece is done at a time, so
// that a piece's components stay in the first-level cache until they are normalised.
bool DecodeColourRow(int channels, bool wide, bool rgbOrder, const unsigned char* texels, int64_t count,
                     BwRowScratch* s, float* ox, float* oy, float* oz) {
  if (VectorDecode()) {
    const Normals normals = NormalsFor(channels, wide, rgbOrder);
    if (!normals) return false;
    normals(texels, count, ox, oy, oz);
    return true;
  }
  const Components components = ComponentsFor(channels, wide, rgbOrder);
  if (!components) return false;
  const int64_t texelBytes = channels * (wide ? 2 : 1);
  constexpr int64_t kPiece = 512;
  for (int64_t i = 0; i < count; i += kPiece) {
    const int64_t n = std::min(kPiece, count - i);
    components(texels + i * texelBytes, n, s);
    NormalizeToFloat(n, s->dx.get(), s->dy.get(), s->dz.get(), s->flag.get(), ox + i, oy + i, oz + i);
  }
  return true;
}

}  // namespace

void BwDecodeNormalsRow(const unsigned char* texels, int texelBytes, int64_t count, BwRowScratch* s,
                        float* ox, float* oy, float* oz) {
  if (DecodeColourRow(texelBytes, false, false, texels, count, s, ox, oy, oz)) return;
  double* dx = s->dx.get();
  double* dy = s->dy.get();
  double* dz = s->dz.get();
  unsigned char* empty = s->flag.get();
  // A grey or grey-and-alpha texel: x from the file's red byte (in `green`), y from green (in
  // `blue`), z from blue (in `red`), and the components it lacks 0.
  for (int64_t i = 0; i < count; ++i) {
    _pixel pix = {};
    ReadPixel(texels, int(count), texelBytes, &pix, int(i), 0);
    dx[i] = kComponent.value[pix.green];
    dy[i] = kComponent.value[pix.blue];
    dz[i] = kComponent.value[pix.red];
    empty[i] = pix.red == 127 && pix.green == 127 && pix.blue == 127;
  }
  NormalizeToFloat(count, dx, dy, dz, empty, ox, oy, oz);
}

namespace {

void DecodeNormalMapRow(const BwInputTexels& texels, int64_t y, BwRowScratch* s, float* ox,
                        float* oy, float* oz) {
  const int64_t count = texels.width;
  const int64_t step = texels.TexelBytes();
  if (texels.type == BW_TEXEL_U8 && !texels.rgbOrder)
    return BwDecodeNormalsRow(texels.Row(y), int(step), count, s, ox, oy, oz);
  double* dx = s->dx.get();
  double* dy = s->dy.get();
  double* dz = s->dz.get();
  unsigned char* empty = s->flag.get();
  const unsigned char* row = texels.Row(y);
  if (texels.type != BW_TEXEL_F32 &&
      DecodeColourRow(texels.channels, texels.type == BW_TEXEL_U16, texels.rgbOrder, row, count, s, ox, oy, oz))
    return;
  const int64_t size = step / texels.channels;
  const int64_t blue = texels.BlueIndex() * size, red = texels.RedIndex() * size;
  for (int64_t i = 0; i < count; ++i) {
    const unsigned char* t = row + i * step;
    if (texels.type == BW_TEXEL_U8) {
      // As BwDecodeNormalsRow does it, with red first.
      const unsigned char b = t[blue], g = t[size], r = t[red];
      dx[i] = kComponent.value[r];
      dy[i] = kComponent.value[g];
      dz[i] = kComponent.value[b];
      empty[i] = r == 127 && g == 127 && b == 127;
    } else if (texels.type == BW_TEXEL_U16) {
      const uint16_t b = Load<uint16_t>(t + blue), g = Load<uint16_t>(t + size), r = Load<uint16_t>(t + red);
      dx[i] = (double(r) - 32767.5) / 32767.5;
      dy[i] = (double(g) - 32767.5) / 32767.5;
      dz[i] = (double(b) - 32767.5) / 32767.5;
      // 127, 127, 127 in the high bytes: the empty texel of an 8-bit map widened to 16 bits.
      empty[i] = (r >> 8) == 127 && (g >> 8) == 127 && (b >> 8) == 127;
    } else {
      const float b = Load<float>(t + blue), g = Load<float>(t + size), r = Load<float>(t + red);
      dx[i] = double(r);
      dy[i] = double(g);
      dz[i] = double(b);
      const float v[3] = {r, g, b};
      empty[i] = !BwIsFilled(v);
    }
  }
  NormalizeToFloat(count, dx, dy, dz, empty, ox, oy, oz);
}

}  // namespace

// Empties the texels whose alpha is 0 (the fourth value).
void EmptyTransparent(const BwInputTexels& texels, int64_t y, float* ox, float* oy, float* oz) {
  const unsigned char* row = texels.Row(y);
  const int64_t step = texels.TexelBytes();
  const int64_t size = step / texels.channels;
  for (int64_t i = 0; i < texels.width; ++i) {
    const unsigned char* alpha = row + i * step + 3 * size;
    const bool transparent = texels.type == BW_TEXEL_U8    ? *alpha == 0
                             : texels.type == BW_TEXEL_U16 ? Load<uint16_t>(alpha) == 0
                                                           : Load<float>(alpha) == 0.0f;
    if (transparent) ox[i] = oy[i] = oz[i] = 0.0f;
  }
}

void BwDecodeNormalMapRow(const BwInputTexels& texels, int64_t y, BwRowScratch* s, float* ox,
                          float* oy, float* oz) {
  DecodeNormalMapRow(texels, y, s, ox, oy, oz);
  if (texels.alphaEmpty && texels.channels == 4) EmptyTransparent(texels, y, ox, oy, oz);
}

void BwHeightRow(const BwHeightField& field, int64_t y, float* out) {
  const int64_t w = field.width;
  const int64_t step = field.texelBytes;
  const unsigned char* row = field.texels + y * field.rowStride;
  if (field.type == BW_TEXEL_U8 && !field.luma) {
    // The height of the byte value, from the table.
    for (int64_t x = 0; x < w; ++x) out[x] = field.heights[row[x * step + field.channel]];
    return;
  }
  const int64_t size = field.type == BW_TEXEL_U8 ? 1 : field.type == BW_TEXEL_U16 ? 2 : 4;
  // Value k of texel x, scaled to [0, 1] for the integer types.
  const auto value = [&](int64_t x, int k) {
    const unsigned char* v = row + x * step + k * size;
    if (field.type == BW_TEXEL_U8) return float(*v) / 255.0f;
    if (field.type == BW_TEXEL_U16) return float(Load<uint16_t>(v)) / 65535.0f;
    return Load<float>(v);
  };
  for (int64_t x = 0; x < w; ++x) {
    if (field.luma)
      out[x] = ((0.2126f * value(x, field.red) + 0.7152f * value(x, 1)) + 0.0722f * value(x, field.blue)) * field.scale;
    else
      out[x] = value(x, field.channel) * field.scale;
  }
}

void BwHeightNormalsRowSoA(const BwHeightField& field, int64_t y, BwRowScratch* s, float* ox,
                           float* oy, float* oz) {
  const int64_t w = field.width;
  const int64_t h = field.height;
  if (w <= 0) return;
  // The rows above and below, wrapping or, at a clamped edge, the edge row itself.
  const bool clamp = field.clampEdges;
  const int64_t above = y > 0 ? y - 1 : clamp ? 0 : h - 1, below = y < h - 1 ? y + 1 : clamp ? h - 1 : 0;
  BwHeightRow(field, above, s->hm.get());
  BwHeightRow(field, y, s->hc.get());
  BwHeightRow(field, below, s->hp.get());
  const float* hm = s->hm.get();
  const float* hc = s->hc.get();
  const float* hp = s->hp.get();
  if (w >= 3) SobelInterior(1, w - 1, hm, hc, hp, ox, oy, oz);
  SobelAt(0, clamp ? 0 : w - 1, w > 1 ? 1 : 0, hm, hc, hp, ox, oy, oz);
  if (w > 1) SobelAt(w - 1, w - 2, clamp ? w - 1 : 0, hm, hc, hp, ox, oy, oz);
}

void BwInterleave(int64_t count, const float* BW_RESTRICT x, const float* BW_RESTRICT y,
                  const float* BW_RESTRICT z, float* BW_RESTRICT out) {
  for (int64_t i = 0; i < count; ++i) {
    out[3 * i] = x[i];
    out[3 * i + 1] = y[i];
    out[3 * i + 2] = z[i];
  }
}

namespace {

// The closed-form blends of base b and second n into r, before renormalisation; an empty texel
// of either gives the empty texel. Where the blend leaves nothing (the two cancel, such as
// opposite normals added by the linear blend) the texel is the base normal, so that a filled
// texel stays filled.
template <int kBlend>
BW_VECTOR_CLONES
void BlendClosedForm(int64_t count, const float* BW_RESTRICT bx, const float* BW_RESTRICT by,
                     const float* BW_RESTRICT bz, const float* BW_RESTRICT sx,
                     const float* BW_RESTRICT sy, const float* BW_RESTRICT sz,
                     float* BW_RESTRICT rx, float* BW_RESTRICT ry, float* BW_RESTRICT rz) {
  for (int64_t i = 0; i < count; ++i) {
    const bool filled = double(bx[i] * bx[i] + by[i] * by[i] + bz[i] * bz[i]) > BW_TINY &&
                        double(sx[i] * sx[i] + sy[i] * sy[i] + sz[i] * sz[i]) > BW_TINY;
    const float x = bx[i] + sx[i], y = by[i] + sy[i];
    const float z = kBlend == BW_BLEND_WHITEOUT ? bz[i] * sz[i] : kBlend == BW_BLEND_UDN ? bz[i] : bz[i] + sz[i];
    const bool none = !(std::fabs(double(x)) > BW_TINY) & !(std::fabs(double(y)) > BW_TINY) &
                      !(std::fabs(double(z)) > BW_TINY);
    rx[i] = filled ? (none ? bx[i] : x) : 0.0f;
    ry[i] = filled ? (none ? by[i] : y) : 0.0f;
    rz[i] = filled ? (none ? bz[i] : z) : 0.0f;
  }
}

}  // namespace

namespace {

// BwScaleTilt's loop. kHuge: the strength may be large enough for the squares of the scaled
// tilt to overflow (past about 1.8e19); such a texel is computed from the tilt as it is and z
// divided by the strength, in double, instead of coming out empty. Every other texel gets the
// same single-precision steps.
template <bool kHuge>
BW_VECTOR_CLONES
void ScaleTiltRange(int64_t count, float scale, const float* mask, float* strength,
                    float* BW_RESTRICT x, float* BW_RESTRICT y, float* BW_RESTRICT z) {
  for (int64_t i = 0; i < count; ++i) {
    // Every value is computed and then selected, so the loop has no branches. A mask value
    // is clamped to [0, 1], and one that is not a number counts as 0.
    const float m = mask[i] >= 0.0f ? (mask[i] <= 1.0f ? mask[i] : 1.0f) : 0.0f;
    const float st = scale * m;
    strength[i] = st;
    const float tx = x[i], ty = y[i], tz = z[i];
    const bool filled = (std::fabs(double(tx)) > BW_TINY) | (std::fabs(double(ty)) > BW_TINY) |
                        (std::fabs(double(tz)) > BW_TINY);
    const bool keep = (st == 1.0f) | (st == 0.0f) | !filled;
    // A texel at or below the horizon is taken as lying on it; one left with no tilt is flat.
    // Single precision: eight texels at a time, and far finer than any output's steps.
    const float v0 = st * tx, v1 = st * ty, v2 = tz > 0.0f ? tz : 0.0f;
    const float len = std::sqrt((v0 * v0 + v1 * v1) + v2 * v2);
    const bool flat = double(len) < BW_TINY;
    float nx = v0 / len, ny = v1 / len, nz = v2 / len;
    if (kHuge && !(len <= FLT_MAX)) {
      const double dx = double(tx), dy = double(ty), tilt = std::sqrt(dx * dx + dy * dy);
      nx = float(dx / tilt);
      ny = float(dy / tilt);
      nz = float(double(v2) / (double(st) * tilt));
    }
    x[i] = keep ? tx : (flat ? 0.0f : nx);
    y[i] = keep ? ty : (flat ? 0.0f : ny);
    z[i] = keep ? tz : (flat ? 1.0f : nz);
  }
}

}  // namespace

void BwScaleTilt(int64_t count, float scale, const float* mask, float* strength, float* x, float* y, float* z) {
  // Unit tilts scaled by up to 1e19 keep their squares below the largest float.
  (scale <= 1e19f ? ScaleTiltRange<false> : ScaleTiltRange<true>)(count, scale, mask, strength, x, y, z);
}

void BwBlendRow(BwRowScratch* s, int blend, const float* strength, int64_t count, float* out) {
  if (blend == BW_BLEND_RNM) {
    BwMergeRow(s, count, out);
  } else {
    const auto kernel = blend == BW_BLEND_WHITEOUT ? BlendClosedForm<BW_BLEND_WHITEOUT>
                        : blend == BW_BLEND_UDN    ? BlendClosedForm<BW_BLEND_UDN>
                                                   : BlendClosedForm<BW_BLEND_LINEAR>;
    kernel(count, s->bx.get(), s->by.get(), s->bz.get(), s->sx.get(), s->sy.get(), s->sz.get(),
           s->rx.get(), s->ry.get(), s->rz.get());
    RenormalizeInterleave(count, s->rx.get(), s->ry.get(), s->rz.get(), out);
  }
  // Where the strength is 0 the detail is not applied: the base, renormalised (empty stays empty).
  for (int64_t i = 0; strength && i < count; ++i) {
    if (strength[i] != 0.0f) continue;
    float* r = out + 3 * i;
    r[0] = s->bx[i], r[1] = s->by[i], r[2] = s->bz[i];
    if (!BwIsFilled(r)) r[0] = r[1] = r[2] = 0.0f;
    BwRenormalizeTexel(r);
  }
}

void BwMergeRow(BwRowScratch* s, int64_t count, float* out) {
  unsigned char* reflect = s->flag.get();
  RotateGeneral(count, s->bx.get(), s->by.get(), s->bz.get(), s->sx.get(), s->sy.get(), s->sz.get(),
                reflect, s->rx.get(), s->ry.get(), s->rz.get());
  RenormalizeInterleave(count, s->rx.get(), s->ry.get(), s->rz.get(), out);
  static const float from[3] = {0.0f, 0.0f, 1.0f};
  for (int64_t i = 0; i < count; ++i) {
    if (!reflect[i]) continue;
    const float v0[3] = {s->bx[i], s->by[i], s->bz[i]};
    const float v1[3] = {s->sx[i], s->sy[i], s->sz[i]};
    float mtx[9];
    BwFromToRotation(from, v0, mtx);
    float* r = out + 3 * i;
    for (int k = 0; k < 3; ++k) r[k] = v1[0] * mtx[k * 3] + v1[1] * mtx[k * 3 + 1] + v1[2] * mtx[k * 3 + 2];
    BwRenormalizeTexel(r);
  }
}
