// Whole runs of the real executable on small crafted maps: merged texels, console output, mip
// chains, dilation, box filter, .kep encodings, failed writes and the shared real textures.
// Expected bytes come from the encodings' arithmetic, never from the library's own encoders.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const Bytes kEmpty = {127, 127, 127};
const Bytes kUp = {255, 127, 127};  // straight up as near as bytes get (z is byte 0)

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Repeat(const Bytes& texel, int count) {
  Bytes texels;
  while (count-- > 0) texels.insert(texels.end(), texel.begin(), texel.end());
  return texels;
}

// Deterministic bytes without a 127, so no texel is empty.
Bytes Noise(int count, unsigned seed) {
  Bytes bytes(size_t(count), 0);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<unsigned char>(seed >> 16 == 127 ? 128 : seed >> 16);
  }
  return bytes;
}

// base.tga and det.tga (straight up unless given) in `dir`.
void WriteMaps(const std::string& dir, int width, int height, const Bytes& base, const Bytes& det = {}) {
  WriteFile(dir + "/base.tga", MakeTga(width, height, 24, base));
  WriteFile(dir + "/det.tga", MakeTga(width, height, 24, det.empty() ? Repeat(kUp, width * height) : det));
}

Bytes TexelsOf(const Bytes& tga) { return Bytes(tga.begin() + std::min<size_t>(18, tga.size()), tga.end()); }

// Regular files under `root`, relative to it.
std::set<std::string> Files(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root).string());
  return files;
}

// Output bytes are trunc(c * 127.5 + 127.5) of the unit normal c decoded from the base texel
// (byte b gives (b - 127.5) / 127.5 before normalising); `slack` is in steps of one byte.
// An empty base texel stays the zero vector, bytes 127, when expansion is off.
TEST(Pipeline, StraightUpDetailReproducesTheBaseMap) {
  const std::pair<Args, double> cases[] = {
      {{"-e", "base.tga", "det.tga", "out.tga"}, 0.72},  // 255, 127, 127 tilts by 0.71 steps
      {{"-e", "base.tga", "height.tga", "0", "out.tga"}, 1e-4},
      {{"-e", "base.tga", "height.tga", "flat", "out.tga"}, 1e-4}};  // not a number: scale 0
  TempDir dir;
  Bytes base = Noise(36, 7);
  std::copy(kEmpty.begin(), kEmpty.end(), base.begin() + 15);  // texel 5 is empty
  WriteMaps(dir.path(), 4, 3, base);
  WriteFile(dir / "height.tga", MakeTga(4, 3, 8, Noise(12, 3), 3));
  for (const auto& [args, slack] : cases) {
    ASSERT_EQ(::Run(args, dir.path()).status, 0) << args[2];
    const Bytes out = ReadFile(dir / "out.tga");
    ASSERT_EQ(out.size(), 18u + 36u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 18), Bytes({0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 3, 0, 24, 8}));
    for (size_t i = 0; i < 36; ++i) {
      const unsigned char* b = &base[i - i % 3];
      const bool empty = i / 3 == 5;
      const double c = (base[i] - 127.5) / std::hypot(b[0] - 127.5, b[1] - 127.5, b[2] - 127.5);
      const double q = empty ? 127 : c * 127.5 + 127.5, s = empty ? 0 : slack;
      EXPECT_GE(out[18 + i], std::floor(q - s)) << args[2] << " byte " << i;
      EXPECT_LE(out[18 + i], std::floor(q + s)) << args[2] << " byte " << i;
    }
  }
}

std::string Frames(int* phase, int count) {
  std::string frames;
  for (; count > 0; --count, *phase = (*phase + 1) % 4) frames += std::string("\r") + "\\|/-"[*phase];
  return frames;
}

