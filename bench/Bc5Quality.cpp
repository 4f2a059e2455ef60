// BC5 quality and speed: encodes float normals with the library's BC5 encoder, decodes the
// blocks again and reports the angular error against the float normals, and, given DDS files
// made by another encoder from the same map, the same figures for them.
//
//   bc5_quality normal.tga [other.dds ...]             normals of a Targa normal map
//   bc5_quality --merge base.tga detail.tga [other.dds ...]
//                                                     the merged normals of two maps
//
// Other encoders see only 8-bit texels; both are compared with the same float normals. The
// program also times the BC5 encoding of the whole mip chain (2 x 2 averages, renormalised) in
// each processor version of the encoder that the machine runs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BlockCompress.h"
#include "DdsKtx.h"
#include "RowKernels.h"
#include "TGAIO.h"

namespace {

struct Image {
  int width = 0, height = 0;
  std::vector<float> texels;  // three floats a texel, bottom row first
};

bool LoadTexels(const char* name, int* w, int* h, int* texelBytes, BwArray<unsigned char>* texels) {
  FILE* fp = std::fopen(name, "rb");
  int depth = 0;
  const bool ok = fp && TGAReadImage(fp, w, h, &depth, texels);
  if (fp) std::fclose(fp);
  *texelBytes = depth / 8;
  return ok && (depth == 24 || depth == 32);
}

bool LoadNormals(const char* base, const char* detail, Image* out) {
  int w, h, tb, w2, h2, tb2;
  BwArray<unsigned char> a, b;
  if (!LoadTexels(base, &w, &h, &tb, &a)) return false;
  if (detail && (!LoadTexels(detail, &w2, &h2, &tb2, &b) || w2 != w || h2 != h)) return false;
  out->width = w, out->height = h;
  out->texels.resize(size_t(w) * size_t(h) * 3);
  BwRowScratch s(w);
  for (int64_t y = 0; y < h; ++y) {
    float* row = out->texels.data() + y * w * 3;
    BwDecodeNormalsRow(a.get() + y * w * tb, tb, w, &s, s.bx.get(), s.by.get(), s.bz.get());
    if (!detail) {
      BwInterleave(w, s.bx.get(), s.by.get(), s.bz.get(), row);
      continue;
    }
    BwDecodeNormalsRow(b.get() + y * w * tb2, tb2, w, &s, s.sx.get(), s.sy.get(), s.sz.get());
    BwMergeRow(&s, w, row);
  }
  return true;
}

// Next mip level: 2 x 2 sums, renormalised.
Image Half(const Image& in) {
  Image out;
  out.width = std::max(1, in.width / 2), out.height = std::max(1, in.height / 2);
  out.texels.resize(size_t(out.width) * out.height * 3);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      double v[3] = {0, 0, 0};
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const int sx = std::min(2 * x + dx, in.width - 1), sy = std::min(2 * y + dy, in.height - 1);
          for (int c = 0; c < 3; ++c) v[c] += double(in.texels[(size_t(sy) * in.width + sx) * 3 + c]);
        }
      const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
      for (int c = 0; c < 3; ++c) out.texels[(size_t(y) * out.width + x) * 3 + c] = n > 0 ? float(v[c] / n) : 0.0f;
    }
  return out;
}

struct Stats {
  double mean = 0, p99 = 0, max = 0, rmseX = 0, rmseY = 0;
};

// Angular error of decoded normals (bottom row first, z from x and y) against the reference.
Stats Compare(const Image& ref, const float* decoded) {
  std::vector<double> angles;
  double sx = 0, sy = 0;
  const size_t n = size_t(ref.width) * ref.height;
  for (size_t i = 0; i < n; ++i) {
    const float* r = &ref.texels[3 * i];
    if (std::fabs(r[0]) <= 1e-7f && std::fabs(r[1]) <= 1e-7f && std::fabs(r[2]) <= 1e-7f) continue;
    const double x = double(decoded[3 * i]), y = double(decoded[3 * i + 1]);
    const double z = std::sqrt(std::max(0.0, 1.0 - x * x - y * y));
    const double len = std::sqrt(x * x + y * y + z * z);
    const double dot = (x * double(r[0]) + y * double(r[1]) + z * double(r[2])) / len;
    angles.push_back(std::acos(std::min(1.0, std::max(-1.0, dot))) * 180.0 / M_PI);
    sx += (x - double(r[0])) * (x - double(r[0]));
    sy += (y - double(r[1])) * (y - double(r[1]));
  }
  Stats s;
  if (angles.empty()) return s;
  for (double a : angles) s.mean += a;
  s.mean /= double(angles.size());
  std::sort(angles.begin(), angles.end());
  s.p99 = angles[std::min(angles.size() - 1, size_t(double(angles.size()) * 0.99))];
  s.max = angles.back();
  s.rmseX = std::sqrt(sx / double(angles.size()));
  s.rmseY = std::sqrt(sy / double(angles.size()));
  return s;
}

