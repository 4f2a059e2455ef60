// Writes the seed corpus of the fuzz targets: small Targa files of every depth (8, 15, 16, 24,
// 32) and image type (2, 3, 10, 11, and the refused 1 and 9), top-left and right-to-left
// origins, image ID fields, colour maps, run-length packets across rows, and .kep files of
// several formats, PNG files of every colour type the reader takes (written by the project's
// writer or put together chunk by chunk) and OpenEXR files (scanline and tiled, each sample
// type, and RGB normal maps), TIFF files (the project's writer, and libtiff's in several
// compressions, byte orders, tiles and orientations), DDS files of every writer format plus
// legacy four-character codes, KTX2 files of the BC5 and uncompressed formats and of two ASTC
// ones, and .astc files of several block sizes and with refused headers. The Targa files go to
// tga_read/, normal_map/ and height_map/, the others to kep_read/, png_read/, exr_read/,
// tiff_read/, dds_read/, ktx2_read/ and astc_read/ under the directory given. Minimised findings
// of the fuzzers are kept beside these files (named for the fault) and are not made here.
//
//   fuzz_make_corpus fuzz/corpus
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfTiledOutputFile.h>
#include <half.h>
#include <tiffio.h>
#include <zlib.h>

#include "AstcCodec.h"
#include "AstcFile.h"
#include "DdsKtx.h"
#include "KepFileIO.h"
#include "PngWriter.h"
#include "TGAIO.h"
#include "TiffIO.h"

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

// What `write` puts on a memory stream, or nothing when it fails.
Bytes Captured(const std::function<bool(FILE*)>& write) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buffer, &size);
  if (!fp) return {};
  const bool ok = write(fp);
  std::fclose(fp);
  Bytes bytes;
  if (ok) bytes.assign(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

// The bytes of the library's Targa writer for the picture at bitDepth.
Bytes Written(int bitDepth) {
  const Bytes texels = Texels(bitDepth / 8);
  return Captured([&](FILE* fp) { return TGAWriteImage(fp, W, H, bitDepth, texels.data(), false); });
}

// The bytes of the project's PNG writer for a w x h picture.
Bytes WrittenPng(int w, int h, int bits, int channels) {
  const Bytes samples = Texels(channels * bits / 8, w * h);
  return Captured([&](FILE* fp) {
    BwPngWriter writer;
    std::string error;
    return writer.Begin(fp, w, h, bits, channels, &error) && writer.WriteRows(samples.data(), h, &error) &&
           writer.End(&error);
  });
}

void PutChunk(Bytes* out, const char* type, const Bytes& data) {
  const uint32_t n = uint32_t(data.size());
  Bytes body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  const uint32_t crc = uint32_t(crc32(0, body.data(), uInt(body.size())));
  for (uint32_t v : {n}) out->insert(out->end(), {(unsigned char)(v >> 24), (unsigned char)(v >> 16), (unsigned char)(v >> 8), (unsigned char)v});
  out->insert(out->end(), body.begin(), body.end());
  out->insert(out->end(), {(unsigned char)(crc >> 24), (unsigned char)(crc >> 16), (unsigned char)(crc >> 8), (unsigned char)crc});
}

// A PNG put together by hand: IHDR, the chunks given, IDAT of `rows` (each with its filter
// byte) and IEND.
Bytes HandPng(int w, int h, int depth, int colourType, int interlace, const Bytes& rows,
              const std::vector<std::pair<const char*, Bytes>>& chunks = {}) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  PutChunk(&out, "IHDR", {0, 0, (unsigned char)(w >> 8), (unsigned char)w, 0, 0, (unsigned char)(h >> 8),
                          (unsigned char)h, (unsigned char)depth, (unsigned char)colourType, 0, 0,
                          (unsigned char)interlace});
  for (const auto& [type, data] : chunks) PutChunk(&out, type, data);
  uLongf size = compressBound(uLong(rows.size()));
  Bytes z(size);
  compress(z.data(), &size, rows.data(), uLong(rows.size()));
  z.resize(size);
  PutChunk(&out, "IDAT", z);
  PutChunk(&out, "IEND", {});
  return out;
}