// A default run prints its stages in order, the spinner turning once per row (renormalise,
// encode) or pass (dilate) and its phase carrying over from stage to stage.
TEST(Pipeline, ConsoleOutputOfADefaultRun) {
  TempDir dir;
  WriteMaps(dir.path(), 2, 3, Noise(18, 1), Noise(18, 2));
  int phase = 0;  // one frame run a statement, in order
  std::string expect = "Bumpweld v00.00.01\nFlags:\nNo mipmap generation\nExpand border texels (10 texels)\n"
                       "No postprocess filter\nOutput normal map 2 by 3\nMerging normals\n"
                       "  0%\r100.00%\r\rRenormalize\n";
  expect += Frames(&phase, 3) + "\r\rFilling borders\n";
  expect += Frames(&phase, 10) + "\r\rConverting to 8x8x8 Targa\n";
  expect += Frames(&phase, 3) + "\rWrote out.tga\n";
  EXPECT_EQ(::Run({"base.tga", "det.tga", "out.tga"}, dir.path()).out, expect);
}

TEST(Pipeline, MipChainNamesAndSizes) {
  struct Case {
    int width, height;
    std::string flags, outName;
    std::vector<std::tuple<std::string, int, int>> levels;  // path below the scratch root, size
  };
  const Case cases[] = {
      {2, 8, "-m", "out.tga", {{"run/out00.tga", 2, 8}, {"run/out01.tga", 1, 4}, {"run/out02.tga", 1, 2}}},
      {8, 2, "-M", "out.tga",
       {{"run/out00.tga", 8, 2}, {"run/out01.tga", 4, 1}, {"run/out02.tga", 2, 1}, {"run/out03.tga", 1, 1}}},
      {5, 5, "-m", "out.tga", {{"run/out00.tga", 5, 5}, {"run/out01.tga", 2, 2}, {"run/out02.tga", 1, 1}}},
      {2, 2, "-mh", "out.kep", {{"run/out00.kep", 2, 2}, {"run/out01.kep", 1, 1}}},
      {2, 2, "-m", "../dir.x/out", {{"dir.x/out00.tga", 2, 2}, {"dir.x/out01.tga", 1, 1}}},
      {2, 2, "-m", "out", {{"run/out00.tga", 2, 2}, {"run/out01.tga", 1, 1}}},
      {2, 2, "-e", "out", {{"run/out", 2, 2}}}};
  for (const Case& c : cases) {
    TempDir dir;
    fs::create_directory(dir / "run");
    fs::create_directory(dir / "dir.x");
    WriteMaps(dir / "run", c.width, c.height, Repeat({200, 150, 100}, c.width * c.height));
    ASSERT_EQ(::Run({c.flags, "base.tga", "det.tga", c.outName}, dir / "run").status, 0) << c.outName;
    std::set<std::string> expected = {"run/base.tga", "run/det.tga"};
    for (const auto& [path, width, height] : c.levels) {
      expected.insert(path);
      const Bytes file = ReadFile(dir / path);
      const bool kep = EndsWith(path, ".kep");
      const size_t at = kep ? 0 : 12;
      ASSERT_EQ(file.size(), (kep ? 13u : 18u) + size_t(width * height) * (kep ? 4 : 3)) << path;
      EXPECT_EQ(file[at] + 256 * file[at + 1], width) << path;
      EXPECT_EQ(file[at + 2] + 256 * file[at + 3], height) << path;
      const Bytes texels = kep ? Bytes() : TexelsOf(file);
      for (size_t i = 0; i < texels.size(); ++i) EXPECT_EQ(texels[i], texels[i % 3]) << path;  // constant
    }
    EXPECT_EQ(Files(dir.path()), expected);
  }
}

