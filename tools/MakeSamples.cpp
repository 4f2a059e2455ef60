// Writes the library's three 512 x 512 sample maps into a directory: base.tga (a tiled field of
// domes with an empty patch for the border dilation to fill), detail.tga (fine diagonal
// ripples) and height.tga (a height map of rings), so the tool can be tried without any art.
#include <bumpweld/bumpweld.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TGAIO.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: bumpweld_samples DIRECTORY\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int size = bw_sample_size();
  std::vector<unsigned char> rgb(size_t(size) * size_t(size) * 3);
  const char* const names[] = {"base.tga", "detail.tga", "height.tga"};
  for (int which = 0; which < 3; ++which) {
    const std::string path = dir + "/" + names[which];
    FILE* out = std::fopen(path.c_str(), "wb");
    // The grey height map goes out as 24-bit texels with equal bytes; the loader reads byte 0.
    const bool ok = out && bw_sample_map(which, rgb.data()) == 0 && TGAWriteImage(out, size, size, 24, rgb.data(), false);
    if (out && std::fclose(out) != 0) out = nullptr;
    if (!ok || !out) {
      std::fprintf(stderr, "Cannot create %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("Wrote base.tga, detail.tga and height.tga (%d x %d) to %s\n", size, size, dir.c_str());
  return 0;
}