void Print(const char* what, const Stats& s) {
  std::printf("%-28s mean %.4f  p99 %.4f  max %.4f deg   rmse x %.5f  y %.5f\n", what, s.mean,
              s.p99, s.max, s.rmseX, s.rmseY);
}

// Decodes BC5 blocks (top block row first) into normals bottom row first.
std::vector<float> DecodeBc5(const unsigned char* blocks, int w, int h, BwBc4Kind kind) {
  std::vector<float> out(size_t(w) * h * 3);
  const int bw = (w + 3) / 4;
  for (int by = 0; by < (h + 3) / 4; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      float x[16], y[16];
      BwDecodeBc4Block(blocks + (size_t(by) * bw + bx) * 16, kind, x);
      BwDecodeBc4Block(blocks + (size_t(by) * bw + bx) * 16 + 8, kind, y);
      for (int i = 0; i < 16; ++i) {
        const int px = bx * 4 + i % 4, py = by * 4 + i / 4;
        if (px >= w || py >= h) continue;
        float* t = &out[(size_t(h - 1 - py) * w + px) * 3];
        t[0] = x[i], t[1] = y[i], t[2] = 0.0f;
      }
    }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  Image image;
  if (argc >= 4 && std::strcmp(argv[1], "--merge") == 0) {
    if (!LoadNormals(argv[2], argv[3], &image)) return std::fprintf(stderr, "cannot load maps\n"), 1;
    arg = 4;
  } else if (argc >= 2) {
    if (!LoadNormals(argv[1], nullptr, &image)) return std::fprintf(stderr, "cannot load map\n"), 1;
    arg = 2;
  } else {
    return std::fprintf(stderr, "usage: bc5_quality [--merge base.tga] normal.tga [other.dds ...]\n"), 2;
  }
  const int w = image.width, h = image.height;
  std::printf("%d x %d\n", w, h);

  for (BwBc4Kind kind : {BwBc4Kind::UNORM, BwBc4Kind::SNORM}) {
    std::vector<unsigned char> blocks(size_t((w + 3) / 4) * ((h + 3) / 4) * 16);
    BwEncodeBc5Image(image.texels.data(), w, h, 3, kind, blocks.data());
    Print(kind == BwBc4Kind::UNORM ? "ours bc5 (unorm)" : "ours bc5s (snorm)",
          Compare(image, DecodeBc5(blocks.data(), w, h, kind).data()));
  }

  for (; arg < argc; ++arg) {
    FILE* fp = std::fopen(argv[arg], "rb");
    BwDdsImage dds;
    std::string error;
    if (!fp || !BwReadDds(fp, &dds, &error)) {
      std::fprintf(stderr, "%s: %s\n", argv[arg], error.c_str());
      if (fp) std::fclose(fp);
      continue;
    }
    std::fclose(fp);
    if (dds.width != w || dds.height != h) {
      std::fprintf(stderr, "%s: size differs\n", argv[arg]);
      continue;
    }
    Print(argv[arg], Compare(image, dds.normals.get()));
  }

  // Encoding time of the whole chain (the levels made beforehand).
  std::vector<Image> chain = {image};
  while (chain.back().width > 1 || chain.back().height > 1) chain.push_back(Half(chain.back()));
  uint64_t texels = 0, bytes = 0;
  for (const Image& level : chain) {
    texels += uint64_t(level.width) * level.height;
    bytes += uint64_t((level.width + 3) / 4) * ((level.height + 3) / 4) * 16;
  }
  // Each processor version of the encoder this machine runs, in interleaved rounds.
  struct Version {
    BwVectorVersion code;
    const char* name;
    double wall, cpu;
  };
  std::vector<Version> versions;
  for (const Version& v : {Version{BwVectorVersion::BASELINE, "baseline", 1e30, 1e30},
                           Version{BwVectorVersion::AVX2, "AVX2", 1e30, 1e30},
                           Version{BwVectorVersion::AVX512, "AVX-512", 1e30, 1e30}})
    if (BwVectorVersionRuns(v.code)) versions.push_back(v);
  std::vector<unsigned char> out(bytes);
  for (int run = 0; run < 3; ++run) {
    for (Version& v : versions) {
      const auto start = std::chrono::steady_clock::now();
      const std::clock_t cpuStart = std::clock();
      unsigned char* p = out.data();
      for (const Image& level : chain) {
        BwEncodeBc5Image(level.texels.data(), level.width, level.height, 3, BwBc4Kind::UNORM, p, v.code);
        p += size_t((level.width + 3) / 4) * ((level.height + 3) / 4) * 16;
      }
      v.wall = std::min(v.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      v.cpu = std::min(v.cpu, double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
    }
  }
  // Processor time too: on a shared machine the wall time includes waiting for a processor.
  for (const Version& v : versions)
    std::printf("chain of %zu levels, %.2f M texels: BC5 encode (%s) %.3f s wall, %.3f s processor time (best of 3)\n",
                chain.size(), double(texels) / 1e6, v.name, v.wall, v.cpu);
  return 0;
}
