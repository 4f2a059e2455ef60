// Writes three 512 x 512 sample maps into a directory: base.tga (a tiled field of domes with
// an empty patch for the border dilation to fill), detail.tga (fine diagonal ripples) and
// height.tga (an 8-bit grey height map of rings), so the tool can be tried without any art.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TGAIO.h"

namespace {

constexpr int kSize = 512;
constexpr double kPi = 3.14159265358979323846;

struct FileCloser {
  void operator()(FILE* fp) const { std::fclose(fp); }
};

// One byte of a unit component: -1 -> 0, 1 -> 255.
unsigned char ToByte(double c) { return static_cast<unsigned char>(std::lround((c + 1.0) * 127.5 - 0.5)); }

// Texel bytes (red = x, green = y, blue = z) of the normal of a height field with the slopes
// (dx, dy).
void PutNormal(std::vector<unsigned char>* rgb, int x, int y, double dx, double dy) {
  const double len = std::sqrt(dx * dx + dy * dy + 1.0);
  unsigned char* t = rgb->data() + (size_t(y) * kSize + size_t(x)) * 3;
  t[0] = ToByte(-dx / len);
  t[1] = ToByte(-dy / len);
  t[2] = ToByte(1.0 / len);
}

bool Write(const std::string& path, int bitDepth, const std::vector<unsigned char>& texels) {
  std::unique_ptr<FILE, FileCloser> out(std::fopen(path.c_str(), "wb"));
  if (!out) {
    std::fprintf(stderr, "Cannot create %s\n", path.c_str());
    return false;
  }
  // Grey images go out as 24-bit texels with equal bytes; the loader reads byte 0.
  return TGAWriteImage(out.get(), kSize, kSize, bitDepth, texels.data(), false);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: bumpweld_samples DIRECTORY\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<unsigned char> base(size_t(kSize) * kSize * 3);
  std::vector<unsigned char> detail(base.size());
  std::vector<unsigned char> height(base.size());
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      // Domes on a 64-texel grid: h = sqrt(r0^2 - r^2) inside radius r0.
      const double cx = (x % 64) - 31.5;
      const double cy = (y % 64) - 31.5;
      const double r2 = cx * cx + cy * cy;
      double dx = 0.0, dy = 0.0;
      if (r2 < 28.0 * 28.0) {
        const double h = std::sqrt(30.0 * 30.0 - r2);
        dx = -cx / h;
        dy = -cy / h;
      }
      PutNormal(&base, x, y, dx, dy);
      // An empty patch (bytes 127, 127, 127) near the middle.
      const double ex = x - 300.0, ey = y - 200.0;
      if (ex * ex + ey * ey < 40.0 * 40.0) {
        unsigned char* t = base.data() + (size_t(y) * kSize + size_t(x)) * 3;
        t[0] = t[1] = t[2] = 127;
      }
      // Ripples across the diagonal: h = 0.6 sin(2 pi (x + y) / 16).
      const double slope = 0.6 * 2.0 * kPi / 16.0 * std::cos(2.0 * kPi * (x + y) / 16.0);
      PutNormal(&detail, x, y, slope, slope);
      // Concentric rings around the centre, tiling at the edges.
      const double rx = std::sin(kPi * x / kSize), ry = std::sin(kPi * y / kSize);
      const unsigned char level = static_cast<unsigned char>(
          127.5 + 127.0 * std::sin(12.0 * std::sqrt(rx * rx + ry * ry)));
      unsigned char* t = height.data() + (size_t(y) * kSize + size_t(x)) * 3;
      t[0] = t[1] = t[2] = level;
    }
  }
  if (!Write(dir + "/base.tga", 24, base) || !Write(dir + "/detail.tga", 24, detail) ||
      !Write(dir + "/height.tga", 24, height))
    return 1;
  std::printf("Wrote base.tga, detail.tga and height.tga (%d x %d) to %s\n", kSize, kSize, dir.c_str());
  return 0;
}
