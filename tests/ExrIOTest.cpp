// OpenEXR height reading: files written by the OpenEXR C++ library in each storage, sample type
// and compression read back bottom row first; channel choice; refusals with one message.
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfPartType.h>
#include <ImfTiledOutputFile.h>
#include <half.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>

#include "ExrIO.h"
#include "PngIO.h"
#include "TestSupport.h"

namespace {

constexpr int W = 13, H = 7;

// Sample (x, y), y from the top: exact in half, float and uint alike.
float Value(int x, int y, int channel) { return float(x * 3 + y * 50 + channel * 1000); }

struct ExrLayout {
  std::vector<std::string> channels = {"Y"};
  Imf::PixelType type = Imf::FLOAT;
  Imf::Compression compression = Imf::ZIP_COMPRESSION;
  bool tiled = false;
  int originX = 0, originY = 0;
};

// Writes a w x h picture with the C++ library; channel c of texel (x, y), y from the top, holds
// value(x, y, c).
void WriteExr(const std::string& path, const ExrLayout& l, int w = W, int h = H,
              const std::function<float(int, int, int)>& value = Value) {
  const Imath::Box2i window({l.originX, l.originY}, {l.originX + w - 1, l.originY + h - 1});
  Imf::Header header(window, window);
  header.compression() = l.compression;
  std::vector<std::vector<char>> planes;
  Imf::FrameBuffer frame;
  const size_t bytes = l.type == Imf::HALF ? 2 : 4;
  for (size_t c = 0; c < l.channels.size(); ++c) {
    header.channels().insert(l.channels[c], Imf::Channel(l.type));
    planes.emplace_back(size_t(w * h) * bytes);
    for (int i = 0; i < w * h; ++i) {
      const float v = value(i % w, i / w, int(c));
      const half f16(v);
      const uint32_t u = l.type == Imf::UINT ? uint32_t(v) : 0;
      const void* sample = l.type == Imf::FLOAT ? &v : l.type == Imf::HALF ? static_cast<const void*>(&f16) : &u;
      std::memcpy(planes.back().data() + size_t(i) * bytes, sample, bytes);
    }
    char* origin = planes.back().data() - (size_t(l.originY) * size_t(w) + size_t(l.originX)) * bytes;
    frame.insert(l.channels[c], Imf::Slice(l.type, origin, bytes, bytes * size_t(w)));
  }
  if (l.tiled) {
    header.setTileDescription(Imf::TileDescription(4, 3));
    Imf::TiledOutputFile out(path.c_str(), header);
    out.setFrameBuffer(frame);
    out.writeTiles(0, out.numXTiles() - 1, 0, out.numYTiles() - 1);
  } else {
    Imf::OutputFile out(path.c_str(), header);
    out.setFrameBuffer(frame);
    out.writePixels(h);
  }
}

// Channel `index` of the picture, bottom row first.
std::vector<float> Expected(int index) {
  std::vector<float> out;
  for (int y = H - 1; y >= 0; --y)
    for (int x = 0; x < W; ++x) out.push_back(Value(x, y, index));
  return out;
}

std::vector<float> Heights(const BwExrImage& image) {
  return std::vector<float>(image.samples.get(), image.samples.get() + size_t(image.width) * image.height);
}

}  // namespace