// Same-size box filter: the 2 x 2 blocks of the last row and column wrap around to the first.
// A constant image stays constant everywhere; a distinct first row (column) mixes into the
// first and last rows (columns) of the result and nowhere else.
TEST(Pipeline, FinalBoxFilterWrapsAroundTheEdges) {
  const int width = 5, height = 4;
  const Bytes p = {200, 60, 230}, q = {200, 200, 30};
  for (const int pattern : {0, 1, 2}) {  // constant q; first row p; first column p
    auto edge = [&](int t, int last) {
      return pattern == 1 ? t / width == 0 || t / width == last : pattern == 2 && (t % width == 0 || t % width == last);
    };
    TempDir dir;
    Bytes base;
    for (int t = 0; t < width * height; ++t) base = Cat({base, edge(t, 0) ? p : q});
    WriteMaps(dir.path(), width, height, base);
    ASSERT_EQ(::Run({"base.tga", "det.tga", "plain.tga"}, dir.path()).status, 0);
    ASSERT_EQ(::Run({"-B", "base.tga", "det.tga", "box.tga"}, dir.path()).status, 0);
    const Bytes plain = TexelsOf(ReadFile(dir / "plain.tga")), box = TexelsOf(ReadFile(dir / "box.tga"));
    ASSERT_EQ(box.size(), size_t(width * height * 3));
    const unsigned char* inner = &plain[size_t(width + 1) * 3];  // a q texel
    EXPECT_TRUE(pattern == 0 || std::abs(box[2] - inner[2]) > 10);
    for (int t = 0; t < width * height; ++t) {
      const unsigned char* want = edge(t, pattern == 1 ? height - 1 : width - 1) ? &box[0] : inner;
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(box[size_t(t) * 3 + k], want[k], 1) << pattern << ", texel " << t;
    }
  }
}

// One filled texel in an empty map: after n passes exactly the texels within wrapped
// four-neighbour distance n are filled, all with the seed's direction.
TEST(Pipeline, DilationFillsTheWrappedDistanceOfItsPassCount) {
  const int width = 25, height = 19, seedX = 3, seedY = 16;  // distances up to 12 + 9 = 21
  TempDir dir;
  Bytes base = Repeat(kEmpty, width * height);
  const Bytes seed = {230, 100, 60};
  std::copy(seed.begin(), seed.end(), base.begin() + (seedY * width + seedX) * 3);
  WriteMaps(dir.path(), width, height, base);
  const std::pair<std::string, int> cases[] = {{"-e", 0}, {"-", 10}, {"-E", 15}, {"-g", 20}, {"-G", 30}};
  for (const auto& [flags, passes] : cases) {
    ASSERT_EQ(::Run({flags, "base.tga", "det.tga", "out.tga"}, dir.path()).status, 0);
    const Bytes texels = TexelsOf(ReadFile(dir / "out.tga"));
    ASSERT_EQ(texels.size(), size_t(width * height * 3));
    const unsigned char* s = &texels[size_t(seedY * width + seedX) * 3];
    for (size_t t = 0; t < size_t(width * height); ++t) {
      const int dx = std::abs(int(t) % width - seedX), dy = std::abs(int(t) / width - seedY);
      const bool filled = Bytes(&texels[t * 3], &texels[t * 3] + 3) != kEmpty;
      EXPECT_EQ(filled, std::min(dx, width - dx) + std::min(dy, height - dy) <= passes) << flags << ", texel " << t;
      for (int k = 0; filled && k < 3; ++k) EXPECT_NEAR(texels[t * 3 + k], s[k], 1) << flags << ", texel " << t;
    }
  }
}

// Texel words of the normal (x, y, z) in the encoding of `letter`.
std::vector<uint32_t> KepWords(char letter, float x, float y, float z) {
  auto s16 = [](float v) { return uint32_t(uint16_t(int32_t(double(v) * 32767.5))); };
  auto u16 = [](float v) { return uint32_t(uint16_t(int32_t(double(v) * 32767.5 + 32767.5))); };
  auto q10 = [](float v) { return uint32_t(int32_t(v * 511.0f) + 511) & 1023u; };
  const uint32_t xyMask = letter == 's' ? 0xFFC0u : 0xFFE0u;
  if (letter == 'h') return {s16(x), s16(y)};
  if (letter == 'H') return {s16(x), s16(y), s16(z), 32767};
  if (letter == 'i') return {q10(x) << 22 | q10(y) << 12 | q10(z) << 2};
  return {u16(x) & xyMask, u16(y) & xyMask, u16(z) & 0xFFC0u, 32767};
}

