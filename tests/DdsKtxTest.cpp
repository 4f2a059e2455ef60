// DDS and KTX2 containers: KTX2 header fields against the format definitions (no independent
// KTX2 reader is at hand), level layout, the writer on files and pipes, round trips through the
// readers, independent readers of DDS files (PIL, oiiotool), and hostile DDS and KTX2 headers.
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

#include "AstcCodec.h"
#include "DdsKtx.h"
#include "TGAIO.h"
#include "TestSupport.h"

namespace {

uint64_t U64(const Bytes& b, size_t at, int bytes = 8) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + size_t(i));
  return v;
}
uint32_t U32(const Bytes& b, size_t at) { return uint32_t(U64(b, at, 4)); }

// A smooth, asymmetric w x h normal image (bottom row first) with an empty texel at (0, 0).
std::vector<float> Normals(int w, int h) {
  std::vector<float> n;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float a = 0.6f * std::sin(0.37f * float(x) + 0.11f * float(y)), b = 0.5f * std::cos(0.23f * float(y) - 0.05f * float(x));
      n.insert(n.end(), {a, b, std::sqrt(std::max(0.0f, 1.0f - a * a - b * b))});
    }
  n[0] = n[1] = n[2] = 0.0f;
  return n;
}

// Level `level` of the chain of Normals(w, h) in `format`, each encoded once (ASTC is slow).
Bytes Level(BwGpuFormat format, int w, int h, int level) {
  static std::map<std::tuple<BwGpuFormat, int, int, int>, Bytes> made;
  static BwAstcEncoder astc;  // kept from call to call, as a writer keeps it: its set-up is slow too
  Bytes& bytes = made[{format, w, h, level}];
  const int lw = std::max(1, w >> level), lh = std::max(1, h >> level);
  if (bytes.empty()) {
    BwGpuEncodeOptions options;
    options.astcEncoder = &astc;
    bytes.resize(BwGpuLevelBytes(format, lw, lh));
    BwEncodeGpuLevel(format, Normals(lw, lh).data(), lw, lh, 3, bytes.data(), options);
  }
  return bytes;
}

// Writes the full chain of Normals(w, h), each level given in two pieces.
bool WriteTexture(FILE* fp, BwContainer container, BwGpuFormat format, int w, int h, std::string* error,
                  bool dx9 = false) {
  BwGpuTextureWriter writer;
  bool ok = writer.Begin(fp, container, format, w, h, BwMipLevelCount(w, h), error, dx9);
  for (int level = 0; ok && level < BwMipLevelCount(w, h); ++level) {
    const Bytes b = Level(format, w, h, level);
    ok = writer.Level(level, b.data(), b.size() / 2, error) &&
         writer.Level(level, b.data() + b.size() / 2, b.size() - b.size() / 2, error);
  }
  return ok && writer.End(error);
}

// The texture written on a memory stream, which cannot seek.
Bytes Texture(BwContainer container, BwGpuFormat format, int w, int h, bool dx9 = false) {
  return Written([&](FILE* fp) {
    std::string error;
    EXPECT_TRUE(WriteTexture(fp, container, format, w, h, &error, dx9)) << error;
  });
}

struct Dds { bool ok = false; BwDdsImage image; std::string error; };

Dds ReadDds(Bytes file, bool ktx2 = false) {
  Dds r;
  FILE* fp = fmemopen(file.data(), file.size(), "rb");
  r.ok = (ktx2 ? BwReadKtx2 : BwReadDds)(fp, &r.image, &r.error);
  std::fclose(fp);
  return r;
}

}  // namespace