// Channels are stored sorted by name; `index` is the position in the order given here.
TEST(BwReadExr, StoragesTypesCompressionsAndChannelChoice) {
  TempDir dir;
  const std::string path = dir / "in.exr";
  const struct { const char* name; ExrLayout layout; const char* wanted; int index; std::string error; } cases[] = {
      {"float zip", {}, nullptr, 0, ""},
      {"half none", {{"Y"}, Imf::HALF, Imf::NO_COMPRESSION}, nullptr, 0, ""},
      {"uint rle", {{"Y"}, Imf::UINT, Imf::RLE_COMPRESSION}, nullptr, 0, ""},
      {"half piz", {{"Y"}, Imf::HALF, Imf::PIZ_COMPRESSION}, nullptr, 0, ""},
      {"float pxr24 offset", {{"Y"}, Imf::FLOAT, Imf::PXR24_COMPRESSION, false, -5, 12}, nullptr, 0, ""},
      {"tiled half zips", {{"Y"}, Imf::HALF, Imf::ZIPS_COMPRESSION, true}, nullptr, 0, ""},
      {"tiled float offset", {{"Y"}, Imf::FLOAT, Imf::ZIP_COMPRESSION, true, 3, -2}, nullptr, 0, ""},
      {"Y among others", {{"B", "G", "R", "Y"}}, nullptr, 3, ""},
      {"named R", {{"B", "G", "R"}}, "R", 2, ""},
      {"layer name", {{"height.Y", "mask.Y"}}, "height.Y", 0, ""},
      {"none named", {{"B", "G", "R"}}, nullptr, 0, "EXR: several channels and none named Y; name one of: B, G, R"},
      {"missing", {{"B", "G"}}, "Y", 0, "EXR: no channel named Y (channels: B, G)"},
  };
  BwExrImage image;
  std::string error;
  for (const auto& c : cases) {
    WriteExr(path, c.layout);
    error.clear();
    const bool ok = BwReadExr(path.c_str(), c.wanted, &image, &error);
    EXPECT_EQ(std::make_pair(ok, error), std::make_pair(c.error.empty(), c.error)) << c.name;
    EXPECT_TRUE(!ok || (image.width == W && image.height == H && Heights(image) == Expected(c.index))) << c.name;
  }
  // From memory and through a pipe as well.
  WriteExr(path, {});
  const Bytes file = ReadFile(path);
  ASSERT_TRUE(BwReadExrMemory(file.data(), file.size(), nullptr, &image, &error)) << error;
  EXPECT_EQ(Heights(image), Expected(0));
  FILE* pipe = popen(("cat " + path).c_str(), "r");
  ASSERT_TRUE(BwReadExrFile(pipe, nullptr, &image, &error)) << error;
  pclose(pipe);
  EXPECT_EQ(Heights(image), Expected(0));
}

TEST(BwReadExr, RefusalsGiveOneMessage) {
  TempDir dir;
  WriteExr(dir / "good.exr", {{"Y"}, Imf::FLOAT, Imf::NO_COMPRESSION});
  const Bytes good = ReadFile(dir / "good.exr");
  {
    Imf::Header header(4, 4);
    header.channels().insert("Y", Imf::Channel(Imf::FLOAT));
    header.setName("a");
    header.setType(Imf::SCANLINEIMAGE);
    Imf::Header second = header;
    second.setName("b");
    Imf::MultiPartOutputFile out((dir / "parts.exr").c_str(), std::vector<Imf::Header>{header, second}.data(), 2);
  }
  // The data window is the box2i after the name "dataWindow", its type name and its size.
  Bytes huge = good;
  const std::string key = "dataWindow";
  const auto at = std::search(huge.begin(), huge.end(), key.begin(), key.end()) + long(key.size() + 1 + 6 + 4);
  const int32_t box[4] = {0, 0, 65534, 65534};
  std::memcpy(&*at, box, sizeof box);
  WriteFile(dir / "huge.exr", huge);
  WriteFile(dir / "short.exr", Bytes(good.begin(), good.end() - 40));
  WriteFile(dir / "notexr.exr", {'P', '6', '\n'});
  const std::pair<const char*, std::string> cases[] = {
      {"parts.exr", "EXR: multi-part files are not supported (2 parts)"},
      {"notexr.exr", "EXR: not an OpenEXR file (bad magic number)"},
      {"none.exr", "EXR: cannot open "},
      // 65535 x 65535 floats announced, 1 KB there: refused without allocating 16 GiB.
      {"huge.exr", "EXR: chunk table size (524280) too big for file size"},
      {"short.exr", "EXR: Preparing to read scanline 6 (chunk 6), found corrupt leader"},
  };
  for (const auto& [file, start] : cases) {
    BwExrImage image;
    std::string error;
    EXPECT_FALSE(BwReadExr((dir / file).c_str(), nullptr, &image, &error)) << file;
    EXPECT_EQ(error.rfind(start, 0), 0u) << file << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << file;
  }
}