// Base map A _ B _ / B _ A _ (A and B mirror images of nearly straight up, _ empty) with a
// flat height map: each empty texel is filled from one A and one B, whose x and y cancel
// exactly, so it becomes exactly (0, 0, 1), and so does every mip level after the first.
TEST(Pipeline, KepEncodingsOfFlatAndNearlyFlatNormals) {
  struct Case {
    char letter;
    int bitDepth, format, wordBytes;
    std::vector<uint32_t> flat;
  };
  const Case cases[] = {{'h', 32, 8, 2, {0, 0}},
                        {'H', 64, 9, 2, {0, 0, 32767, 32767}},
                        {'i', 32, 10, 4, {0x7FDFFFF8u}},
                        {'s', 64, 7, 2, {32704, 32704, 65472, 32767}},
                        {'S', 64, 7, 2, {32736, 32736, 65472, 32767}}};
  const Bytes a = {255, 127, 127}, b = {255, 128, 128};
  const double len = std::sqrt(1 + 2 * std::pow(0.5 / 127.5, 2));
  const float ax = float(-0.5 / 127.5 / len), az = float(1 / len);  // A is (ax, ax, az)
  for (const Case& c : cases) {
    auto kep = [&](int width, int height, const std::vector<std::vector<uint32_t>>& texels) {
      Bytes file = {uint8_t(width), 0, uint8_t(height), 0, uint8_t(c.bitDepth), uint8_t(c.format), 0, 0, 0, 0, 0, 0, 0};
      for (const auto& words : texels)
        for (uint32_t word : words)
          for (int i = 0; i < c.wordBytes; ++i) file.push_back(uint8_t(word >> (8 * i)));
      return file;
    };
    const auto wa = KepWords(c.letter, ax, ax, az), wb = KepWords(c.letter, -ax, -ax, az), f = c.flat;
    for (const bool mips : {false, true}) {
      const std::string flags = std::string("-") + c.letter + (mips ? "m" : "");
      TempDir dir;
      WriteFile(dir / "base.tga", MakeTga(4, 2, 24, Cat({a, kEmpty, b, kEmpty, b, kEmpty, a, kEmpty})));
      WriteFile(dir / "height.tga", MakeTga(4, 2, 8, Noise(8, 9), 3));
      ASSERT_EQ(::Run({flags, "base.tga", "height.tga", "0", "out.kep"}, dir.path()).status, 0) << flags;
      EXPECT_EQ(ReadFile(dir / (mips ? "out00.kep" : "out.kep")), kep(4, 2, {wa, f, wb, f, wb, f, wa, f})) << flags;
      EXPECT_EQ(Files(dir.path()).size(), mips ? 5u : 3u) << flags;
      if (!mips) continue;
      EXPECT_EQ(ReadFile(dir / "out01.kep"), kep(2, 1, {f, f})) << flags;
      EXPECT_EQ(ReadFile(dir / "out02.kep"), kep(1, 1, {f})) << flags;
    }
  }
}

// The executable under a 4 KiB file size limit, so that writing a bigger file fails (EFBIG).
RunResult RunWithFileLimit(const Args& args, const std::string& cwd) {
  TempDir capture;
  std::string command = "cd '" + cwd + "' && trap '' XFSZ && ulimit -f 4 && '" + BUMPWELD_EXE + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  const int raw = std::system((command + " >'" + (capture / "out") + "' 2>/dev/null").c_str());
  const Bytes out = ReadFile(capture / "out");
  return {raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(out.begin(), out.end()), ""};
}