// KTX2 header, level index, data format descriptor and key/value data; VkFormat values from the
// VkFormat enumeration, descriptor values from the Khronos data format definition. Layouts that
// keep x and y elsewhere than red and green carry the swizzle a reader needs, before the writer.
TEST(DdsKtxTest, Ktx2HeaderFields) {
  const struct {
    BwGpuFormat format;
    uint32_t vk, typeSize, model, dims, bytesPlane0, samples, sample0[4], lastUpper;
    const char* swizzle = nullptr;
  } cases[] = {
      {BwGpuFormat::BC5, 141, 1, 132, 0x0303, 16, 2, {0x003F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF},
      {BwGpuFormat::BC5S, 142, 1, 132, 0x0303, 16, 2, {0x403F0000, 0, 0x80000000, 0x7FFFFFFF}, 0x7FFFFFFF},
      {BwGpuFormat::RG16S, 78, 2, 1, 0, 4, 2, {0x400F0000, 0, 0xFFFF8001, 0x7FFF}, 0x7FFF},
      {BwGpuFormat::RGBA16S, 92, 2, 1, 0, 8, 4, {0x400F0000, 0, 0xFFFF8001, 0x7FFF}, 0x7FFF},
      {BwGpuFormat::RGB10A2, 64, 4, 1, 0, 4, 4, {0x00090000, 0, 0, 1023}, 3},
      {BwGpuFormat::RGBA8, 37, 1, 1, 0, 4, 4, {0x00070000, 0, 0, 255}, 255},
      {BwGpuFormat::BC3N, 137, 1, 130, 0x0303, 16, 2, {0x0F3F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF, "ag01"},
      {BwGpuFormat::EACRG11, 155, 1, 161, 0x0303, 16, 2, {0x003F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF},
      {BwGpuFormat::EACRG11S, 156, 1, 161, 0x0303, 16, 2, {0x403F0000, 0, 0x80000000, 0x7FFFFFFF}, 0x7FFFFFFF},
      // One 128-bit sample a block, in the colour model of ASTC.
      {BwGpuFormat::ASTC4X4, 157, 1, 162, 0x0303, 16, 1, {0x007F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF, "ra01"},
      {BwGpuFormat::ASTC5X5, 161, 1, 162, 0x0404, 16, 1, {0x007F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF, "ra01"},
      {BwGpuFormat::ASTC6X6, 165, 1, 162, 0x0505, 16, 1, {0x007F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF, "ra01"},
      {BwGpuFormat::ASTC8X8, 171, 1, 162, 0x0707, 16, 1, {0x007F0000, 0, 0, 0xFFFFFFFF}, 0xFFFFFFFF, "ra01"},
  };
  const int w = 1023, h = 17, levels = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(BwGpuFormatInfoOf(c.format).name);
    std::vector<uint64_t> offsets;
    const Bytes k = BwKtx2Header(c.format, w, h, levels, &offsets);
    EXPECT_EQ(Bytes(k.begin(), k.begin() + 12), Bytes({0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, 13, 10, 26, 10}));
    // Each key/value entry: its length, key and value ending in NUL, padded to 4 bytes.
    const std::string kv = (c.swizzle ? std::string("\x10\0\0\0KTXswizzle\0", 15) + c.swizzle + '\0' : "") +
                           std::string("\x13\0\0\0KTXwriter\0Bumpweld\0", 23);
    // The descriptor follows the level index, the key/value data the descriptor; no global data.
    const uint32_t dfd = 80 + 24 * levels, dfdBytes = 28 + 16 * c.samples, kvd = dfd + dfdBytes;
    const uint32_t kvdBytes = uint32_t(kv.size() + 3) / 4 * 4;
    const uint32_t header[] = {c.vk, c.typeSize, w, h, 0, 0, 1, levels, 0, dfd, dfdBytes, kvd, kvdBytes, 0, 0, 0, 0};
    for (size_t i = 0; i < 17; ++i) EXPECT_EQ(U32(k, 12 + 4 * i), header[i]) << "header word " << i;
    // Khronos basic block, version 1.3; BT.709 primaries, linear, straight alpha.
    const uint32_t descriptor[] = {dfdBytes, 0, 2 | (dfdBytes - 4) << 16, c.model | 1 << 8 | 1 << 16, c.dims,
                                   c.bytesPlane0, 0, c.sample0[0], c.sample0[1], c.sample0[2], c.sample0[3]};
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(U32(k, dfd + 4 * i), descriptor[i]) << "descriptor word " << i;
    EXPECT_EQ(U32(k, kvd - 4), c.lastUpper);
    EXPECT_EQ(std::string(k.begin() + kvd, k.begin() + kvd + long(kv.size())), kv);
    // The smallest level comes first, padded to its block bytes (at least 4).
    EXPECT_TRUE(k.size() == offsets[levels - 1] && k.size() - (kvd + kvdBytes) < std::max<uint32_t>(c.bytesPlane0, 4));
  }
}

// Written files read back as the levels encoded, every layout through KTX2 and those DDS files
// can name through DDS as well (the DX10 header and the legacy one), the readers agreeing. A
// KTX2 file made on a regular file (each piece put in its place) has the same bytes as one made
// through a stream (levels held until the end): the header checked above, then the levels where
// the index says, aligned to their block bytes, largest last.
TEST(DdsKtxTest, RoundTripsAndLayouts) {
  TempDir dir;
  for (int f = 0; f < kBwGpuFormatCount; ++f)
    for (const auto& [w, h] : {std::pair(1, 1), std::pair(3, 5), std::pair(1023, 17)}) {
      const BwGpuFormat format = BwGpuFormat(f);
      const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
      const int levels = BwMipLevelCount(w, h);
      SCOPED_TRACE(testing::Message() << info.name << " " << w << "x" << h);
      FILE* fp = std::fopen((dir / "t.ktx2").c_str(), "wb");
      std::string error;
      ASSERT_TRUE(WriteTexture(fp, BwContainer::KTX2, format, w, h, &error)) << error;
      ASSERT_EQ(std::fclose(fp), 0);
      const Bytes file = ReadFile(dir / "t.ktx2");
      EXPECT_TRUE(file == Texture(BwContainer::KTX2, format, w, h));
      std::vector<uint64_t> offsets;
      const Bytes header = BwKtx2Header(format, w, h, levels, &offsets);
      EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin()));
      for (int l = 0; l < levels; ++l) {
        const Bytes expected = Level(format, w, h, l);
        const uint64_t at = U64(file, 80 + 24 * size_t(l)), next = l ? U64(file, 80 + 24 * size_t(l - 1)) : file.size();
        ASSERT_TRUE(at + expected.size() == next && at % std::max<uint64_t>(info.blockBytes, 4) == 0) << l;
        EXPECT_TRUE(Bytes(file.begin() + long(at), file.begin() + long(next)) == expected) << l;
      }
      const Dds ktx2 = ReadDds(file, true);
      ASSERT_TRUE(ktx2.ok) << ktx2.error;
      EXPECT_EQ(std::make_tuple(ktx2.image.width, ktx2.image.height, ktx2.image.dxgiFormat, ktx2.image.levelCount),
                std::make_tuple(w, h, info.dxgiFormat, levels));
      // Level 0 as the decoder gives it, close to the normals (the empty texel reads back as flat).
      const std::vector<float> n = Normals(w, h);
      std::vector<float> level0(n.size());
      ASSERT_TRUE(BwDecodeGpuLevel(format, Level(format, w, h, 0).data(), w, h, level0.data()));
      EXPECT_EQ(std::memcmp(level0.data(), ktx2.image.normals.get(), n.size() * sizeof(float)), 0);
      float worst = 0;
      for (size_t i = 3; i < n.size(); i += 3)
        for (int c = 0; c < 2; ++c) worst = std::max(worst, std::fabs(ktx2.image.normals[i + c] - n[i + c]));
      // EAC's palette steps are coarser than BC5's sevenths on slopes this gentle; ASTC's error
      // grows with the block size (AstcTest bounds each).
      const bool astc = format >= BwGpuFormat::ASTC4X4;
      EXPECT_LE(worst, astc ? 0.2f : format >= BwGpuFormat::EACRG11 ? 0.08f : info.compressed ? 0.06f
                       : format == BwGpuFormat::RGBA8 ? 0.012f : 0.005f);
      if (info.twoComponents && !astc) {
        EXPECT_NEAR(ktx2.image.normals[2], 1.0f, 0.01f);
      }
      if (!info.dxgiFormat) continue;
      // DDS files, with the DX10 header and without it, read back as the KTX2 file does.
      Bytes dx9 = BwDdsHeader(format, w, h, levels, true);
      EXPECT_EQ(dx9.size(), 128u);
      for (int level = 0; level < levels; ++level) dx9 = Cat({dx9, Level(format, w, h, level)});
      for (const Bytes& ddsFile : {Texture(BwContainer::DDS, format, w, h), dx9}) {
        const Dds dds = ReadDds(ddsFile);
        ASSERT_TRUE(dds.ok) << dds.error;
        EXPECT_EQ(std::make_tuple(dds.image.width, dds.image.height, dds.image.format, dds.image.dxgiFormat, dds.image.levelCount),
                  std::make_tuple(w, h, format, info.dxgiFormat, levels));
        EXPECT_EQ(std::memcmp(dds.image.normals.get(), ktx2.image.normals.get(), n.size() * sizeof(float)), 0);
      }
    }
}

// Independent readers: PIL (BC5 and R8G8B8A8 DDS), oiiotool (BC5 DDS) and nvdecompress (the
// legacy header's BC5 and BC3n, which it reads; it reads the DX10 header's BC5 as zeros) decode
// our files to the values our decoder gives, within a step of 8 bits.
TEST(DdsKtxTest, OtherReadersAgree) {
  TempDir dir;
  const bool havePil = std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0;
  const bool haveOiio = std::system("oiiotool --help >/dev/null 2>&1") == 0;
  const bool haveNvtt = std::system("command -v nvdecompress >/dev/null 2>&1") == 0;
  if (!havePil && !haveOiio && !haveNvtt) GTEST_SKIP() << "none of PIL, oiiotool and nvdecompress is installed";
  const int w = 37, h = 21;
  const std::string dds = dir / "in.dds", tga = dir / "in.tga";
  const struct {
    BwGpuFormat format;
    bool dx9;
  } files[] = {{BwGpuFormat::BC5, false}, {BwGpuFormat::RGBA8, false}, {BwGpuFormat::BC5, true}, {BwGpuFormat::BC3N, true}};
  for (const auto& file : files) {
    const BwGpuFormat format = file.format;
    WriteFile(dds, Texture(BwContainer::DDS, format, w, h, file.dx9));
    const Dds ours = ReadDds(ReadFile(dds));
    ASSERT_TRUE(ours.ok) << ours.error;
    std::vector<std::string> commands;
    if (havePil && !file.dx9)
      commands.push_back("/usr/bin/python3 -c \"from PIL import Image; Image.open('" + dds +
                         "').convert('RGB').save('" + tga + "')\"");
    if (haveOiio && format == BwGpuFormat::BC5 && !file.dx9)
      commands.push_back("oiiotool " + dds + " --ch R,G,G -d uint8 -o " + tga);
    if (haveNvtt && file.dx9) commands.push_back("nvdecompress " + dds + " >/dev/null");
    for (const std::string& command : commands) {
      std::remove(tga.c_str());
      ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
      FILE* in = std::fopen(tga.c_str(), "rb");
      int tw = 0, th = 0, depth = 0;
      BwArray<unsigned char> t;
      ASSERT_TRUE(in && TGAReadImage(in, &tw, &th, &depth, &t) && tw == w && th == h) << command;
      std::fclose(in);
      int worst = 0;
      // Targa texels are blue, green, red, (alpha), bottom row first like ours; BC3n holds x in alpha.
      const int xAt = format == BwGpuFormat::BC3N ? 3 : 2;
      ASSERT_TRUE(format != BwGpuFormat::BC3N || depth == 32) << command;
      for (int i = 0; i < w * h; ++i)
        for (int c = 0; c < 2; ++c) {
          const float v = (ours.image.normals[size_t(i) * 3 + size_t(c)] + 1.0f) * 127.5f;
          worst = std::max(worst, int(std::fabs(float(t[size_t(i * (depth / 8) + (c == 0 ? xAt : 1))]) - v) + 0.5f));
        }
      EXPECT_LE(worst, 1) << command;
    }
  }
}

// Hostile and foreign DDS and KTX2 files: each refused with its message, before any allocation
// of the claimed size.
TEST(DdsKtxTest, HostileHeadersRefused) {
  Bytes dds = BwDdsHeader(BwGpuFormat::BC5, 8, 8, 4);
  dds.resize(dds.size() + 4 * 16 + 16 + 16 + 16, 0x55);
  const Bytes ktx2 = Texture(BwContainer::KTX2, BwGpuFormat::RG16S, 8, 8);
  auto with = [](const Bytes& good, size_t at, uint64_t value, int bytes = 4) {
    Bytes b = good;
    for (int i = 0; i < bytes; ++i) b.at(at + size_t(i)) = uint8_t(value >> (8 * i));
    return b;
  };
  Bytes huge = BwDdsHeader(BwGpuFormat::BC5, 65535, 65535, 1);  // with a valid mip count, in 300 bytes
  huge.resize(300);
  const struct { bool ktx2; Bytes file; const char* message; } cases[] = {
      {false, dds, ""},
      {false, Bytes(dds.begin(), dds.end() - 1), "DDS texel data is truncated"},
      {false, huge, "DDS texel data is truncated"},
      {false, Bytes(dds.begin(), dds.begin() + 100), "too short for a DDS header"},
      {false, with(dds, 0, 0x20534444 + 1), "not a DDS file"},
      {false, with(dds, 4, 123), "bad DDS header size"},
      {false, with(dds, 28, 5), "DDS mip count 5 is too large for 8 x 8"},
      {false, with(dds, 20, 77), "DDS pitch 77 does not match the size"},
      {false, with(dds, 12, 70000), "DDS size 8 x 70000 is outside 1 to 65535"},
      {false, with(dds, 112, 0x200), "DDS volumes and cube maps are not supported"},
      {false, with(dds, 128, 71), "unsupported DXGI format 71"},
      {false, with(dds, 140, 2), "only single 2D DDS textures are supported"},
      {false, with(dds, 84, 0x31545844), "unsupported DDS pixel format"},
      {true, ktx2, ""},
      {true, Bytes(ktx2.begin(), ktx2.end() - 1), "KTX2 texel data is truncated"},
      {true, with(ktx2, 80, ktx2.size() - 8 * 8 * 4 + 1, 8), "KTX2 texel data is truncated"},
      {true, with(ktx2, 88, 257, 8), "KTX2 level 0 holds 257 bytes, not the 256 of its size"},
      // Level offsets inside the header, the index or the blocks after it; a descriptor past the end.
      {true, with(ktx2, 80, 0, 8), "KTX2 level 0 starts at byte 0, before the end of the header and its blocks at byte 260"},
      {true, with(ktx2, 80, 3, 8), "KTX2 level 0 starts at byte 3, before the end of the header and its blocks at byte 260"},
      {true, with(ktx2, 80, 0x64, 8), "KTX2 level 0 starts at byte 100, before the end of the header and its blocks at byte 260"},
      {true, with(ktx2, 152, 200, 8), "KTX2 level 3 starts at byte 200, before the end of the header and its blocks at byte 260"},
      {true, with(ktx2, 48, 0xFFFFFFFF), "the KTX2 data format descriptor lies outside the file or in its header"},
      {true, with(ktx2, 56, 40), "the KTX2 key/value data lies outside the file or in its header"},
      {true, with(ktx2, 20, 65535), "KTX2 level 0 holds 256 bytes, not the 2097120 of its size"},
      {true, with(ktx2, 24, 0), "KTX2 size 8 x 0 is outside 1 to 65535"},
      {true, with(ktx2, 40, 5), "KTX2 level count 5 is too large for 8 x 8"},
      {true, with(ktx2, 40, 0), ""},  // 0 levels: the file asks for a chain to be made; level 0 is there
      {true, with(ktx2, 44, 1), "supercompressed KTX2 files are not supported (scheme 1, BasisLZ)"},
      {true, with(ktx2, 44, 2), "supercompressed KTX2 files are not supported (scheme 2, Zstandard)"},
      {true, with(ktx2, 12, 0), "KTX2 files without a Vulkan format (Basis Universal) are not supported"},
      {true, with(ktx2, 12, 131), "unsupported Vulkan format 131"},  // BC1
      {true, with(ktx2, 36, 6), "only single 2D KTX2 textures are supported"},
      {true, with(ktx2, 32, 2), "only single 2D KTX2 textures are supported"},
      {true, with(ktx2, 28, 1), "only single 2D KTX2 textures are supported"},
      {true, with(ktx2, 1, 'X'), "not a KTX2 file"},
      {true, Bytes(ktx2.begin(), ktx2.begin() + 100), "too short for a KTX2 header"},
  };
  for (const auto& c : cases) {
    const Dds r = ReadDds(c.file, c.ktx2);
    EXPECT_EQ(r.ok, std::string(c.message).empty()) << c.message << " / " << r.error;
    // DDS messages may go on with details.
    EXPECT_TRUE(c.ktx2 ? r.error == c.message : r.error.rfind(c.message, 0) == 0) << r.error;
  }
}
