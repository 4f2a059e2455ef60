// .kep files: header bytes, round trips, and the failures of the reader and the writer.
#include <tuple>

#include "KepFileIO.h"
#include "TestSupport.h"

using B = unsigned char;

auto Fields(const ZelBitmap& b) {
  return std::make_tuple(b.width, b.height, b.bitDepth, uint32_t(b.format), (const void*)b.pixels);
}

// Runs a reader or writer; its result and what it printed on standard error.
template <typename F>
std::pair<bool, std::string> Call(F f, ZelBitmap* bmp, const std::string& path) {
  bool ok = false;
  const std::string err = Printed([&] { ok = f(bmp, path.c_str()); }, true);
  return {ok, err};
}

// 13 header bytes (the pointer slot zero), then exactly the texel block; read back the same.
TEST(KepFile, WriteThenReadGivesTheRecordBack) {
  const struct { uint16_t w, h; uint8_t depth; uint32_t format; size_t n; } cases[] = {
      {256, 128, 32, ZEL_BITMAP_FORMAT_1010102, 131072}, {3, 2, 12, 1, 6}, {1, 1, 8, ZEL_BITMAP_FORMAT_FORCE_DWORD, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << int(c.depth));
    TempDir dir;
    Bytes texels(c.n + 1);  // one spare byte that must not be written
    for (size_t i = 0; i < texels.size(); ++i) texels[i] = B(i * 37 + 5);
    const Bytes block(texels.begin(), texels.end() - 1);
    ZelBitmap bmp = {c.w, c.h, c.depth, ZelBitmapFormatEnum(c.format), texels.data()};
    const auto before = Fields(bmp);
    EXPECT_EQ(Call(ZelWrite3DKEPImageFile, &bmp, dir / "t.kep"), std::make_pair(true, std::string()));
    EXPECT_EQ(Fields(bmp), before);
    EXPECT_EQ(ReadFile(dir / "t.kep"), Cat({{B(c.w), B(c.w >> 8), B(c.h), B(c.h >> 8), c.depth, B(c.format),
                                             B(c.format >> 8), B(c.format >> 16), B(c.format >> 24), 0, 0, 0, 0},
                                            block}));
    ZelBitmap back = {};
    EXPECT_EQ(Call(ZelRead3DKEPImageFile, &back, dir / "t.kep"), std::make_pair(true, std::string()));
    EXPECT_EQ(Fields(back), std::make_tuple(c.w, c.h, c.depth, c.format, (const void*)back.pixels));
    ASSERT_TRUE(back.pixels && back.pixels != texels.data());
    EXPECT_EQ(Bytes(back.pixels, back.pixels + c.n), block);
    delete[] back.pixels;
  }
}

// Each failure gives one message on standard error; the writer leaves the record as it was.
TEST(KepFile, FailuresGiveOneMessage) {
  TempDir dir;
  const Bytes header = {3, 0, 2, 0, 32, 4, 0, 0, 0, 0, 0, 0, 0};  // 3 x 2 x 32 bits: 24 bytes
  const Bytes full = Cat({header, Bytes(24, 0x5A)});
  const std::string missing = dir / "none/t.kep", texels = "ERROR! Couldn't read texels!\n";
  const std::string noOpen = "Warning! Could not open texture map \"" + missing + "\"\n";
  const struct { const char* name; Bytes file; bool ok; std::string message; } reads[] = {
      {"12-byte header", Bytes(header.begin(), header.end() - 1), false, "ERROR! Bad kep header!\n"},
      {"one texel byte short", Bytes(full.begin(), full.end() - 1), false, texels},
      {"lying header", {0xFF, 0xFF, 0xFF, 0xFF, 64, 7, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}, false, texels},
      {"bytes after the texels", Cat({full, {1, 2, 3}}), true, ""},
      {"missing file", {}, false, noOpen}};
  for (const auto& c : reads) {
    const std::string path = c.file.empty() ? missing : dir / "in.kep";
    if (!c.file.empty()) WriteFile(path, c.file);
    ZelBitmap bmp = {};
    EXPECT_EQ(Call(ZelRead3DKEPImageFile, &bmp, path), std::make_pair(c.ok, c.message)) << c.name;
    EXPECT_TRUE(!c.ok || Bytes(bmp.pixels, bmp.pixels + 24) == Bytes(24, 0x5A)) << c.name;
    delete[] bmp.pixels;
  }
  Bytes pixels(2 * 2 * 8, 1);
  const std::pair<std::string, std::string> writes[] = {{missing, noOpen}, {"/dev/full", "ERROR! Couldn't write texels!\n"}};
  for (const auto& [path, message] : writes) {
    ZelBitmap bmp = {2, 2, 64, ZEL_BITMAP_FORMAT_S16161616, pixels.data()};
    const auto before = Fields(bmp);
    EXPECT_EQ(Call(ZelWrite3DKEPImageFile, &bmp, path), std::make_pair(false, message)) << path;
    EXPECT_EQ(Fields(bmp), before);
  }
}
