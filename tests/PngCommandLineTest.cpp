// PNG, OpenEXR and TIFF through the command line: the same picture gives the same result
// whatever the container, outputs as independent decoders read them, and the long options.
#include <cmath>
#include <cstring>

#include "ExrIO.h"
#include "Outputs.h"
#include "PngSupport.h"
#include "TestSupport.h"

namespace {

using B = unsigned char;

// A picture of w x h texels, top row first, `channels` samples a texel in PNG order (grey, or
// red, green, blue), 0 to 255: a dome-like normal field with an empty corner, or heights.
std::vector<int> Picture(int w, int h, int channels, bool normals) {
  std::vector<int> samples;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool empty = normals && x < 4 && y < 3;
      const int r = empty ? 127 : 60 + (x * 150) / w, g = empty ? 127 : 200 - (y * 140) / h;
      const int b = empty ? 127 : 230 - (x * y) % 40;
      const int heightValue = (x * 13 + y * y * 3) % 256;
      if (channels == 1) samples.push_back(normals ? r : heightValue);
      if (channels >= 3) samples.insert(samples.end(), {r, g, normals ? b : heightValue});
      if (channels == 4 || channels == 2) samples.push_back(x == 5 ? 0 : 255);
    }
  return samples;
}

// The same picture as a Targa file: bottom row first (or top first with descriptor 0x20),
// blue, green, red.
Bytes AsTarga(int w, int h, int channels, const std::vector<int>& samples, bool topFirst = false) {
  Bytes texels;
  for (int row = 0; row < h; ++row) {
    const int y = topFirst ? row : h - 1 - row;
    for (int x = 0; x < w; ++x) {
      const int* s = samples.data() + (y * w + x) * channels;
      if (channels == 1) texels.push_back(B(s[0]));
      else texels.insert(texels.end(), {B(s[2]), B(s[1]), B(s[0])});
      if (channels == 4) texels.push_back(B(s[3]));
    }
  }
  return MakeTga(w, h, channels == 1 ? 8 : channels * 8, texels, channels == 1 ? 3 : 2, topFirst ? 0x20 : 0);
}

Bytes AsPng(int w, int h, int channels, const std::vector<int>& samples, int depth = 8) {
  std::vector<int> wide = samples;
  if (depth == 16)
    for (int& v : wide) v *= 257;  // 8 bits widened: the same components exactly
  const int colourType = channels == 1 ? 0 : channels == 2 ? 4 : channels == 3 ? 2 : 6;
  return EncodePng(PngLayout{w, h, colourType, depth}, wide);
}

}  // namespace