// A run that fails, on mismatched sizes or on writing, ends with status 255 and its message
// and leaves the directory as it was: no partial or temporary file, an old output untouched.
TEST(Pipeline, FailedRunsLeaveNoPartialFileAndKeepTheOldOne) {
  struct Case {
    Args args;
    std::string message, err;  // err is checked when not empty
    bool limited;              // the output already exists as a regular file; size-limited run
  };
  const Case cases[] = {
      {{"base.tga", "narrow.tga", "out.tga"}, "Normal map sizes must match! (64x64 63x64)\n", "", false},
      {{"base.tga", "tall.tga", "out.tga"}, "Normal map sizes must match! (64x64 64x65)\n", "", false},
      {{"base.tga", "height.tga", "1", "out.tga"}, "Normal map sizes must match! (64x64 64x1)\n", "", false},
      {{"-e", "base.tga", "det.tga", "nodir/out.tga"}, "ERROR: Unable to open nodir/out.tga\n", "", false},
      {{"-h", "base.tga", "det.tga", "nodir/out.kep"}, "ERROR: Unable to write nodir/out.kep\n",
       "Warning! Could not open texture map \"nodir/out.kep\"\n", false},
      {{"-e", "base.tga", "det.tga", "/dev/full"}, "ERROR: Unable to write /dev/full\n", "", false},
      {{"-H", "base.tga", "det.tga", "/dev/full"}, "ERROR: Unable to write /dev/full\n", "", false},
      {{"-e", "base.tga", "det.tga", "out.tga"}, "ERROR: Unable to write out.tga\n", "", true},
      {{"-H", "base.tga", "det.tga", "out.kep"}, "ERROR: Unable to write out.kep\n", "", true}};
  TempDir inputs;
  WriteMaps(inputs.path(), 64, 64, Noise(64 * 64 * 3, 1), Noise(64 * 64 * 3, 2));
  WriteFile(inputs / "narrow.tga", MakeTga(63, 64, 24, Noise(63 * 64 * 3, 3)));
  WriteFile(inputs / "tall.tga", MakeTga(64, 65, 24, Noise(64 * 65 * 3, 4)));
  WriteFile(inputs / "height.tga", MakeTga(64, 1, 8, Noise(64, 5), 3));
  for (const Case& c : cases) {
    const std::string& outName = c.args.back();
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + outName);
    if (outName == "/dev/full" && !FileExists("/dev/full")) continue;
    TempDir dir;
    fs::copy(inputs.path(), dir.path());
    if (c.limited) {  // the same run passes without the limit
      ASSERT_EQ(::Run(c.args, dir.path()).status, 0);
      WriteFile(dir / outName, {'o', 'l', 'd'});
    }
    const std::set<std::string> before = Files(dir.path());
    const RunResult r = c.limited ? RunWithFileLimit(c.args, dir.path()) : ::Run(c.args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, c.message)) << r.out;
    EXPECT_TRUE(c.err.empty() || r.err == c.err) << r.err;
    EXPECT_EQ(Files(dir.path()), before);
    EXPECT_TRUE(!c.limited || ReadFile(dir / outName) == Bytes({'o', 'l', 'd'}));
  }
}

// Real maps give a 1024 x 1024 24-bit Targa whose every texel decodes to unit length within
// the 8-bit quantisation (each component within half a step of its centre (b - 127) / 127.5).
TEST(Pipeline, RealTexturesMergeIntoUnitNormals) {
  const std::string textures = TexturesDir();
  if (textures.empty()) GTEST_SKIP() << "shared textures absent";
  const std::string base = textures + "/rock058_normal_1024.tga";
  for (const Args& args : {Args{"-q", base, textures + "/fabric_normal_1024.tga", "out.tga"},
                           Args{"-q", base, textures + "/rock058_height_1024.tga", "1.0", "out.tga"}}) {
    TempDir dir;
    ASSERT_EQ(::Run(args, dir.path()).status, 0) << args[2];
    const Bytes out = ReadFile(dir / "out.tga");
    ASSERT_EQ(out.size(), 18u + 1024u * 1024u * 3u);
    EXPECT_EQ(Bytes(out.begin() + 12, out.begin() + 18), Bytes({0, 4, 0, 4, 24, 8}));
    int bad = 0;
    for (size_t i = 18; i < out.size(); i += 3)
      bad += std::fabs(std::hypot(out[i] - 127.0, out[i + 1] - 127.0, out[i + 2] - 127.0) / 127.5 - 1) > 0.007;
    EXPECT_EQ(bad, 0) << args[2];
  }
}

}  // namespace
