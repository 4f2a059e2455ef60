// OpenEXR height reading: files written by the OpenEXR C++ library in each storage, sample type
// and compression read back bottom row first; channel choice; refusals with one message.
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfTiledOutputFile.h>
#include <half.h>

#include <cstring>
#include <tuple>

#include "ExrIO.h"
#include "TestSupport.h"

namespace {

constexpr int W = 13, H = 7;

// Sample (x, y), y from the top: exact in half, float and uint alike.
float Value(int x, int y, int channel) { return float(x * 3 + y * 50 + channel * 1000); }

struct ExrSpec {
  std::vector<std::string> channels = {"Y"};
  Imf::PixelType type = Imf::FLOAT;
  Imf::Compression compression = Imf::ZIP_COMPRESSION;
  bool tiled = false;
  int originX = 0, originY = 0;
};

// Writes the picture with the C++ library; every channel holds Value(x, y, its index).
void WriteExr(const std::string& path, const ExrSpec& s) {
  Imf::Header header(Imath::Box2i({s.originX, s.originY}, {s.originX + W - 1, s.originY + H - 1}),
                     Imath::Box2i({s.originX, s.originY}, {s.originX + W - 1, s.originY + H - 1}));
  header.compression() = s.compression;
  std::vector<std::vector<char>> planes;
  Imf::FrameBuffer frame;
  const size_t bytes = s.type == Imf::HALF ? 2 : 4;
  for (size_t c = 0; c < s.channels.size(); ++c) {
    header.channels().insert(s.channels[c], Imf::Channel(s.type));
    planes.emplace_back(size_t(W * H) * bytes);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const float v = Value(x, y, int(c));
        const half h(v);
        const uint32_t u = uint32_t(v);
        const void* sample = s.type == Imf::FLOAT ? &v : s.type == Imf::HALF ? static_cast<const void*>(&h) : &u;
        std::memcpy(planes.back().data() + size_t(y * W + x) * bytes, sample, bytes);
      }
    char* origin = planes.back().data() - (size_t(s.originY) * W + size_t(s.originX)) * bytes;
    frame.insert(s.channels[c], Imf::Slice(s.type, origin, bytes, bytes * W));
  }
  if (s.tiled) {
    header.setTileDescription(Imf::TileDescription(4, 3));
    Imf::TiledOutputFile out(path.c_str(), header);
    out.setFrameBuffer(frame);
    out.writeTiles(0, out.numXTiles() - 1, 0, out.numYTiles() - 1);
  } else {
    Imf::OutputFile out(path.c_str(), header);
    out.setFrameBuffer(frame);
    out.writePixels(H);
  }
}

struct Read {
  bool ok = false;
  BwHeightImage image;
  std::string error;
};

Read ReadExr(const std::string& path, const char* channel = nullptr) {
  Read r;
  r.ok = BwReadExr(path.c_str(), channel, &r.image, &r.error);
  return r;
}

// Channel `index` of the picture, bottom row first.
std::vector<float> Expected(int index) {
  std::vector<float> out;
  for (int y = H - 1; y >= 0; --y)
    for (int x = 0; x < W; ++x) out.push_back(Value(x, y, index));
  return out;
}

std::vector<float> Heights(const BwHeightImage& image) {
  return std::vector<float>(image.heights.get(), image.heights.get() + size_t(image.width) * image.height);
}

}  // namespace

TEST(BwReadExr, StoragesTypesAndCompressionsGiveBottomRowFirst) {
  TempDir dir;
  const struct { const char* name; ExrSpec spec; } cases[] = {
      {"float zip", {}},
      {"half none", {{"Y"}, Imf::HALF, Imf::NO_COMPRESSION}},
      {"uint rle", {{"Y"}, Imf::UINT, Imf::RLE_COMPRESSION}},
      {"half piz", {{"Y"}, Imf::HALF, Imf::PIZ_COMPRESSION}},
      {"float pxr24 offset window", {{"Y"}, Imf::FLOAT, Imf::PXR24_COMPRESSION, false, -5, 12}},
      {"tiled half zips", {{"Y"}, Imf::HALF, Imf::ZIPS_COMPRESSION, true}},
      {"tiled float offset window", {{"Y"}, Imf::FLOAT, Imf::ZIP_COMPRESSION, true, 3, -2}},
  };
  for (const auto& c : cases) {
    const std::string path = dir / "in.exr";
    WriteExr(path, c.spec);
    const Read r = ReadExr(path);
    ASSERT_TRUE(r.ok) << c.name << ": " << r.error;
    EXPECT_EQ(std::make_tuple(r.image.width, r.image.height), std::make_tuple(W, H)) << c.name;
    EXPECT_EQ(Heights(r.image), Expected(0)) << c.name;
  }
  // Through a stream and from memory as well.
  const Bytes file = ReadFile(dir / "in.exr");
  Read r;
  ASSERT_TRUE(BwReadExrMemory(file.data(), file.size(), nullptr, &r.image, &r.error)) << r.error;
  EXPECT_EQ(Heights(r.image), Expected(0));
  FILE* pipe = popen(("cat " + (dir / "in.exr")).c_str(), "r");
  ASSERT_TRUE(BwReadExrFile(pipe, nullptr, &r.image, &r.error)) << r.error;
  pclose(pipe);
  EXPECT_EQ(Heights(r.image), Expected(0));
}

TEST(BwReadExr, ChannelChoice) {
  TempDir dir;
  // Channels are stored sorted by name; the picture's index follows the order given here.
  const struct {
    const char* name;
    std::vector<std::string> channels;
    const char* wanted;
    int index;
    std::string error;
  } cases[] = {
      {"only channel", {"Z"}, nullptr, 0, ""},
      {"Y among others", {"B", "G", "R", "Y"}, nullptr, 3, ""},
      {"named R", {"B", "G", "R"}, "R", 2, ""},
      {"layer name", {"height.Y", "mask.Y"}, "height.Y", 0, ""},
      {"none named", {"B", "G", "R"}, nullptr, 0, "EXR: several channels and none named Y; name one of: B, G, R"},
      {"missing", {"B", "G"}, "Y", 0, "EXR: no channel named Y (channels: B, G)"},
  };
  for (const auto& c : cases) {
    ExrSpec spec;
    spec.channels = c.channels;
    WriteExr(dir / "in.exr", spec);
    const Read r = ReadExr(dir / "in.exr", c.wanted);
    EXPECT_EQ(r.ok, c.error.empty()) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
    if (r.ok) {
      EXPECT_EQ(Heights(r.image), Expected(c.index)) << c.name;
    }
  }
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
  const struct { const char* name; std::string file; std::string start; } cases[] = {
      {"multi-part", "parts.exr", "EXR: multi-part files are not supported (2 parts)"},
      {"not OpenEXR", "notexr.exr", "EXR: not an OpenEXR file (bad magic number)"},
      {"missing", "none.exr", "EXR: cannot open "},
      // 65535 x 65535 floats announced, 1 KB there: refused without allocating 16 GiB.
      {"lying window", "huge.exr", "EXR: chunk table size (524280) too big for file size"},
      {"cut short", "short.exr", "EXR: Preparing to read scanline 6 (chunk 6), found corrupt leader"},
  };
  for (const auto& c : cases) {
    const Read r = ReadExr(dir / c.file);
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.error.rfind(c.start, 0), 0u) << c.name << ": " << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << c.name;
  }
}