TEST(PngCommandLine, SamePictureSameResultWhateverTheContainer) {
  const int w = 45, h = 29;
  TempDir dir;
  const std::vector<int> base = Picture(w, h, 3, true), detail = Picture(w, h, 3, false);
  WriteFile(dir / "base.tga", AsTarga(w, h, 3, base));
  WriteFile(dir / "detail.tga", AsTarga(w, h, 3, Picture(w, h, 3, true)));
  for (int channels : {1, 3, 4}) {
    const std::vector<int> heights = Picture(w, h, channels, false);
    const std::string n = std::to_string(channels);
    WriteFile(dir / ("h" + n + ".tga"), AsTarga(w, h, channels, heights));
    WriteFile(dir / ("h" + n + "top.tga"), AsTarga(w, h, channels, heights, true));
    WriteFile(dir / ("h" + n + ".png"), AsPng(w, h, channels, heights));
    WriteFile(dir / ("h" + n + "_16.png"), AsPng(w, h, channels, heights, 16));
  }
  WriteFile(dir / "base.png", AsPng(w, h, 3, base));
  WriteFile(dir / "base16.png", AsPng(w, h, 3, base, 16));
  WriteFile(dir / "detail.png", AsPng(w, h, 3, Picture(w, h, 3, true)));
  WriteFile(dir / "base4.png", AsPng(w, h, 4, Picture(w, h, 4, true)));
  struct Case {
    std::vector<std::string> targa, other;
  };
  const std::vector<Case> cases = {
      {{"-m", "base.tga", "detail.tga", "a.tga"}, {"-m", "base.png", "detail.png", "b.tga"}},
      {{"-m", "base.tga", "detail.tga", "a.tga"}, {"-m", "base16.png", "detail.tga", "b.tga"}},
      {{"-i", "base.tga", "detail.tga", "a.kep"}, {"-i", "base4.png", "detail.png", "b.kep"}},
      {{"base.tga", "h1.tga", "3", "a.tga"}, {"base.png", "h1.png", "3", "b.tga"}},
      {{"base.tga", "h1.tga", "3", "a.tga"}, {"base.tga", "h1_16.png", "3", "b.tga"}},
      {{"base.tga", "h1.tga", "3", "a.tga"}, {"base.tga", "h1top.tga", "3", "b.tga"}},
      {{"-B", "base.tga", "h3.tga", "2", "a.tga"}, {"-B", "base.png", "h3.png", "2", "b.tga"}},
      {{"-B", "base.tga", "h3.tga", "2", "a.tga"}, {"-B", "base.png", "h3_16.png", "2", "b.tga"}},
      {{"-h", "base.tga", "h4.tga", "2", "a.kep"}, {"-h", "base.png", "h4.png", "2", "b.kep"}},
      {{"-h", "base.tga", "h4.tga", "2", "a.kep"}, {"-h", "base.png", "h4top.tga", "2", "b.kep"}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(::Run(c.targa, dir.path()).status, 0);
    const RunResult r = ::Run(c.other, dir.path());
    ASSERT_EQ(r.status, 0) << c.other[1] << " " << c.other[2] << r.out << r.err;
    const std::string a = c.targa.back(), b = c.other.back();
    const bool mips = c.targa[0] == "-m";
    for (const std::string& suffix : mips ? std::vector<std::string>{"00", "03", "05"} : std::vector<std::string>{""}) {
      const auto level = [&](std::string name) { return name.insert(name.size() - 4, suffix); };
      EXPECT_EQ(ReadFile(dir / level(a)), ReadFile(dir / level(b))) << c.other[1] << " " << c.other[2] << suffix;
    }
  }
  // A TIFF holding the texels of a Targa or 16-bit PNG file (all written by the same merge, with
  // its empty corner left) merges as that file does.
  for (const char* out : {"t.tga", "t.tif", "w.png", "w.tif"})
    ASSERT_EQ(::Run({"-e", out[0] == 'w' ? "--bits=16" : "--bits=8", "base.tga", "detail.tga", out}, dir.path()).status, 0);
  for (const auto& [file, tiff] : {std::pair("t.tga", "t.tif"), std::pair("w.png", "w.tif")}) {
    ASSERT_EQ(::Run({"-m", file, "detail.tga", "x.tga"}, dir.path()).status, 0);
    ASSERT_EQ(::Run({"-m", tiff, "detail.tga", "y.tga"}, dir.path()).status, 0);
    EXPECT_TRUE(ReadFile(dir / "x00.tga") == ReadFile(dir / "y00.tga") && ReadFile(dir / "x03.tga") == ReadFile(dir / "y03.tga"))
        << tiff;
  }
}

TEST(PngCommandLine, LongOptions) {
  TempDir dir;
  const int w = 16, h = 12;
  const auto repeat = [](std::vector<int> texel, int n) {
    std::vector<int> out;
    while (n-- > 0) out.insert(out.end(), texel.begin(), texel.end());
    return out;
  };
  WriteFile(dir / "flat.tga", AsTarga(w, h, 3, repeat({128, 128, 255}, w * h)));
  WriteFile(dir / "base.tga", AsTarga(w, h, 3, Picture(w, h, 3, true)));
  // Rounding: a flat normal is written 128, 128, 255 and stays so, and a map written again
  // through a flat height map (scale 0, the exact identity) moves by at most one step.
  WriteFile(dir / "zero.tga", AsTarga(w, h, 1, std::vector<int>(size_t(w * h), 0)));
  const auto texels = [&](const char* name) { const Bytes f = ReadFile(dir / name); return Bytes(f.begin() + 18, f.end()); };
  for (const auto& [in, out] : {std::pair("flat.tga", "r1.tga"), std::pair("base.tga", "r2.tga"), std::pair("r2.tga", "r3.tga")})
    ASSERT_EQ(::Run({"-e", "--round", in, "zero.tga", "0", out}, dir.path()).status, 0);
  EXPECT_EQ(texels("r1.tga"), texels("flat.tga"));
  const Bytes a = texels("r2.tga"), b = texels("r3.tga");
  for (size_t i = 0; i < a.size(); ++i) ASSERT_LE(std::abs(int(a[i]) - int(b[i])), 1) << i;

  // Heights rising towards the top of the picture give normals with positive y (green down, as
  // DirectX has it); --flip-green=second makes them OpenGL's. y is read from .kep words.
  std::vector<int> rising;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) rising.push_back(250 - 20 * y);  // top row highest
  WriteFile(dir / "rising.tga", AsTarga(w, h, 1, rising));
  WriteFile(dir / "up.tga", AsTarga(w, h, 3, repeat({127, 127, 255}, w * h)));
  for (const auto& [flip, sign] : {std::pair("--flip-green=base", 1), std::pair("--flip-green=second", -1),
                                   std::pair("--flip-green=output", -1), std::pair("--flip-green=base,second,output", 1)}) {
    ASSERT_EQ(::Run({"-eh", flip, "up.tga", "rising.tga", "1", "y.kep"}, dir.path()).status, 0) << flip;
    int16_t y;
    std::memcpy(&y, ReadFile(dir / "y.kep").data() + 13 + ((6 * w + 7) * 4 + 2), 2);  // texel (7, 6), its y
    EXPECT_GT(sign * y, 1000) << flip;
  }

  // Heights in red, or alpha-empty texels, read as the equivalent grey map or empty texels.
  std::vector<int> inRed, grey = Picture(w, h, 1, false), holes = Picture(w, h, 4, true), plainHoles;
  for (int v : grey) inRed.insert(inRed.end(), {v, 17, 200});
  for (size_t i = 0; i < holes.size(); i += 4) {
    const bool hole = holes[i + 3] == 0;
    plainHoles.insert(plainHoles.end(), {hole ? 127 : holes[i], hole ? 127 : holes[i + 1], hole ? 127 : holes[i + 2]});
  }
  WriteFile(dir / "grey.tga", AsTarga(w, h, 1, grey));
  WriteFile(dir / "red.tga", AsTarga(w, h, 3, inRed));
  WriteFile(dir / "holes.tga", AsTarga(w, h, 4, holes));
  WriteFile(dir / "plainholes.tga", AsTarga(w, h, 3, plainHoles));
  ASSERT_EQ(::Run({"base.tga", "grey.tga", "2", "a.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"--height-channel=r", "base.tga", "red.tga", "2", "b.tga"}, dir.path()).status, 0);
  EXPECT_EQ(ReadFile(dir / "a.tga"), ReadFile(dir / "b.tga"));
  ASSERT_EQ(::Run({"plainholes.tga", "base.tga", "a.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"holes.tga", "base.tga", "b.tga", "--alpha-empty"}, dir.path()).status, 0);
  EXPECT_EQ(ReadFile(dir / "a.tga"), ReadFile(dir / "b.tga"));

  // A flag word that looks like a long option but is not (refusals are in GpuOutputTest).
  EXPECT_EQ(::Run({"--mB", "base.tga", "flat.tga", "m.tga"}, dir.path()).status, 0);
  EXPECT_TRUE(FileExists(dir / "m00.tga"));
  const RunResult help = ::Run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"--flip-green=LIST", "--skip-up-to-date", ".ktx2", "rgb10a2"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  EXPECT_EQ(::Run({"--batch", "--help"}).out.rfind("Usage: bumpweld --batch FILE", 0), 0u);
  EXPECT_EQ(::Run({"--version"}).out, "Bumpweld v00.00.01\n");
}

namespace {

// OpenImageIO reads every OpenEXR, TIFF and PNG file the tool writes, each level of a chain, with
// our values: the float file's level 0 as our own reader reads it, the half file's levels as the
// float levels rounded to half, the float levels through the 16-bit PNG rule as the 16-bit PNG
// levels, and the TIFF and 8-bit PNG levels as the 16-bit PNG and Targa levels of the same run.
// levelList: the levels' sizes as oiiotool lists them.
void ExpectOpenImageIoReads(int w, int h, const std::string& levelList) {
  SCOPED_TRACE(levelList);
  TempDir dir;
  const int levels = BwExrLevelCount(w, h);
  WriteTestMaps(dir.path(), w, h);
  const std::pair<const char*, const char*> outputs[] = {
      {"--bits=32", "f.exr"}, {"", "o.exr"}, {"--bits=16", "w.png"}, {"--bits=16", "w.tif"}, {"", "t.tga"}, {"", "t.tif"},
      {"", "p.PNG"}};
  std::string files = "f.exr o.exr";
  for (const auto& [option, out] : outputs) {
    std::vector<std::string> args = {"-m", "base.tga", "detail.tga", out};
    if (*option) args.push_back(option);
    ASSERT_EQ(::Run(args, dir.path()).status, 0) << out;
    for (int l = 0; l < levels && out[2] != 'e'; ++l) files += " " + BwLevelFileName(out, true, l);
  }
  // Each level of each file in its own type, top row first, as OpenImageIO reads it.
  const std::string script =
      "/usr/bin/python3 -c 'import sys, OpenImageIO as oiio\n"
      "for name in sys.argv[1:]:\n"
      "    f, level = oiio.ImageInput.open(name), 0\n"
      "    while f.seek_subimage(0, level):\n"
      "        open(\"%s.%d\" % (name, level), \"wb\").write(f.read_image(0, level, 0, 3, oiio.UNKNOWN).tobytes())\n"
      "        level += 1\n"
      "    print(name, level)' " + files + " > levels.txt && oiiotool --info -v f.exr o.exr > info.txt";
  ASSERT_EQ(Shell(script, dir.path()), 0);
  const Bytes listed = ReadFile(dir / "levels.txt"), info = ReadFile(dir / "info.txt");
  const std::string count = std::to_string(levels);
  EXPECT_EQ(std::string(listed.begin(), listed.end()).rfind("f.exr " + count + "\no.exr " + count + "\n", 0), 0u);
  const std::string infoText(info.begin(), info.end());
  EXPECT_NE(infoText.find("MIP-map levels: " + levelList + "\n"), std::string::npos) << infoText;
  const auto floats = [&](const std::string& name) {
    const Bytes b = ReadFile(dir / name);
    std::vector<float> v(b.size() / 4);
    std::memcpy(v.data(), b.data(), v.size() * 4);
    return v;
  };
  // Level 0 of the float file, bottom row first, as our reader gives it.
  BwExrImage ours;
  std::string error;
  BwExrRequest normals;
  normals.normals = true;
  ASSERT_TRUE(BwReadExr((dir / "f.exr").c_str(), normals, &ours, &error)) << error;
  const std::vector<float> level0 = floats("f.exr.0");
  ASSERT_EQ(level0.size(), size_t(w * h * 3));
  for (int y = 0; y < h; ++y)
    EXPECT_EQ(std::memcmp(&level0[size_t(y * w * 3)], &ours.samples[size_t((h - 1 - y) * w * 3)], size_t(w * 3) * 4), 0) << y;
  for (int l = 0; l < levels; ++l) {
    const std::string n = std::to_string(l);
    // Level l of a chain as OpenImageIO read it.
    const auto chain = [&](const char* name) { return ReadFile(dir / (BwLevelFileName(name, true, l) + ".0")); };
    const std::vector<float> f = floats("f.exr." + n);
    const Bytes half = ReadFile(dir / ("o.exr." + n)), png = chain("w.png");
    ASSERT_TRUE(half.size() == f.size() * 2 && png.size() == f.size() * 2) << l;
    for (size_t i = 0; i < f.size(); ++i) {
      uint16_t h16, p16;
      std::memcpy(&h16, &half[2 * i], 2);
      std::memcpy(&p16, &png[2 * i], 2);
      ASSERT_EQ(h16, BwFloatToHalf(f[i])) << l << " " << i;
      ASSERT_EQ(p16, uint16_t(std::floor((double(f[i]) + 1.0) / 2.0 * 65535.0 + 0.5))) << l << " " << i;
    }
    EXPECT_TRUE(chain("w.tif") == png) << l;
    EXPECT_TRUE(chain("t.tif") == chain("t.tga")) << l;
    EXPECT_TRUE(chain("p.PNG") == chain("t.tga")) << l;
  }
}

}  // namespace

// Chains within one tile, and chains whose levels end in partial tiles (edge tiles narrower and
// lower than a tile below the top level).
TEST(PngCommandLine, OpenImageIoReadsEveryExrAndTiffWritten) {
  if (std::system("/usr/bin/python3 -c 'import OpenImageIO, numpy' 2>/dev/null") != 0 ||
      std::system("oiiotool --help >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "OpenImageIO's oiiotool and Python module are not installed";
  ExpectOpenImageIoReads(37, 22, "37x22 18x11 9x5 4x2 2x1 1x1");
  ExpectOpenImageIoReads(150, 70, "150x70 75x35 37x17 18x8 9x4 4x2 2x1 1x1");
  ExpectOpenImageIoReads(300, 200, "300x200 150x100 75x50 37x25 18x12 9x6 4x3 2x1 1x1");
}