// An OpenEXR file of the given channels (each a ramp) from the C++ library.
bool WriteExr(const fs::path& path, const std::vector<const char*>& channels, Imf::PixelType type,
              Imf::Compression compression, bool tiled) {
  try {
    Imf::Header header(Imath::Box2i({-1, 2}, {W + 1, H + 2}), Imath::Box2i({-1, 2}, {W + 1, H + 2}));
    header.compression() = compression;
    const int w = W + 3, h = H + 1;
    const size_t sampleBytes = type == Imf::HALF ? 2 : 4;
    std::vector<std::vector<char>> planes;
    Imf::FrameBuffer frame;
    for (const char* name : channels) {
      header.channels().insert(name, Imf::Channel(type));
      planes.emplace_back(size_t(w * h) * sampleBytes);
      for (int i = 0; i < w * h; ++i) {
        const float f = float(i * 3 + int(planes.size()));
        const half hf(f);
        const uint32_t u = uint32_t(f);
        std::memcpy(planes.back().data() + size_t(i) * sampleBytes,
                    type == Imf::HALF ? static_cast<const void*>(&hf) : type == Imf::UINT ? static_cast<const void*>(&u) : &f,
                    sampleBytes);
      }
      // The slice's origin is texel (0, 0); the data window starts at (-1, 2).
      char* origin = planes.back().data() - (2 * size_t(w) - 1) * sampleBytes;
      frame.insert(name, Imf::Slice(type, origin, sampleBytes, sampleBytes * size_t(w)));
    }
    if (tiled) {
      header.setTileDescription(Imf::TileDescription(2, 3));
      Imf::TiledOutputFile out(path.c_str(), header);
      out.setFrameBuffer(frame);
      out.writeTiles(0, out.numXTiles() - 1, 0, out.numYTiles() - 1);
    } else {
      Imf::OutputFile out(path.c_str(), header);
      out.setFrameBuffer(frame);
      out.writePixels(h);
    }
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
    return false;
  }
}

// A TIFF file of the picture from the project's writer.
Bytes WrittenTiff(int bits, int channels) {
  const Bytes samples = Texels(channels * bits / 8);
  return Captured([&](FILE* fp) {
    BwTiffWriter writer;
    std::string error;
    return writer.Begin(fp, W, H, bits, channels, &error) && writer.WriteRows(samples.data(), H, &error) &&
           writer.End(&error);
  });
}

// A TIFF file of the picture from libtiff itself: `mode` "w" (little-endian) or "wb"
// (big-endian), the compression, 16 x 16 tiles or strips of one row, and the orientation.
bool WriteLibTiff(const fs::path& path, const char* mode, int bits, int channels, uint16_t compression, bool tiled,
                  uint16_t orientation) {
  TIFF* t = TIFFOpen(path.c_str(), mode);
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(W));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(H));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(channels));
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
  if (channels == 2 || channels == 4) {
    const uint16_t alpha = EXTRASAMPLE_ASSOCALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &alpha);
  }
  const int texelBytes = channels * bits / 8;
  Bytes texels = Texels(texelBytes);
  bool ok = true;
  if (tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, uint32_t(16));
    TIFFSetField(t, TIFFTAG_TILELENGTH, uint32_t(16));
    Bytes tile(size_t(16 * 16 * texelBytes), 0);
    for (int y = 0; y < H; ++y) std::memcpy(&tile[size_t(y * 16 * texelBytes)], &texels[size_t(y * W * texelBytes)], size_t(W * texelBytes));
    ok = TIFFWriteEncodedTile(t, 0, tile.data(), tmsize_t(tile.size())) >= 0;
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(1));
    for (int y = 0; ok && y < H; ++y) ok = TIFFWriteScanline(t, &texels[size_t(y * W * texelBytes)], uint32_t(y)) >= 0;
  }
  TIFFClose(t);
  return ok;
}

// A DDS or KTX2 file of the full chain of a W x H picture in `format`, from the library's writer.
Bytes Dds(BwGpuFormat format, BwContainer container = BwContainer::DDS) {
  return Captured([&](FILE* fp) {
    BwGpuTextureWriter writer;
    std::string error;
    const int levels = BwMipLevelCount(W, H);
    bool ok = writer.Begin(fp, container, format, W, H, levels, &error);
    for (int level = 0; ok && level < levels; ++level) {
      const int w = std::max(1, W >> level), h = std::max(1, H >> level);
      std::vector<float> normals;
      for (int i = 0; i < w * h; ++i) normals.insert(normals.end(), {0.1f * float(i) - 0.3f, 0.2f - 0.15f * float(i), 0.9f});
      Bytes bytes(BwGpuLevelBytes(format, w, h));
      BwEncodeGpuLevel(format, normals.data(), w, h, 3, bytes.data());
      ok = writer.Level(level, bytes.data(), bytes.size(), &error);
    }
    return ok && writer.End(&error);
  });
}

