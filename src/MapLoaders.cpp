// Normal map and height map loaders: Targa texels in, normal images (three floats a texel) out.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "Bumpweld.h"
#include "MapLoaders.h"
#include "NormalMath.h"
#include "Parallel.h"
#include "TGAIO.h"

namespace {

struct FileCloser {
  void operator()(FILE* fp) const { std::fclose(fp); }
};

constexpr int64_t kTexelGrain = 1 << 15;

// Opens `name` and reads its Targa texels, ending the run with the loaders' messages.
void ReadTargaTexels(const char* name, int* width, int* height, int* bitDepth, TGATexels* texels) {
  std::unique_ptr<FILE, FileCloser> in(std::fopen(name, "rb"));
  if (!in) {
    BwErrorLog("ERROR: Unable to open %s\n", name);
    BwFatalExit();
  }
  if (!TGAReadTexels(in.get(), width, height, bitDepth, texels)) {
    BwErrorLog("ERROR: Unable to read %s\n", name);
    in.reset();
    BwFatalExit();
  }
}

// (b - 127.5) / 127.5 for every byte value b, in double precision.
struct ByteToComponent {
  double value[256];
  ByteToComponent() {
    for (int b = 0; b < 256; ++b) value[b] = (double(b) - 127.5) / 127.5;
  }
};
const ByteToComponent kComponent;

void AllocateNormals(int width, int height, BwArray<float>* normals) {
  // 16-bit dimensions: at most 2^32 texels, no overflow in 64 bits.
  *normals = BwAllocArray<float>(uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0)) * 3);
  if (!*normals) {
    BwErrorLog("ERROR: Unable to allocate normal map memory!");
    BwFatalExit();
  }
}

}  // namespace

void ReadPixel(const unsigned char* image, int width, int off, _pixel* pix, int x, int y) {
  const int64_t idx = (int64_t(y) * width + x) * off;
  if (off > 0) pix->red = image[idx];
  if (off > 1) pix->blue = image[idx + 1];
  if (off > 2) pix->green = image[idx + 2];
}

int BwReadNormalMapTexels(const char* name, int* width, int* height, TGATexels* texels) {
  if (name[0] == '\0') {
    BwErrorLog("ERROR: No file name passed to ReadNormalMap!\n");
    BwFatalExit();
  }
  int bitDepth = 0;
  ReadTargaTexels(name, width, height, &bitDepth, texels);
  if (bitDepth == 24) return 3;
  if (bitDepth == 32) return 4;
  if (bitDepth == 8 || bitDepth == 16)
    BwErrorLog("ERROR: Normal map should be at 32 or 24bits per pixel!\n");
  else
    BwErrorLog("ERROR: Unhandled bit depth for bump map!\n");
  BwFatalExit();
}

void BwDecodeNormals(const unsigned char* texels, int texelBytes, int64_t count, float* out) {
  for (int64_t i = 0; i < count; ++i, texels += texelBytes, out += 3) {
    // Byte 0 is the file's blue (z), byte 1 green (y), byte 2 red (x).
    const unsigned char b0 = texels[0], b1 = texels[1], b2 = texels[2];
    if (b0 == 127 && b1 == 127 && b2 == 127) {
      out[0] = out[1] = out[2] = 0.0f;
      continue;
    }
    double v[3] = {kComponent.value[b2], kComponent.value[b1], kComponent.value[b0]};
    BwNormalize(v);
    out[0] = float(v[0]);
    out[1] = float(v[1]);
    out[2] = float(v[2]);
  }
}

void ReadNormalMap(const char* name, int* width, int* height, int* numComponents,
                   BwArray<float>* normals) {
  if (!name || !width || !height || !numComponents || !normals) {
    BwErrorLog("ERROR: NULL pointer passed to ReadNormalMap!\n");
    BwFatalExit();
  }
  TGATexels texels;
  const int texelBytes = BwReadNormalMapTexels(name, width, height, &texels);
  AllocateNormals(*width, *height, normals);
  const int64_t count = int64_t(*width) * *height;
  const unsigned char* in = texels.data;
  float* out = normals->get();
  BwParallelFor(count, kTexelGrain, [=](int64_t begin, int64_t end) {
    BwDecodeNormals(in + begin * texelBytes, texelBytes, end - begin, out + begin * 3);
  });
}

