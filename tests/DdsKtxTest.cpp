// DDS and KTX2 containers: header fields against the format definitions, level layout, the
// writer on files and pipes, round trips through the reader, independent readers (PIL,
// oiiotool), and hostile DDS headers.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "DdsKtx.h"
#include "TGAIO.h"
#include "TestSupport.h"

namespace {

uint32_t U32(const Bytes& b, size_t at) {
  return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}
uint64_t U64(const Bytes& b, size_t at) { return U32(b, at) | uint64_t(U32(b, at + 4)) << 32; }

// A smooth, asymmetric w x h normal image (bottom row first) with an empty texel at (0, 0).
std::vector<float> Normals(int w, int h) {
  std::vector<float> n;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float a = 0.6f * std::sin(0.37f * float(x) + 0.11f * float(y)), b = 0.5f * std::cos(0.23f * float(y) - 0.05f * float(x));
      const float z = std::sqrt(std::max(0.0f, 1.0f - a * a - b * b));
      n.insert(n.end(), {a, b, z});
    }
  n[0] = n[1] = n[2] = 0.0f;
  return n;
}

// A texture of the full chain of Normals(w, h) (each level its own picture) written to `path`.
bool WriteTexture(const std::string& path, BwContainer container, BwGpuFormat format, int w, int h,
                  std::string* error, FILE* stream = nullptr) {
  FILE* fp = stream ? stream : std::fopen(path.c_str(), "wb");
  BwGpuTextureWriter writer;
  const int levels = BwMipLevelCount(w, h);
  bool ok = writer.Begin(fp, container, format, w, h, levels, error);
  for (int level = 0; ok && level < levels; ++level) {
    const int lw = std::max(1, w >> level), lh = std::max(1, h >> level);
    Bytes bytes(BwGpuLevelBytes(format, lw, lh));
    BwEncodeGpuLevel(format, Normals(lw, lh).data(), lw, lh, 3, bytes.data());
    // Two pieces, to exercise pieces of a level.
    const uint64_t half = bytes.size() / 2;
    ok = writer.Level(level, bytes.data(), half, error) &&
         writer.Level(level, bytes.data() + half, bytes.size() - half, error);
  }
  ok = ok && writer.End(error);
  if (!stream && fp) ok = std::fclose(fp) == 0 && ok;
  return ok;
}

const BwGpuFormat kAll[] = {BwGpuFormat::BC5, BwGpuFormat::BC5S, BwGpuFormat::RG16S,
                            BwGpuFormat::RGBA16S, BwGpuFormat::RGB10A2, BwGpuFormat::RGBA8};

}  // namespace

// DDS_HEADER and DDS_HEADER_DXT10 field by field; DXGI values from the DXGI_FORMAT enumeration.
TEST(DdsKtxTest, DdsHeaderFields) {
  const struct { BwGpuFormat format; int w, h, levels; uint32_t flags, pitch, caps, dxgi; } cases[] = {
      {BwGpuFormat::BC5, 1023, 17, 10, 0xA1007, 256 * 5 * 16, 0x401008, 83},
      {BwGpuFormat::BC5S, 3, 5, 1, 0x81007, 2 * 16, 0x1000, 84},
      {BwGpuFormat::RG16S, 3, 5, 3, 0x2100F, 12, 0x401008, 37},
      {BwGpuFormat::RGBA16S, 7, 2, 1, 0x100F, 56, 0x1000, 13},
      {BwGpuFormat::RGB10A2, 1, 1, 1, 0x100F, 4, 0x1000, 24},
      {BwGpuFormat::RGBA8, 64, 32, 7, 0x2100F, 256, 0x401008, 28},
  };
  for (const auto& c : cases) {
    const Bytes h = BwDdsHeader(c.format, c.w, c.h, c.levels);
    ASSERT_EQ(h.size(), 148u);
    EXPECT_EQ(Bytes(h.begin(), h.begin() + 4), Bytes({'D', 'D', 'S', ' '}));
    const uint32_t expected[][2] = {{4, 124}, {8, c.flags}, {12, uint32_t(c.h)}, {16, uint32_t(c.w)}, {20, c.pitch},
                                    {24, 0}, {28, uint32_t(c.levels)}, {76, 32}, {80, 4}, {84, 0x30315844 /* DX10 */},
                                    {108, c.caps}, {112, 0}, {128, c.dxgi}, {132, 3}, {136, 0}, {140, 1}, {144, 0}};
    for (const auto& e : expected) EXPECT_EQ(U32(h, e[0]), e[1]) << BwGpuFormatInfoOf(c.format).name << " @" << e[0];
  }
}

