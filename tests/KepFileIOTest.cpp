// .kep files: header bytes, round trips, the reader's refusals and the writer's untouched record.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "KepFileIO.h"
#include "TestSupport.h"

namespace {

using B = unsigned char;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

auto Fields(const ZelBitmap& b) {
  return std::make_tuple(b.width, b.height, b.bitDepth, uint32_t(b.format), (const void*)b.pixels);
}

// Runs a reader or writer with standard error captured; returns what it printed.
template <typename F>
std::string Call(F f, ZelBitmap* bmp, const std::string& path, bool* ok) {
  testing::internal::CaptureStderr();
  *ok = f(bmp, path.c_str());
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(KepFile, WriteThenReadGivesTheRecordBack) {
  const struct { uint16_t w, h; uint8_t depth; uint32_t format; size_t n; } cases[] = {
      {256, 128, 32, ZEL_BITMAP_FORMAT_1010102, 131072}, {5, 3, 64, 7, 120}, {3, 2, 12, 1, 6},
      {0, 9, 32, 4, 0}, {9, 0, 32, 4, 0}, {4, 4, 7, 0, 0}, {1, 1, 8, ZEL_BITMAP_FORMAT_FORCE_DWORD, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << int(c.depth));
    TempDir dir;
    const std::string path = dir / "t.kep";
    Bytes texels(c.n + 1);  // one spare byte that must not be written
    for (size_t i = 0; i < texels.size(); ++i) texels[i] = B(i * 37 + 5);
    const Bytes block(texels.begin(), texels.end() - 1);
    ZelBitmap bmp = {c.w, c.h, c.depth, ZelBitmapFormatEnum(c.format), texels.data()};
    const auto before = Fields(bmp);
    bool ok = false;
    EXPECT_EQ(Call(ZelWrite3DKEPImageFile, &bmp, path, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Fields(bmp), before);

    const Bytes file = ReadFile(path);
    const Bytes header = {B(c.w), B(c.w >> 8), B(c.h), B(c.h >> 8), c.depth, B(c.format),
                          B(c.format >> 8), B(c.format >> 16), B(c.format >> 24), 0, 0, 0, 0};
    ASSERT_EQ(file.size(), 13 + c.n);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 13), header);
    EXPECT_EQ(Bytes(file.begin() + 13, file.end()), block);
    if (c.w == 256) {
      EXPECT_EQ(header, (Bytes{0x00, 0x01, 0x80, 0x00, 0x20, 0x0A, 0, 0, 0, 0, 0, 0, 0}));
    }

    ZelBitmap back = {};
    EXPECT_EQ(Call(ZelRead3DKEPImageFile, &back, path, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Fields(back), std::make_tuple(c.w, c.h, c.depth, c.format, (const void*)back.pixels));
    ASSERT_TRUE(back.pixels && back.pixels != texels.data());
    EXPECT_EQ(Bytes(back.pixels, back.pixels + c.n), block);
    delete[] back.pixels;
  }
}

TEST(KepFile, ReaderFailures) {
  TempDir dir;
  const Bytes header = {3, 0, 2, 0, 32, 4, 0, 0, 0, 0, 0, 0, 0};  // 3 x 2 x 32 bits: 24 bytes
  const Bytes full = Cat(header, Bytes(24, 0x5A));
  const std::string missing = dir / "none.kep", texels = "ERROR! Couldn't read texels!\n";
  const struct { const char* name; Bytes file; bool ok; std::string message; } cases[] = {
      {"12-byte header", Bytes(header.begin(), header.end() - 1), false, "ERROR! Bad kep header!\n"},
      {"one texel byte short", Bytes(full.begin(), full.end() - 1), false, texels},
      {"lying header", {0xFF, 0xFF, 0xFF, 0xFF, 64, 7, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}, false, texels},
      {"bytes after the texels", Cat(full, {1, 2, 3}), true, ""},
      {"missing file", {}, false, "Warning! Could not open texture map \"" + missing + "\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.file.empty() ? missing : dir / "in.kep";
    if (!c.file.empty()) WriteFile(path, c.file);
    ZelBitmap bmp = {};
    bool ok = !c.ok;
    EXPECT_EQ(Call(ZelRead3DKEPImageFile, &bmp, path, &ok), c.message);
    EXPECT_EQ(ok, c.ok);
    if (ok) {
      EXPECT_EQ(Bytes(bmp.pixels, bmp.pixels + 24), Bytes(24, 0x5A));
    }
    delete[] bmp.pixels;
  }
}

TEST(KepFile, WriterFailuresLeaveTheRecordAlone) {
  TempDir dir;
  Bytes texels(2 * 2 * 8, 1);
  const std::string missingDir = dir / "none/out.kep";
  const std::pair<std::string, std::string> cases[] = {
      {missingDir, "Warning! Could not open texture map \"" + missingDir + "\"\n"},
      {"/dev/full", "ERROR! Couldn't write texels!\n"}};
  for (const auto& [path, message] : cases) {
    ZelBitmap bmp = {2, 2, 64, ZEL_BITMAP_FORMAT_S16161616, texels.data()};
    const auto before = Fields(bmp);
    bool ok = true;
    EXPECT_EQ(Call(ZelWrite3DKEPImageFile, &bmp, path, &ok), message);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Fields(bmp), before);
  }
  EXPECT_FALSE(FileExists(missingDir));
}