void BwReadHeightField(const char* bumpName, int* bumpWidth, int* bumpHeight, TGATexels* texels,
                       float scale, BwHeightField* field) {
  int bitDepth = 0;
  ReadTargaTexels(bumpName, bumpWidth, bumpHeight, &bitDepth, texels);
  if (bitDepth != 8 && bitDepth != 16 && bitDepth != 24 && bitDepth != 32) {
    BwErrorLog("ERROR: Unhandled bit depth for bump map!\n");
    BwFatalExit();
  }
  field->texels = texels->data;
  field->width = *bumpWidth;
  field->height = *bumpHeight;
  field->texelBytes = bitDepth / 8;
  // Height of byte 0 of a texel, in single precision: byte / 255, then times the scale.
  for (int b = 0; b < 256; ++b) field->heights[b] = float(b) / 255.0f * scale;
}

void BwHeightNormalsRow(const BwHeightField& field, int64_t y, float* out) {
  const int64_t w = field.width;
  const int64_t h = field.height;
  const int64_t step = field.texelBytes;
  const int64_t ym = (y + h - 1) % h;
  const int64_t yp = (y + 1) % h;
  const unsigned char* rowM = field.texels + ym * w * step;
  const unsigned char* row = field.texels + y * w * step;
  const unsigned char* rowP = field.texels + yp * w * step;
  const float* H = field.heights;
  for (int64_t x = 0; x < w; ++x, out += 3) {
    const int64_t xm = (x == 0 ? w - 1 : x - 1) * step;
    const int64_t xp = (x + 1 == w ? 0 : x + 1) * step;
    const int64_t xc = x * step;
    // Sobel sums accumulated in exactly this order, in single precision.
    float dY = -H[rowP[xm]];
    dY += -2.0f * H[rowP[xc]];
    dY -= H[rowP[xp]];
    dY += H[rowM[xm]];
    dY += 2.0f * H[rowM[xc]];
    dY += H[rowM[xp]];
    float dX = -H[rowM[xm]];
    dX += -2.0f * H[row[xm]];
    dX -= H[rowP[xm]];
    dX += H[rowM[xp]];
    dX += 2.0f * H[row[xp]];
    dX += H[rowP[xp]];
    const float nX = -dX;
    const float nY = -dY;
    const float nZ = 1.0f;
    // The square root is taken in double and rounded to float before the division.
    const float oolen = 1.0f / float(std::sqrt(double((nX * nX + nY * nY) + nZ * nZ)));
    out[0] = nX * oolen;
    out[1] = nY * oolen;
    out[2] = nZ * oolen;
  }
}

void GetBumpMapFromHeightMap(const char* bumpName, int* bumpWidth, int* bumpHeight,
                             BwArray<float>* bumpMap, float scale) {
  if (!bumpWidth || !bumpHeight || !bumpMap) {
    BwErrorLog("ERROR: NULL pointer passed to GetBumpMapFromHeightMap!\n");
    BwFatalExit();
  }
  if (!bumpName) {
    *bumpWidth = 0;
    *bumpHeight = 0;
    bumpMap->reset();
    return;
  }
  TGATexels texels;
  auto field = std::make_unique<BwHeightField>();
  BwReadHeightField(bumpName, bumpWidth, bumpHeight, &texels, scale, field.get());
  AllocateNormals(*bumpWidth, *bumpHeight, bumpMap);
  const int64_t rowFloats = int64_t(*bumpWidth) * 3;
  float* out = bumpMap->get();
  const BwHeightField* f = field.get();
  BwParallelFor(*bumpHeight, std::max<int64_t>(1, kTexelGrain / std::max(*bumpWidth, 1)),
                [=](int64_t y0, int64_t y1) {
                  for (int64_t y = y0; y < y1; ++y) BwHeightNormalsRow(*f, y, out + y * rowFloats);
                });
}
