// Writes the seed corpus of the fuzz targets: small Targa files of every depth (8, 15, 16, 24,
// 32) and image type (2, 3, 10, 11, and the refused 1 and 9), top-left and right-to-left
// origins, image ID fields, colour maps, run-length packets across rows, and .kep files of
// several formats, and DDS files of every writer format plus legacy four-character codes. The
// Targa files go to tga_read/, normal_map/ and height_map/, the .kep files to kep_read/, the DDS
// files to dds_read/ under the directory given. Minimised findings of the fuzzers are kept
// beside these files (named for the fault) and are not made here.
//
//   fuzz_make_corpus fuzz/corpus
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DdsKtx.h"
#include "KepFileIO.h"
#include "TGAIO.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int W = 3;
constexpr int H = 2;

// Texel i of a small picture with distinct bytes, so flips and swaps change the data.
Bytes Texels(int texelBytes, int count = W * H) {
  Bytes out;
  for (int i = 0; i < count; ++i)
    for (int b = 0; b < texelBytes; ++b) out.push_back((unsigned char)(17 * i + 71 * b + 5));
  return out;
}

struct Header {
  int idlen = 0, cmtype = 0, imtype = 2, cmcnt = 0, cmsize = 0;
  int width = W, height = H, depth = 24, desc = 0;
};

// The 18 header bytes, the ID field and colour map bytes they announce, then `body`.
Bytes Targa(const Header& h, const Bytes& body) {
  Bytes out = {(unsigned char)h.idlen, (unsigned char)h.cmtype, (unsigned char)h.imtype, 0, 0,
               (unsigned char)(h.cmcnt & 0xFF), (unsigned char)(h.cmcnt >> 8),
               (unsigned char)h.cmsize, 0, 0, 0, 0,
               (unsigned char)(h.width & 0xFF), (unsigned char)(h.width >> 8),
               (unsigned char)(h.height & 0xFF), (unsigned char)(h.height >> 8),
               (unsigned char)h.depth, (unsigned char)h.desc};
  for (int i = 0; i < h.idlen; ++i) out.push_back((unsigned char)('a' + i));
  const int colourMapBytes = h.cmtype == 1 ? h.cmcnt * ((h.cmsize + 7) / 8) : 0;
  for (int i = 0; i < colourMapBytes; ++i) out.push_back((unsigned char)(200 + i));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Run-length data for W x H texels: a repeat packet of 4 that crosses the first row end, then
// a raw packet of 2; `overrun` adds a repeat packet reaching past the image and stray bytes.
Bytes RunLength(int texelBytes, bool overrun = false) {
  const Bytes t = Texels(texelBytes);
  Bytes out = {0x80 | 3};
  out.insert(out.end(), t.begin(), t.begin() + texelBytes);
  out.push_back(1);
  out.insert(out.end(), t.begin() + 4 * texelBytes, t.end());
  if (overrun) {
    out[0] = 0x80 | 2;  // 3 repeats, then a raw 1, then a repeat of 8 for the last 2 texels
    out[texelBytes + 1] = 0;
    out.resize(size_t(1 + texelBytes + 1 + texelBytes));
    out.push_back(0x80 | 7);
    out.insert(out.end(), t.end() - texelBytes, t.end());
    out.insert(out.end(), {0xDE, 0xAD});
  }
  return out;
}

bool Save(const fs::path& path, const Bytes& bytes) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  const bool ok = fp && std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
  return (fp && std::fclose(fp) == 0) && ok;
}

// The bytes of the library's Targa writer for the picture at bitDepth.
Bytes Written(int bitDepth) {
  const Bytes texels = Texels(bitDepth / 8);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buffer, &size);
  if (!fp) return {};
  const bool ok = TGAWriteImage(fp, W, H, bitDepth, texels.data(), false);
  std::fclose(fp);
  Bytes bytes;
  if (ok) bytes.assign(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

// A DDS file of the full chain of a W x H picture in `format`, from the library's writer.
Bytes Dds(BwGpuFormat format) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buffer, &size);
  if (!fp) return {};
  BwGpuTextureWriter writer;
  std::string error;
  const int levels = BwMipLevelCount(W, H);
  bool ok = writer.Begin(fp, BwContainer::DDS, format, W, H, levels, &error);
  for (int level = 0; ok && level < levels; ++level) {
    const int w = std::max(1, W >> level), h = std::max(1, H >> level);
    std::vector<float> normals;
    for (int i = 0; i < w * h; ++i) normals.insert(normals.end(), {0.1f * float(i) - 0.3f, 0.2f - 0.15f * float(i), 0.9f});
    Bytes bytes(BwGpuLevelBytes(format, w, h));
    BwEncodeGpuLevel(format, normals.data(), w, h, 3, bytes.data());
    ok = writer.Level(level, bytes.data(), bytes.size(), &error);
  }
  ok = ok && writer.End(&error);
  std::fclose(fp);
  Bytes out;
  if (ok) out.assign(buffer, buffer + size);
  std::free(buffer);
  return out;
}