// KTX2 header, level index and data format descriptor; VkFormat values from the VkFormat
// enumeration, descriptor values from the Khronos data format definition.
TEST(DdsKtxTest, Ktx2HeaderFields) {
  const struct { BwGpuFormat format; uint32_t vk, typeSize, model, dims, bytesPlane0, samples; uint32_t sample0[4]; uint32_t lastUpper; } cases[] = {
      {BwGpuFormat::BC5, 141, 1, 132, 0x0303, 16, 2, {0x003F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF},
      {BwGpuFormat::BC5S, 142, 1, 132, 0x0303, 16, 2, {0x403F0000, 0, 0x80000000, 0x7FFFFFFF}, 0x7FFFFFFF},
      {BwGpuFormat::RG16S, 78, 2, 1, 0, 4, 2, {0x400F0000, 0, 0xFFFF8001, 0x7FFF}, 0x7FFF},
      {BwGpuFormat::RGBA16S, 92, 2, 1, 0, 8, 4, {0x400F0000, 0, 0xFFFF8001, 0x7FFF}, 0x7FFF},
      {BwGpuFormat::RGB10A2, 64, 4, 1, 0, 4, 4, {0x00090000, 0, 0, 1023}, 3},
      {BwGpuFormat::RGBA8, 37, 1, 1, 0, 4, 4, {0x00070000, 0, 0, 255}, 255},
  };
  for (const auto& c : cases) {
    const char* name = BwGpuFormatInfoOf(c.format).name;
    const int w = 1023, h = 17, levels = 10;
    std::vector<uint64_t> offsets;
    const Bytes k = BwKtx2Header(c.format, w, h, levels, &offsets);
    EXPECT_EQ(Bytes(k.begin(), k.begin() + 12), Bytes({0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'}));
    const uint32_t header[] = {c.vk, c.typeSize, uint32_t(w), uint32_t(h), 0, 0, 1, uint32_t(levels), 0};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(U32(k, 12 + 4 * size_t(i)), header[i]) << name << " field " << i;
    const uint32_t dfdOffset = U32(k, 48), dfdLength = U32(k, 52), kvdOffset = U32(k, 56), kvdLength = U32(k, 60);
    EXPECT_EQ(dfdOffset, 80u + 24u * levels) << name;
    EXPECT_EQ(dfdLength, 4 + 24 + 16 * c.samples) << name;
    EXPECT_EQ(kvdOffset, dfdOffset + dfdLength) << name;
    EXPECT_EQ(U64(k, 64), 0u);
    EXPECT_EQ(U64(k, 72), 0u);
    // Key/value data: "KTXwriter" entry, padded.
    EXPECT_EQ(U32(k, kvdOffset), 19u) << name;
    EXPECT_EQ(std::string(k.begin() + kvdOffset + 4, k.begin() + kvdOffset + 23), std::string("KTXwriter\0Bumpweld\0", 19));
    EXPECT_EQ(kvdLength, 24u);
    // Level index: level 0 first, data smallest level first, aligned to the block bytes.
    const uint64_t align = std::max<uint32_t>(c.bytesPlane0, 4);
    EXPECT_EQ(k.size(), offsets[levels - 1]);
    EXPECT_LT(k.size() - (kvdOffset + kvdLength), align);
    for (int l = 0; l < levels; ++l) {
      const uint64_t bytes = BwGpuLevelBytes(c.format, std::max(1, w >> l), std::max(1, h >> l));
      EXPECT_EQ(U64(k, 80 + 24 * size_t(l)), offsets[l]);
      EXPECT_EQ(U64(k, 88 + 24 * size_t(l)), bytes);
      EXPECT_EQ(U64(k, 96 + 24 * size_t(l)), bytes);
      EXPECT_EQ(offsets[l] % align, 0u) << name << " level " << l;
      if (l > 0) {
        EXPECT_EQ(offsets[l] + bytes, offsets[l - 1]) << name << " level " << l;
      }
    }
    // Basic descriptor block.
    const size_t d = dfdOffset;
    EXPECT_EQ(U32(k, d), dfdLength);
    EXPECT_EQ(U32(k, d + 4), 0u);                                   // Khronos, basic
    EXPECT_EQ(U32(k, d + 8), 2u | (24u + 16 * c.samples) << 16);    // version 1.3, block size
    EXPECT_EQ(U32(k, d + 12), c.model | 1u << 8 | 1u << 16) << name;  // BT.709, linear, straight
    EXPECT_EQ(U32(k, d + 16), c.dims) << name;
    EXPECT_EQ(U32(k, d + 20), c.bytesPlane0) << name;
    EXPECT_EQ(U32(k, d + 24), 0u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(U32(k, d + 28 + 4 * size_t(i)), c.sample0[i]) << name << " word " << i;
    EXPECT_EQ(U32(k, d + 28 + 16 * (c.samples - 1) + 12), c.lastUpper) << name;
  }
}

// Written files read back as the levels encoded; a KTX2 file made through a stream that cannot
// seek has the same bytes as one made on a regular file; KTX2 level data sits where the index says.
TEST(DdsKtxTest, RoundTripsAndLayouts) {
  TempDir dir;
  const struct { int w, h; } sizes[] = {{1, 1}, {3, 5}, {1023, 17}};
  for (BwGpuFormat format : kAll) {
    const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
    const float tolerance = info.compressed ? 0.06f : format == BwGpuFormat::RGBA8 ? 0.012f : 0.005f;
    for (const auto& s : sizes) {
      const std::string tag = std::string(info.name) + " " + std::to_string(s.w) + "x" + std::to_string(s.h);
      std::string error;
      ASSERT_TRUE(WriteTexture(dir / "t.dds", BwContainer::DDS, format, s.w, s.h, &error)) << tag << error;
      FILE* fp = std::fopen((dir / "t.dds").c_str(), "rb");
      BwDdsImage image;
      ASSERT_TRUE(BwReadDds(fp, &image, &error)) << tag << ": " << error;
      std::fclose(fp);
      EXPECT_EQ(image.width, s.w);
      EXPECT_EQ(image.height, s.h);
      EXPECT_EQ(image.dxgiFormat, info.dxgiFormat);
      EXPECT_EQ(image.levelCount, BwMipLevelCount(s.w, s.h));
      const std::vector<float> n = Normals(s.w, s.h);
      float worst = 0;
      for (size_t i = 3; i < n.size(); i += 3)  // the empty texel reads back as flat
        for (int c = 0; c < 2; ++c) worst = std::max(worst, std::fabs(image.normals[i + c] - n[i + c]));
      EXPECT_LE(worst, tolerance) << tag;
      if (info.compressed || format == BwGpuFormat::RG16S) {
        EXPECT_NEAR(image.normals[2], 1.0f, 0.01f) << tag;
      }

      ASSERT_TRUE(WriteTexture(dir / "t.ktx2", BwContainer::KTX2, format, s.w, s.h, &error)) << tag << error;
      char* buffer = nullptr;
      size_t size = 0;
      FILE* memory = open_memstream(&buffer, &size);
      ASSERT_TRUE(WriteTexture("", BwContainer::KTX2, format, s.w, s.h, &error, memory)) << tag << error;
      std::fclose(memory);
      const Bytes file = ReadFile(dir / "t.ktx2"), streamed(buffer, buffer + size);
      std::free(buffer);
      EXPECT_EQ(file, streamed) << tag;
      const int levels = BwMipLevelCount(s.w, s.h);
      for (int l = 0; l < levels; ++l) {
        const int lw = std::max(1, s.w >> l), lh = std::max(1, s.h >> l);
        Bytes expected(BwGpuLevelBytes(format, lw, lh));
        BwEncodeGpuLevel(format, Normals(lw, lh).data(), lw, lh, 3, expected.data());
        const uint64_t offset = U64(file, 80 + 24 * size_t(l));
        ASSERT_LE(offset + expected.size(), file.size()) << tag;
        EXPECT_EQ(Bytes(file.begin() + long(offset), file.begin() + long(offset + expected.size())), expected) << tag << " level " << l;
      }
      EXPECT_EQ(U64(file, 80) + BwGpuLevelBytes(format, s.w, s.h), file.size()) << tag;
    }
  }
}

// The uncompressed layouts carry the .kep and Targa values, little-endian.
TEST(DdsKtxTest, UncompressedTexelValues) {
  const float n[3] = {1.0f, -0.5f, 0.0f};
  const struct { BwGpuFormat format; Bytes texel; } cases[] = {
      {BwGpuFormat::RG16S, {0xFF, 0x7F, 0x01, 0xC0}},
      {BwGpuFormat::RGBA16S, {0xFF, 0x7F, 0x01, 0xC0, 0x00, 0x00, 0xFF, 0x7F}},
      {BwGpuFormat::RGB10A2, {0xFE, 0x03, 0xF4, 0xDF}},  // 1022 | 256 << 10 | 511 << 20 | 3 << 30
      {BwGpuFormat::RGBA8, {255, 63, 127, 255}},
  };
  for (const auto& c : cases) {
    Bytes out(c.texel.size());
    BwEncodeGpuLevel(c.format, n, 1, 1, 3, out.data());
    EXPECT_EQ(out, c.texel) << BwGpuFormatInfoOf(c.format).name;
  }
}

// Independent readers: PIL (BC5 and R8G8B8A8 DDS) and oiiotool (BC5 DDS) decode our files to
// the values our decoder gives, within a step of 8 bits.
TEST(DdsKtxTest, OtherReadersAgree) {
  TempDir dir;
  const bool havePil = std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0;
  const bool haveOiio = std::system("oiiotool --help >/dev/null 2>&1") == 0;
  if (!havePil && !haveOiio) GTEST_SKIP() << "neither PIL nor oiiotool is installed";
  const int w = 37, h = 21;
  for (BwGpuFormat format : {BwGpuFormat::BC5, BwGpuFormat::RGBA8}) {
    std::string error;
    const std::string dds = dir / "in.dds", tga = dir / "out.tga";
    ASSERT_TRUE(WriteTexture(dds, BwContainer::DDS, format, w, h, &error)) << error;
    FILE* fp = std::fopen(dds.c_str(), "rb");
    BwDdsImage ours;
    ASSERT_TRUE(BwReadDds(fp, &ours, &error)) << error;
    std::fclose(fp);
    std::vector<std::string> commands;
    if (havePil)
      commands.push_back("/usr/bin/python3 -c \"from PIL import Image; Image.open('" + dds + "').convert('RGB').save('" + tga + "')\"");
    if (haveOiio && format == BwGpuFormat::BC5) commands.push_back("oiiotool " + dds + " --ch R,G,G -d uint8 -o " + tga);
    for (const std::string& command : commands) {
      std::remove(tga.c_str());
      ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
      FILE* in = std::fopen(tga.c_str(), "rb");
      ASSERT_NE(in, nullptr) << command;
      int tw = 0, th = 0, depth = 0;
      BwArray<unsigned char> texels;
      ASSERT_TRUE(TGAReadImage(in, &tw, &th, &depth, &texels)) << command;
      std::fclose(in);
      ASSERT_EQ(tw, w);
      ASSERT_EQ(th, h);
      int worst = 0;
      for (int i = 0; i < w * h; ++i) {
        // Targa texels are blue, green, red; ours bottom row first like the Targa reader's.
        const unsigned char* t = texels.get() + i * (depth / 8);
        for (int c = 0; c < 2; ++c) {
          const float v = (ours.normals[size_t(i) * 3 + size_t(c)] + 1.0f) * 127.5f;
          worst = std::max(worst, int(std::fabs(float(t[2 - c]) - v) + 0.5f));
        }
      }
      EXPECT_LE(worst, 1) << command;
    }
  }
}

// Hostile DDS files: each refused with its message, before any allocation of the claimed size.
TEST(DdsKtxTest, HostileDdsRefused) {
  Bytes good = BwDdsHeader(BwGpuFormat::BC5, 8, 8, 4);
  good.resize(good.size() + 4 * 16 + 16 + 16 + 16, 0x55);
  auto with = [&good](size_t at, uint32_t value) {
    Bytes b = good;
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(value >> (8 * i));
    return b;
  };
  Bytes truncated(good.begin(), good.end() - 1), shortHeader(good.begin(), good.begin() + 100);
  const struct { Bytes file; const char* message; } cases[] = {
      {good, ""},
      {truncated, "DDS texel data is truncated"},
      {shortHeader, "too short for a DDS header"},
      {with(0, 0x20534444 + 1), "not a DDS file"},
      {with(4, 123), "bad DDS header size"},
      {with(28, 5), "DDS mip count 5 is too large for 8 x 8"},
      {with(20, 77), "DDS pitch 77 does not match the size"},
      {with(16, 0), "DDS size 0 x 8 is outside 1 to 65535"},
      {with(12, 70000), "DDS size 8 x 70000 is outside 1 to 65535"},
      {with(112, 0x200), "DDS volumes and cube maps are not supported"},
      {with(128, 71), "unsupported DXGI format 71"},
      {with(140, 2), "only single 2D DDS textures are supported"},
      {with(84, 0x31545844), "unsupported DDS pixel format"},
  };
  for (const auto& c : cases) {
    FILE* fp = fmemopen(const_cast<unsigned char*>(c.file.data()), c.file.size(), "rb");
    BwDdsImage image;
    std::string error;
    const bool ok = BwReadDds(fp, &image, &error);
    std::fclose(fp);
    EXPECT_EQ(ok, std::string(c.message).empty()) << c.message << " / " << error;
    EXPECT_EQ(error.compare(0, std::strlen(c.message), c.message), 0) << error;
  }
  // 65535 x 65535 claimed with a valid mip count still fails on the bytes held.
  Bytes huge = BwDdsHeader(BwGpuFormat::BC5, 65535, 65535, 1);
  huge.resize(300);
  FILE* fp = fmemopen(huge.data(), huge.size(), "rb");
  BwDdsImage image;
  std::string error;
  EXPECT_FALSE(BwReadDds(fp, &image, &error));
  std::fclose(fp);
  EXPECT_EQ(error, "DDS texel data is truncated");
}

// Writer misuse comes back as errors.
TEST(DdsKtxTest, WriterRefusesMisuse) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buffer, &size);
  BwGpuTextureWriter writer;
  std::string error;
  const unsigned char bytes[64] = {};
  EXPECT_FALSE(writer.Begin(fp, BwContainer::DDS, BwGpuFormat::BC5, 4, 4, 4, &error));
  EXPECT_EQ(error, "a 4 x 4 texture cannot have 4 levels");
  EXPECT_FALSE(writer.Begin(fp, BwContainer::DDS, BwGpuFormat::BC5, 0, 4, 1, &error));
  ASSERT_TRUE(writer.Begin(fp, BwContainer::KTX2, BwGpuFormat::RGBA8, 4, 4, 3, &error)) << error;
  EXPECT_FALSE(writer.Level(1, bytes, 16, &error));
  EXPECT_EQ(error, "level 1 given where level 0 was expected");
  EXPECT_FALSE(writer.Level(0, bytes, 65, &error));
  EXPECT_EQ(error, "more bytes than level 0 holds");
  EXPECT_TRUE(writer.Level(0, bytes, 64, &error));
  EXPECT_FALSE(writer.End(&error));
  EXPECT_EQ(error, "level 1 is incomplete");
  std::fclose(fp);
  std::free(buffer);
}