// Normal maps: R, G, B or a layer's x, y, z channels of any sample type, alpha when there is
// one, values as they are or mapped from 0 to 1; texels with a value that is not finite, or
// stored all 0, come out empty.
TEST(BwReadExr, NormalChannelsLayersAndEmptyTexels) {
  TempDir dir;
  const std::string path = dir / "n.exr";
  const float nan = std::nanf(""), inf = INFINITY;
    const struct {
    const char* name;
    std::vector<std::string> channels;
    Imf::PixelType type;
    const char* layer;
    bool unorm;
    std::vector<float> special;  // the last texel's stored x, y, z
    std::vector<float> expected;  // the last texel as read
    std::string error;
  } cases[] = {
      {"float rgb", {"R", "G", "B"}, Imf::FLOAT, nullptr, false, {0.6f, -0.8f, 0.0f}, {0.6f, -0.8f, 0.0f}, ""},
      {"half rgba", {"A", "B", "G", "R"}, Imf::HALF, nullptr, false, {0.5f, 0.25f, 0.75f}, {0.5f, 0.25f, 0.75f}, ""},
      {"uint", {"R", "G", "B"}, Imf::UINT, nullptr, false, {1, 0, 0}, {1, 0, 0}, ""},
      {"not finite", {"R", "G", "B"}, Imf::FLOAT, nullptr, false, {0.5f, nan, 0.5f}, {0, 0, 0}, ""},
      {"infinite", {"R", "G", "B"}, Imf::HALF, nullptr, false, {inf, 0.0f, 0.5f}, {0, 0, 0}, ""},
      {"unorm", {"R", "G", "B"}, Imf::FLOAT, nullptr, true, {0.75f, 0.5f, 1.0f}, {0.5f, 0.0f, 1.0f}, ""},
      {"unorm zero is empty", {"R", "G", "B"}, Imf::FLOAT, nullptr, true, {0, 0, 0}, {0, 0, 0}, ""},
      {"unorm overflowing", {"R", "G", "B"}, Imf::FLOAT, nullptr, true, {3e38f, 0.5f, 1.0f}, {0, 0, 0}, ""},
      {"layer N.X", {"N.X", "N.Y", "N.Z", "R", "G", "B"}, Imf::FLOAT, "N", false, {0, 0, 1}, {0, 0, 1}, ""},
      {"layer n.x", {"n.x", "n.y", "n.z"}, Imf::HALF, "n", false, {0, 1, 0}, {0, 1, 0}, ""},
      {"layer N.R", {"N.R", "N.G", "N.B", "N.A"}, Imf::FLOAT, "N", false, {0, 1, 0}, {0, 1, 0}, ""},
      {"no rgb", {"Y"}, Imf::FLOAT, nullptr, false, {}, {}, "EXR: no channels R, G, B for a normal map (channels: Y)"},
      {"no layer", {"R", "G", "B"}, Imf::FLOAT, "N", false, {}, {},
       "EXR: no layer N with channels N.R, G, B or X, Y, Z or x, y, z (channels: B, G, R)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Texel 0 holds ordinary values, texel 1 the case's own; alpha is 1.
    WriteExr(path, {c.channels, c.type}, 2, 1, [&](int x, int, int k) {
      const char last = char(std::tolower(c.channels[size_t(k)].back()));
      const int axis = last == 'r' || last == 'x' ? 0 : last == 'g' || last == 'y' ? 1 : last == 'a' ? 3 : 2;
      if (axis == 3 || (x == 1 && c.special.empty())) return 1.0f;
      return x == 0 ? 0.1f * float(axis + 1) : c.special[size_t(axis)];
    });
    BwExrRequest request(c.layer);
    request.normals = true;
    request.unorm = c.unorm;
    BwExrImage image;
    std::string error;
    const bool ok = BwReadExr(path.c_str(), request, &image, &error);
    ASSERT_EQ(error, c.error);
    if (!ok) continue;
    const bool alpha = c.channels[0] == "A" || c.channels.back() == "N.A";
    ASSERT_EQ(image.channels, alpha ? 4 : 3);
    const float* texel = image.samples.get() + image.channels;
    EXPECT_EQ(std::vector<float>(texel, texel + 3), c.expected);
    EXPECT_TRUE(!alpha || texel[3] == 1.0f);
  }
}

// Every float rounds to the half that the OpenEXR library's own conversion gives.
TEST(BwFloatToHalf, RoundsAsTheOpenExrLibraryDoes) {
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 2039) {
    const uint32_t b = uint32_t(bits);
    float f;
    std::memcpy(&f, &b, 4);
    const uint16_t ours = BwFloatToHalf(f), theirs = half(f).bits();
    if (std::isnan(f))
      ASSERT_TRUE((ours & 0x7C00) == 0x7C00 && (ours & 0x3FF) != 0) << b;
    else
      ASSERT_EQ(ours, theirs) << std::hex << b;
  }
  for (const float f : {65504.0f, 65519.0f, 65520.0f, 5.9604645e-8f, 2.9802322e-8f, 2.9802326e-8f, 6.1035156e-5f})
    EXPECT_EQ(BwFloatToHalf(f), half(f).bits()) << f;
}