// The BC5 file with a legacy header: four-character code `code` instead of the DX10 extension.
Bytes LegacyDds(const char* code) {
  Bytes b = Dds(BwGpuFormat::BC5);
  if (b.size() < 148) return {};
  for (int i = 0; i < 4; ++i) b[84 + size_t(i)] = (unsigned char)code[i];
  b.erase(b.begin() + 128, b.begin() + 148);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  bool ok = true;

  std::vector<std::pair<std::string, Bytes>> targa = {
      {"written_24.tga", Written(24)},
      {"written_32.tga", Written(32)},
      {"grey_8.tga", Targa({0, 0, 3, 0, 0, W, H, 8, 0}, Texels(1))},
      {"grey_16.tga", Targa({0, 0, 3, 0, 0, W, H, 16, 0}, Texels(2))},
      {"true_15.tga", Targa({0, 0, 2, 0, 0, W, H, 15, 0}, Texels(1))},
      {"true_16.tga", Targa({0, 0, 2, 0, 0, W, H, 16, 1}, Texels(2))},
      {"top_left_24.tga", Targa({0, 0, 2, 0, 0, W, H, 24, 0x20}, Texels(3))},
      {"right_to_left_32.tga", Targa({0, 0, 2, 0, 0, W, H, 32, 0x18}, Texels(4))},
      {"id_field_24.tga", Targa({5, 0, 2, 0, 0, W, H, 24, 0}, Texels(3))},
      {"colour_map_24.tga", Targa({3, 1, 2, 4, 24, W, H, 24, 0}, Texels(3))},
      {"rle_rows_24.tga", Targa({0, 0, 10, 0, 0, W, H, 24, 0}, RunLength(3))},
      {"rle_overrun_32.tga", Targa({0, 0, 10, 0, 0, W, H, 32, 0x28}, RunLength(4, true))},
      {"rle_grey_8.tga", Targa({0, 0, 11, 0, 0, W, H, 8, 0x20}, RunLength(1))},
      {"rle_grey_16.tga", Targa({0, 0, 11, 0, 0, W, H, 16, 0}, RunLength(2, true))},
      {"rle_15_colour_map.tga", Targa({2, 1, 10, 3, 15, W, H, 15, 0x10}, RunLength(1))},
      {"colour_mapped_1.tga", Targa({0, 1, 1, 4, 24, W, H, 8, 0}, Texels(1))},
      {"colour_mapped_rle_9.tga", Targa({0, 1, 9, 4, 24, W, H, 8, 0}, RunLength(1))},
  };
  for (const char* dir : {"tga_read", "normal_map", "height_map"}) {
    fs::create_directories(root / dir);
    for (const auto& [name, bytes] : targa)
      ok = !bytes.empty() && Save(root / dir / name, bytes) && ok;
  }

  struct KepSeed {
    const char* name;
    int width, height, bitDepth;
    ZelBitmapFormatEnum format;
  };
  const KepSeed keps[] = {
      {"format_8.kep", W, H, 8, ZEL_BITMAP_FORMAT_8},
      {"format_888.kep", W, H, 24, ZEL_BITMAP_FORMAT_888},
      {"format_8888.kep", W, H, 32, ZEL_BITMAP_FORMAT_8888},
      {"format_s1616.kep", W, H, 32, ZEL_BITMAP_FORMAT_S1616},
      {"format_1010102.kep", W, 1, 32, ZEL_BITMAP_FORMAT_1010102},
      {"format_s16161616.kep", 1, H, 64, ZEL_BITMAP_FORMAT_S16161616},
      {"empty.kep", 0, 0, 32, ZEL_BITMAP_FORMAT_8888},
  };
  fs::create_directories(root / "kep_read");
  for (const KepSeed& seed : keps) {
    Bytes texels = Texels(seed.bitDepth / 8, seed.width * seed.height);
    ZelBitmap bmp = {uint16_t(seed.width), uint16_t(seed.height), uint8_t(seed.bitDepth),
                     seed.format, texels.data()};
    ok = ZelWrite3DKEPImageFile(&bmp, (root / "kep_read" / seed.name).c_str()) && ok;
  }
  fs::create_directories(root / "dds_read");
  Bytes truncated = Dds(BwGpuFormat::RGBA8);
  truncated.resize(truncated.size() - 3);
  const std::vector<std::pair<std::string, Bytes>> dds = {
      {"bc5.dds", Dds(BwGpuFormat::BC5)},         {"bc5s.dds", Dds(BwGpuFormat::BC5S)},
      {"rg16s.dds", Dds(BwGpuFormat::RG16S)},     {"rgba16s.dds", Dds(BwGpuFormat::RGBA16S)},
      {"rgb10a2.dds", Dds(BwGpuFormat::RGB10A2)}, {"rgba8.dds", Dds(BwGpuFormat::RGBA8)},
      {"ati2.dds", LegacyDds("ATI2")},            {"dxt5.dds", LegacyDds("DXT5")},
      {"truncated_rgba8.dds", truncated},
  };
  for (const auto& [name, bytes] : dds) ok = !bytes.empty() && Save(root / "dds_read" / name, bytes) && ok;
  if (!ok) std::fprintf(stderr, "Some corpus files could not be written\n");
  return ok ? 0 : 1;
}