// A .astc file of a W x H picture in bw x bh blocks, from the library's encoder and writer.
Bytes Astc(int bw, int bh) {
  return Captured([&](FILE* fp) {
    std::vector<float> normals;
    for (int i = 0; i < W * H; ++i) normals.insert(normals.end(), {0.1f * float(i) - 0.3f, 0.2f - 0.15f * float(i), 0.9f});
    Bytes blocks(BwAstcImageBytes(W, H, bw, bh));
    BwAstcFileWriter writer;
    std::string error;
    return BwEncodeAstcImage(normals.data(), W, H, 3, bw, bh, BW_ASTC_MEDIUM, blocks.data(), &error) &&
           writer.Begin(fp, bw, bh, W, H, &error) && writer.Blocks(blocks.data(), blocks.size(), &error) &&
           writer.End(&error);
  });
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
  const Bytes rgbRows = {0, 10, 20, 30, 40, 50, 60, 0, 70, 80, 90, 100, 110, 120};  // 2 x 2, 8-bit RGB
  const std::vector<std::pair<std::string, Bytes>> pngs = {
      {"written_rgb_8.png", WrittenPng(W, H, 8, 3)},
      {"written_rgb_16.png", WrittenPng(W, H, 16, 3)},
      {"written_grey_8.png", WrittenPng(W, H, 8, 1)},
      {"written_grey_alpha_16.png", WrittenPng(W, H, 16, 2)},
      {"written_rgba_8.png", WrittenPng(W, H, 8, 4)},
      {"rgb_trns.png", HandPng(2, 2, 8, 2, 0, rgbRows, {{"tRNS", {0, 10, 0, 20, 0, 30}}})},
      {"rgb_filters.png", HandPng(2, 2, 8, 2, 0, {1, 10, 20, 30, 40, 50, 60, 4, 70, 80, 90, 100, 110, 120})},
      {"grey_2_trns.png", HandPng(5, 2, 2, 0, 0, {0, 0x1B, 0x40, 2, 0xE4, 0x80}, {{"tRNS", {0, 1}}})},
      {"palette_4_trns.png", HandPng(3, 2, 4, 3, 0, {0, 0x01, 0x20, 0, 0x21, 0x00},
                                     {{"PLTE", {255, 0, 0, 0, 255, 0, 0, 0, 255}}, {"tRNS", {0, 128}}})},
      {"interlaced_1x1.png", HandPng(1, 1, 8, 6, 1, {0, 1, 2, 3, 4})},
      {"text_chunk.png", HandPng(2, 2, 8, 2, 0, rgbRows, {{"tEXt", {'k', 0, 'v'}}})},
  };
  fs::create_directories(root / "png_read");
  for (const auto& [name, bytes] : pngs) ok = !bytes.empty() && Save(root / "png_read" / name, bytes) && ok;

  fs::create_directories(root / "exr_read");
  ok = WriteExr(root / "exr_read" / "scanline_float_zip.exr", {"Y"}, Imf::FLOAT, Imf::ZIP_COMPRESSION, false) && ok;
  ok = WriteExr(root / "exr_read" / "scanline_half_rle_rgb.exr", {"B", "G", "R"}, Imf::HALF, Imf::RLE_COMPRESSION, false) && ok;
  ok = WriteExr(root / "exr_read" / "scanline_uint_none.exr", {"Z"}, Imf::UINT, Imf::NO_COMPRESSION, false) && ok;
  ok = WriteExr(root / "exr_read" / "scanline_half_piz.exr", {"R", "height.Y"}, Imf::HALF, Imf::PIZ_COMPRESSION, false) && ok;
  ok = WriteExr(root / "exr_read" / "tiled_half_zips.exr", {"R", "Y"}, Imf::HALF, Imf::ZIPS_COMPRESSION, true) && ok;
  ok = WriteExr(root / "exr_read" / "tiled_float_none.exr", {"Y"}, Imf::FLOAT, Imf::NO_COMPRESSION, true) && ok;
  ok = WriteExr(root / "exr_read" / "normals_half_zip.exr", {"B", "G", "R"}, Imf::HALF, Imf::ZIP_COMPRESSION, false) && ok;
  ok = WriteExr(root / "exr_read" / "normals_tiled_float_rgba.exr", {"A", "B", "G", "R"}, Imf::FLOAT, Imf::ZIPS_COMPRESSION, true) && ok;
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
  fs::create_directories(root / "ktx2_read");
  Bytes supercompressed = Dds(BwGpuFormat::BC5, BwContainer::KTX2);
  if (supercompressed.size() > 48) supercompressed[44] = 2;  // Zstandard
  const std::vector<std::pair<std::string, Bytes>> ktx2 = {
      {"bc5.ktx2", Dds(BwGpuFormat::BC5, BwContainer::KTX2)},         {"bc5s.ktx2", Dds(BwGpuFormat::BC5S, BwContainer::KTX2)},
      {"rg16s.ktx2", Dds(BwGpuFormat::RG16S, BwContainer::KTX2)},     {"rgba16s.ktx2", Dds(BwGpuFormat::RGBA16S, BwContainer::KTX2)},
      {"rgb10a2.ktx2", Dds(BwGpuFormat::RGB10A2, BwContainer::KTX2)}, {"rgba8.ktx2", Dds(BwGpuFormat::RGBA8, BwContainer::KTX2)},
      {"supercompressed.ktx2", supercompressed},
      {"astc4x4.ktx2", Dds(BwGpuFormat::ASTC4X4, BwContainer::KTX2)}, {"astc6x6.ktx2", Dds(BwGpuFormat::ASTC6X6, BwContainer::KTX2)},
  };
  for (const auto& [name, bytes] : ktx2) ok = !bytes.empty() && Save(root / "ktx2_read" / name, bytes) && ok;
  fs::create_directories(root / "astc_read");
  const auto withByte = [](Bytes b, size_t at, unsigned char value) {
    if (b.size() > at) b[at] = value;
    return b;
  };
  const Bytes astc = Astc(4, 4);
  const std::vector<std::pair<std::string, Bytes>> astcFiles = {
      {"4x4.astc", astc},  {"5x5.astc", Astc(5, 5)}, {"6x6.astc", Astc(6, 6)}, {"8x8.astc", Astc(8, 8)},
      {"12x12.astc", Astc(12, 12)}, {"block_depth.astc", withByte(astc, 6, 4)}, {"volume.astc", withByte(astc, 13, 2)},
      {"block_3x3.astc", withByte(withByte(astc, 4, 3), 5, 3)}, {"wider.astc", withByte(astc, 7, 200)},
      {"truncated.astc", Bytes(astc.begin(), astc.end() - 1)},
  };
  for (const auto& [name, bytes] : astcFiles) ok = !bytes.empty() && Save(root / "astc_read" / name, bytes) && ok;
  fs::create_directories(root / "tiff_read");
  const std::vector<std::pair<std::string, Bytes>> tiffs = {
      {"written_rgb_8.tif", WrittenTiff(8, 3)},   {"written_rgb_16.tif", WrittenTiff(16, 3)},
      {"written_grey_8.tif", WrittenTiff(8, 1)},  {"written_grey_alpha_16.tif", WrittenTiff(16, 2)},
      {"written_rgba_8.tif", WrittenTiff(8, 4)},
  };
  for (const auto& [name, bytes] : tiffs) ok = !bytes.empty() && Save(root / "tiff_read" / name, bytes) && ok;
  const fs::path t = root / "tiff_read";
  ok = WriteLibTiff(t / "strips_none_rgb_8.tif", "w", 8, 3, COMPRESSION_NONE, false, ORIENTATION_TOPLEFT) && ok;
  ok = WriteLibTiff(t / "strips_lzw_big_endian_rgba_16.tif", "wb", 16, 4, COMPRESSION_LZW, false, ORIENTATION_TOPLEFT) && ok;
  ok = WriteLibTiff(t / "strips_packbits_bottom_left_grey_8.tif", "w", 8, 1, COMPRESSION_PACKBITS, false, ORIENTATION_BOTLEFT) && ok;
  ok = WriteLibTiff(t / "tiles_deflate_rgb_16.tif", "w", 16, 3, COMPRESSION_ADOBE_DEFLATE, true, ORIENTATION_TOPLEFT) && ok;
  ok = WriteLibTiff(t / "tiles_none_big_endian_grey_alpha_8.tif", "wb", 8, 2, COMPRESSION_NONE, true, ORIENTATION_TOPLEFT) && ok;
  ok = WriteLibTiff(t / "refused_orientation.tif", "w", 8, 3, COMPRESSION_NONE, false, ORIENTATION_TOPRIGHT) && ok;
  if (!ok) std::fprintf(stderr, "Some corpus files could not be written\n");
  return ok ? 0 : 1;
}