// The same normal map as a 16-bit PNG and as a float OpenEXR file holding the PNG's decoded
// values (0, 0, 0 where the PNG's texel is empty) merges to 16-bit PNG files within one step.
TEST(BwReadExr, NormalMapAsPngOrAsExrMergesAlike) {
  TempDir dir;
  const int w = 37, h = 22;
  WriteTestMaps(dir.path(), w, h);
  ASSERT_EQ(::Run({"-e", "--bits=16", "base.tga", "detail.tga", "n.png"}, dir.path()).status, 0);
  const auto decode = [&](const std::string& name) {
    const Bytes file = ReadFile(dir / name);
    BwDecodedImage png;
    std::string error;
    EXPECT_TRUE(BwReadPngMemory(file.data(), file.size(), &png, &error)) << error;
    EXPECT_TRUE(png.channels == 3 && png.bits == 16) << name;
    const uint16_t* samples = reinterpret_cast<const uint16_t*>(png.data.get());
    return std::vector<uint16_t>(samples, samples + size_t(png.width) * size_t(png.height) * 3);
  };
  const std::vector<uint16_t> n = decode("n.png");  // bottom row first, blue, green, red
  ASSERT_EQ(n.size(), size_t(w * h * 3));
  const auto sample = [&](int x, int y, int c) {
    const uint16_t* t = &n[size_t(((h - 1 - y) * w + x) * 3)];
    const bool empty = (t[0] >> 8) == 127 && (t[1] >> 8) == 127 && (t[2] >> 8) == 127;
    return empty ? 0.0f : float((double(t[2 - c]) - 32767.5) / 32767.5);
  };
  WriteExr(dir / "n.exr", {{"R", "G", "B"}}, w, h, sample);
  ASSERT_EQ(::Run({"-m", "--bits=16", "n.png", "detail.tga", "a.png"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-m", "--bits=16", "n.exr", "detail.tga", "b.png"}, dir.path()).status, 0);
  for (const char* level : {"00", "01", "05"}) {
    const std::vector<uint16_t> a = decode("a" + std::string(level) + ".png"), b = decode("b" + std::string(level) + ".png");
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    EXPECT_LE(worst, 1) << level;
  }
}
