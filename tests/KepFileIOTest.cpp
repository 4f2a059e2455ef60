// .kep files: a record written and read back, and the one message of each failure.
#include "KepFileIO.h"
#include "TestSupport.h"

using B = unsigned char;

// Runs a reader or writer; its result and what it printed on standard error.
template <typename F>
std::pair<bool, std::string> Call(F f, ZelBitmap* bmp, const std::string& path) {
  bool ok = false;
  const std::string err = Printed([&] { ok = f(bmp, path.c_str()); }, true);
  return {ok, err};
}

// 13 header bytes (the pointer slot zero), then exactly the texel block; read back the same.
// Failures give one message, and the writer leaves the record as it was.
TEST(KepFile, RoundTripAndFailures) {
  TempDir dir;
  const Bytes header = {3, 0, 2, 0, 32, 10, 0, 0, 0, 0, 0, 0, 0};  // 3 x 2 x 32 bits: 24 bytes
  Bytes texels(25, 0x5A);  // one spare byte that must not be written
  ZelBitmap bmp = {3, 2, 32, ZEL_BITMAP_FORMAT_1010102, texels.data()};
  EXPECT_EQ(Call(ZelWrite3DKEPImageFile, &bmp, dir / "t.kep"), std::make_pair(true, std::string()));
  const Bytes full = ReadFile(dir / "t.kep");
  EXPECT_EQ(full, Cat({header, Bytes(24, 0x5A)}));

  const std::string missing = dir / "none/t.kep", noTexels = "ERROR! Couldn't read texels!\n";
  const std::string noOpen = "Warning! Could not open texture map \"" + missing + "\"\n";
  const struct { const char* name; Bytes file; bool ok; std::string message; } reads[] = {
      {"written", full, true, ""},
      {"bytes after the texels", Cat({full, {1, 2, 3}}), true, ""},
      {"12-byte header", Bytes(header.begin(), header.end() - 1), false, "ERROR! Bad kep header!\n"},
      {"one texel byte short", Bytes(full.begin(), full.end() - 1), false, noTexels},
      {"lying header", {0xFF, 0xFF, 0xFF, 0xFF, 64, 7, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}, false, noTexels},
      {"missing file", {}, false, noOpen}};
  for (const auto& c : reads) {
    const std::string path = c.file.empty() ? missing : dir / "in.kep";
    if (!c.file.empty()) WriteFile(path, c.file);
    ZelBitmap back = {};
    EXPECT_EQ(Call(ZelRead3DKEPImageFile, &back, path), std::make_pair(c.ok, c.message)) << c.name;
    EXPECT_TRUE(!c.ok || (back.width == 3 && back.height == 2 && back.bitDepth == 32 &&
                          back.format == ZEL_BITMAP_FORMAT_1010102 && Bytes(back.pixels, back.pixels + 24) == Bytes(24, 0x5A)))
        << c.name;
    delete[] back.pixels;
  }
  const std::pair<std::string, std::string> writes[] = {{missing, noOpen}, {"/dev/full", "ERROR! Couldn't write texels!\n"}};
  for (const auto& [path, message] : writes) {
    ZelBitmap record = bmp;
    EXPECT_EQ(Call(ZelWrite3DKEPImageFile, &record, path), std::make_pair(false, message)) << path;
    EXPECT_TRUE(record.width == 3 && record.pixels == texels.data()) << path;
  }
}
