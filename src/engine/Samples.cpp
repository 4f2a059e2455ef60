// The sample maps; see Samples.h.
#include "Samples.h"

#include <cmath>
#include <cstddef>

namespace {

constexpr double kPi = 3.14159265358979323846;

// One byte of a unit component: -1 -> 0, 1 -> 255.
unsigned char ToByte(double c) { return static_cast<unsigned char>(std::lround((c + 1.0) * 127.5 - 0.5)); }

// Texel bytes (red = x, green = y, blue = z) of the normal of a height field with the slopes
// (dx, dy).
void PutNormal(unsigned char* t, double dx, double dy) {
  const double len = std::sqrt(dx * dx + dy * dy + 1.0);
  t[0] = ToByte(-dx / len);
  t[1] = ToByte(-dy / len);
  t[2] = ToByte(1.0 / len);
}

}  // namespace

void BwMakeSample(BwSample which, unsigned char* rgb) {
  for (int y = 0; y < kBwSampleSize; ++y) {
    for (int x = 0; x < kBwSampleSize; ++x) {
      unsigned char* t = rgb + (size_t(y) * kBwSampleSize + size_t(x)) * 3;
      if (which == BwSample::BASE) {
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
        PutNormal(t, dx, dy);
        // An empty patch (bytes 127, 127, 127) near the middle.
        const double ex = x - 300.0, ey = y - 200.0;
        if (ex * ex + ey * ey < 40.0 * 40.0) t[0] = t[1] = t[2] = 127;
      } else if (which == BwSample::DETAIL) {
        // Ripples across the diagonal: h = 0.6 sin(2 pi (x + y) / 16).
        const double slope = 0.6 * 2.0 * kPi / 16.0 * std::cos(2.0 * kPi * (x + y) / 16.0);
        PutNormal(t, slope, slope);
      } else {
        // Concentric rings around the centre, tiling at the edges.
        const double rx = std::sin(kPi * x / kBwSampleSize), ry = std::sin(kPi * y / kBwSampleSize);
        t[0] = t[1] = t[2] =
            static_cast<unsigned char>(127.5 + 127.0 * std::sin(12.0 * std::sqrt(rx * rx + ry * ry)));
      }
    }
  }
}
