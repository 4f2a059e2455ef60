// Whole runs of the real executable: the command line and console output, merged texels, mip
// chains, the same bytes on one CPU and on all (failed runs are in OutputFileTest, dilation
// passes in ControlsTest; the .kep words are pinned down in EncodersTest; the real textures
// against independent statements of each formula are in the Python suite).
#include <filesystem>
#include <sched.h>
#include <sys/stat.h>

#include "CommandParser.h"
#include "ExrIO.h"
#include "Quantize.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using B = unsigned char;

const Bytes kEmpty = {127, 127, 127};

// Deterministic bytes without a 127, so no texel is empty; with every 17th texel of three
// bytes empty when `patchy`.
Bytes Noise(int count, unsigned seed, bool patchy = false) {
  Bytes bytes(size_t(count), 0);
  for (auto& b : bytes) seed = seed * 1103515245u + 12345u, b = B(seed >> 16 == 127 ? 128 : seed >> 16);
  for (size_t i = 0; patchy && i < bytes.size(); i += 3 * 17) std::fill_n(bytes.begin() + long(i), 3, 127);
  return bytes;
}

// base.tga and det.tga (straight up unless given) in `dir`.
void WriteMaps(const std::string& dir, int width, int height, const Bytes& base, const Bytes& det = {}) {
  WriteFile(dir + "/base.tga", MakeTga(width, height, 24, base));
  WriteFile(dir + "/det.tga", MakeTga(width, height, 24, det.empty() ? Repeat({255, 127, 127}, width * height) : det));
}

// Whether taskset works and the process may use two CPUs or more.
bool CanCompareThreadCounts() {
  cpu_set_t cpus;
  return sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) >= 2 &&
         std::system("taskset -c 0 true >/dev/null 2>&1") == 0;
}

// Runs `args` on one CPU and on all of them: the same files and console bytes.
void ExpectSameOnOneCpu(const Args& args) {
  TempDir dir, all;
  const RunResult one = ::Run(args, dir.path(), "taskset -c 0 "), many = ::Run(args, all.path());
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(many.status, 0);
  EXPECT_EQ(one.out, many.out);
  EXPECT_TRUE(Files(dir.path()) == Files(all.path())) << testing::PrintToString(args);
}

// The settings report for a flag word (or none), mip mode, dilation passes (0: off), box filter.
std::string Report(const char* flags, int mip, int passes, bool box) {
  const char* const mips[] = {"No mipmap generation\n", "Re-cast mipmap generation.\n",
                              "Box filter mip map generation.\n"};
  return "Bumpweld v00.00.01\nFlags:" + (flags ? " " + std::string(flags) : "") + "\n" + mips[mip] +
         (passes ? "Expand border texels (" + std::to_string(passes) + " texels)\n" : "Don't Expand border texels\n") +
         (box ? "Postprocess box filter\n" : "No postprocess filter\n");
}

// Hints that name the fix appear on a terminal's standard error and never without one; so does
// one progress bar for the whole run, in place of the spinner.
TEST(CommandLine, HintsAndProgressBarOnATerminalOnly) {
  if (Shell("command -v script >/dev/null", ".") != 0) GTEST_SKIP() << "no script(1) to give the run a terminal";
  TempDir dir;
  WriteTestMaps(dir.path(), 8, 4);
  // What `"$BW" words` shows on a terminal, and its status.
  const auto onTerminal = [&](const std::string& words) {
    const int status = Shell("script -qec '\"$BW\" " + words + "' /dev/null > tty.txt", dir.path());
    const Bytes shown = ReadFile(dir / "tty.txt");
    return std::make_pair(status, std::string(shown.begin(), shown.end()));
  };
  const auto [status, bar] = onTerminal("-m --progress base.tga detail.tga o.tga");
  ASSERT_EQ(status, 0);
  EXPECT_NE(bar.find("[##############################] 100%"), std::string::npos);
  EXPECT_EQ(bar.find("\r|"), std::string::npos);  // no spinner frame
  ASSERT_EQ(Shell("\"$BW\" -m base.tga detail.tga o.tga > out.txt 2> err.txt", dir.path()), 0);
  EXPECT_TRUE(ReadFile(dir / "err.txt").empty());
  EXPECT_NE(ReadFile(dir / "out.txt"), Bytes());
  WriteFile(dir / "small.tga", MakeTga(2, 2, 24, Bytes(12, 200)));
  const std::pair<std::string, std::string> kCases[] = {
      {"-q -m base.tga detail.tga o.tga", "hint: flags go in one word (-qm, not -q -m)"},
      {"--blend whiteout base.tga detail.tga o.tga", "hint: write an option's value after '=': --blend=VALUE"},
      {"-q base.tga detail.tga nosuch/o.tga", "hint: nosuch/o.tga: No such file or directory"},
      {"-q base.tga small.tga o.tga", "hint: base.tga is 8x4, small.tga 2x2: both maps must have one size"},
      {"-q base.tga height.tga o.tga", "hint: a map with one channel is read as heights only with a height scale: if "
                                       "height.tga is a height map, give its scale before the output, as in "
                                       "bumpweld base.tga height.tga 2.5 o.tga"},
  };
  // A normal map made from heights, and the same with its green negated: a second map whose
  // green runs the other way is hinted at after a run that succeeds.
  ASSERT_EQ(Shell("mkdir big", dir.path()), 0);
  WriteTestMaps(dir.path() + "/big", 64, 64);
  WriteFile(dir / "flat.tga", MakeTga(64, 64, 24, Repeat({255, 128, 128}, 64 * 64)));
  ASSERT_EQ(Shell("\"$BW\" -Q flat.tga big/height.tga 4 n.tga && \"$BW\" -Q --flip-green=output flat.tga big/height.tga 4 f.tga", dir.path()), 0);
  for (const char* pair : {"n.tga f.tga", "n.tga n.tga", "--flip-green=second n.tga f.tga"}) {
    const auto [ran, shown] = onTerminal(std::string("-q ") + pair + " o.tga");
    ASSERT_EQ(ran, 0) << pair;
    EXPECT_EQ(shown.find("hint: the second map's green channel looks flipped") != std::string::npos,
              pair == std::string("n.tga f.tga")) << pair;
  }
  for (const auto& [args, hint] : kCases) {
    SCOPED_TRACE(args);
    const auto [refused, shown] = onTerminal(args);
    EXPECT_EQ(refused, 255);
    EXPECT_NE(shown.find(hint), std::string::npos);
    EXPECT_EQ(Shell("\"$BW\" " + args + " > log.txt 2>&1", dir.path()), 255);
    const Bytes log = ReadFile(dir / "log.txt");
    EXPECT_EQ(std::string(log.begin(), log.end()).find("hint:"), std::string::npos);
  }
}

// Wrong argument counts print the usage (in full for none or one), whatever the flags. Other
// runs report their settings before loading: with the base map missing, the open error follows
// and names the argument taken as the base map.
TEST(CommandLine, UsageAndSettingsReport) {
  // The flag lines of the full usage text are the letters' help (a dozen lines, one a letter).
  const std::string kSynopsis = "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname\n";
  std::string usage = kSynopsis;
  for (const char* const* line = kBwFlagHelp; *line; ++line) usage += std::string(21, ' ') + *line;
  const std::string open = "ERROR: Unable to open base.tga\n";
  const std::pair<Args, std::string> cases[] = {
      {{}, usage}, {{"-Q"}, usage}, {{"-Q", "base.tga"}, kSynopsis},
      {{"a", "b", "c", "d", "e", "f", "g"}, kSynopsis},
      {{"base.tga", "det.tga", "out.tga"}, Report(nullptr, 0, 10, false) + open},
      {{"-Mm", "base.tga", "det.tga", "out.tga"}, Report("-Mm", 2, 10, false) + open},
      {{"-EG", "base.tga", "det.tga", "out.tga"}, Report("-EG", 0, 30, false) + open},
      {{"-gE", "base.tga", "det.tga", "out.tga"}, Report("-gE", 0, 20, false) + open},
      {{"-eE", "base.tga", "det.tga", "out.tga"}, Report("-eE", 0, 0, false) + open},
      {{"-qB", "base.tga", "det.tga", "out.tga"}, Report("-qB", 0, 10, true) + open},
      {{"my-map.tga", "base.tga", "det.tga", "out.tga"}, Report("my-map.tga", 1, 20, false) + open},
      {{"mB", "base.tga", "h.tga", "1", "out.tga"}, Report("mB", 1, 10, true) + open},
      {{"50%s%d.tga", "det.tga", "out.tga"}, Report(nullptr, 0, 10, false) + "ERROR: Unable to open 50%s%d.tga\n"}};
  TempDir dir;
  for (const auto& [args, text] : cases) {
    const RunResult r = ::Run(args, dir.path());
    EXPECT_EQ(r.status, 255) << testing::PrintToString(args);
    EXPECT_EQ(r.out, text) << testing::PrintToString(args);
  }
}

// Quiet level 0 prints every stage, the spinner turning once a row (renormalise, encode) or a
// pass (dilate), its phase carried from stage to stage; level 1 prints no spinner frame,
// percentage or lone "\r"; level 2 nothing, on success or on a fatal error. The file is the same.
TEST(CommandLine, ConsoleOutputAtEachQuietLevel) {
  TempDir dir;
  WriteMaps(dir.path(), 2, 3, Noise(18, 1), Noise(18, 2));
  const std::string stages = "Output normal map 2 by 3\nMerging normals\n";
  const std::pair<const char*, std::string> cases[] = {
      {"-", Report("-", 0, 10, false) + stages + "  0%\r100.00%\r\rRenormalize\n" + Spin(3) + "\r\rFilling borders\n" +
                Spin(10, 3) + "\r\rConverting to 8x8x8 Targa\n" + Spin(3, 1) + "\rWrote out.tga\n"},
      {"-q", Report("-q", 0, 10, false) + stages +
                 "\rRenormalize\n\rFilling borders\n\rConverting to 8x8x8 Targa\nWrote out.tga\n"},
      {"-qQ", ""}};
  Bytes first;
  for (const auto& [flags, text] : cases) {
    const RunResult r = ::Run({flags, "base.tga", "det.tga", "out.tga"}, dir.path());
    EXPECT_EQ(r.status, 0) << flags;
    EXPECT_EQ(r.out, text) << flags;
    if (first.empty()) first = ReadFile(dir / "out.tga");
    EXPECT_EQ(ReadFile(dir / "out.tga"), first) << flags;
  }
  EXPECT_EQ(::Run({"-Q", "missing.tga", "det.tga", "never.tga"}, dir.path()).out, "");
}

// Every flag letter over odd-sized maps with empty texels (a patch, scattered ones, one in a 2 x 3
// map that wraps onto itself), 24- and 32-bit base maps, height maps of each depth and scales. An
// FNV-1a hash of the console bytes and every output's name and bytes pins down each command line.
TEST(Pipeline, GoldenOutputsOfEveryFlag) {
  const std::pair<Args, uint64_t> cases[] = {
      {{"-", "base.tga", "det.tga", "out.tga"}, 0x1f7ad9205fcc09b1ull},
      {{"-eB", "base32.tga", "det.tga", "out.tga"}, 0x80ca07a2d2406166ull},
      {{"-m", "base.tga", "det.tga", "out.tga"}, 0x6517e31f151d65e9ull},
      {{"-MB", "base.tga", "det.tga", "out"}, 0x91c118bc0ee82d9cull},
      {{"-E", "base.tga", "h8.tga", "2.5", "out.tga"}, 0xa19ab145ebad7a9eull},
      {{"-gh", "base.tga", "h16.tga", "-3", "out.kep"}, 0x4c139718782f1e18ull},
      {{"-GH", "base32.tga", "h24.tga", "1e-3", "out.kep"}, 0xcc38d49de8a29192ull},
      {{"-im", "base.tga", "h32.tga", "7", "out.kep"}, 0xb0b683924a996df2ull},
      {{"-sM", "base.tga", "det.tga", "out.kep"}, 0x619cad4ab7a70dafull},
      {{"-S", "tiny.tga", "tinydet.tga", "out.kep"}, 0xc831ac048f67ced7ull},
      {{"-qM", "tiny.tga", "tinydet.tga", "out.tga"}, 0x1abbaa44bace43ddull},
      {{"-qB", "tiny.tga", "tiny.tga", "out.tga"}, 0x79278616c1e5c8faull}};
  TempDir dir;
  const int w = 13, h = 11;
  Bytes base = Noise(w * h * 3, 21, true);
  for (int y = 0; y < 3; ++y) std::fill_n(base.begin() + y * w * 3, 5 * 3, 127);
  WriteFile(dir / "base.tga", MakeTga(w, h, 24, base));
  WriteFile(dir / "base32.tga", MakeTga(w, h, 32, Noise(w * h * 4, 22)));
  WriteFile(dir / "det.tga", MakeTga(w, h, 24, Noise(w * h * 3, 23)));
  for (int depth : {8, 16, 24, 32}) {
    const Bytes heights = Noise(w * h * depth / 8, 24 + depth);
    WriteFile(dir / ("h" + std::to_string(depth) + ".tga"), MakeTga(w, h, depth, heights, depth == 8 ? 3 : 2));
  }
  WriteFile(dir / "tiny.tga", MakeTga(2, 3, 24, Cat({Noise(9, 25), kEmpty, Noise(6, 26)})));
  WriteFile(dir / "tinydet.tga", MakeTga(2, 3, 24, Noise(18, 27)));
  auto fnv = [](uint64_t hash, const Bytes& bytes) {
    for (B b : bytes) hash = (hash ^ b) * 0x100000001b3ull;
    return hash;
  };
  for (const auto& [args, hash] : cases) {
    const RunResult r = ::Run(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    uint64_t got = fnv(0xcbf29ce484222325ull, AsBytes(r.out));
    for (const auto& [name, bytes] : Files(dir.path()))
      if (name.rfind("out", 0) == 0) got = fnv(fnv(got, AsBytes(name)), bytes), fs::remove(dir / name);
    EXPECT_EQ(got, hash) << testing::PrintToString(args) << std::hex << " 0x" << got;
  }
}

// Level 0 goes from the inputs straight to its file, and mip level 1 is made on the way; both
// match what the whole-image path makes (taken when level 0 is a FIFO, which cannot take back a
// first attempt), also past the first 8,192,000-byte write piece (which ends inside a row and
// inside a texel) and with odd sizes.
TEST(Pipeline, StreamedLevelsMatchTheWholeImagePath) {
  TempDir dir;
  const int n = 1701;
  WriteMaps(dir.path(), n, n, Noise(n * n * 3, 4), Noise(n * n * 3, 5));
  fs::create_directory(dir / "whole");
  ASSERT_EQ(mkfifo((dir / "whole/mip00.tga").c_str(), 0600), 0);
  // Without dilation, which would make the streamed run build the image should the merge leave
  // a texel empty.
  ASSERT_EQ(Shell("\"$BW\" -emQ base.tga det.tga mip.tga", dir.path()), 0);
  ASSERT_EQ(Shell("cat whole/mip00.tga > level0.tga & \"$BW\" -emQ base.tga det.tga whole/mip.tga; wait",
                  dir.path()), 0);
  EXPECT_TRUE(ReadFile(dir / "mip00.tga") == ReadFile(dir / "level0.tga"));
  EXPECT_TRUE(ReadFile(dir / "mip01.tga") == ReadFile(dir / "whole/mip01.tga"));
  EXPECT_EQ(ReadFile(dir / "mip00.tga").size(), 18u + n * n * 3u);
  // A float OpenEXR level 0, taken in bands from the top of the picture, holds the floats whose
  // Targa bytes the streamed Targa file holds.
  ASSERT_EQ(Shell("\"$BW\" -eQ --bits=32 base.tga det.tga one.exr", dir.path()), 0);
  BwExrRequest normals;
  normals.normals = true;
  BwExrImage exr;
  std::string error;
  ASSERT_TRUE(BwReadExr((dir / "one.exr").c_str(), normals, &exr, &error)) << error;
  const Bytes tga = ReadFile(dir / "mip00.tga");
  for (size_t i = 0; i < size_t(n) * n; ++i)
    for (size_t c = 0; c < 3; ++c) ASSERT_EQ(BwQ8(exr.samples[i * 3 + c]), tga[18 + i * 3 + 2 - c]) << i;
}

// Dilation a band of rows at a time: a gap across the top and bottom rows (which wrap onto each
// other), scattered texels, and 39 empty rows around the first and the last row of a band (the
// 20th pass fills them from the rows 20 above and below), give every level the bytes of the whole
// image's dilation (--fill=all), and on one CPU too.
TEST(Pipeline, BandedDilationMatchesTheWholeImage) {
  TempDir dir;
  const int w = 37, h = 700;
  Bytes base = Noise(w * h * 3, 6, true);
  for (int y : {0, 1, h - 2, h - 1}) std::fill_n(base.begin() + (y * w + 5) * 3, 3 * 9, 127);
  for (int top : {237, 492}) std::fill_n(base.begin() + top * w * 3, 39 * w * 3, 127);
  WriteMaps(dir.path(), w, h, base, Noise(w * h * 3, 7));
  for (const char* edges : {"--edges=wrap", "--edges=clamp"}) {
    ASSERT_EQ(::Run({"-mQ", "--fill=20", edges, "base.tga", "det.tga", "band.tga"}, dir.path()).status, 0);
    ASSERT_EQ(::Run({"-mQ", "--fill=all", edges, "base.tga", "det.tga", "whole.tga"}, dir.path()).status, 0);
    for (int level = 0; level < 10; ++level) {
      const std::string n = (level < 10 ? "0" : "") + std::to_string(level) + ".tga";
      EXPECT_TRUE(ReadFile(dir / ("band" + n)) == ReadFile(dir / ("whole" + n))) << edges << " level " << level;
    }
  }
  if (CanCompareThreadCounts()) ExpectSameOnOneCpu({"-Q", dir / "base.tga", dir / "det.tga", "out.tga"});
}

// Odd sizes through every stage: merge, height map, dilation, box filter, mip chains, encoders.
TEST(ThreadIdentity, OddSizesAndEveryStage) {
  if (!CanCompareThreadCounts()) GTEST_SKIP() << "needs taskset and two CPUs";
  TempDir in;
  for (const auto& size : {std::vector<int>{1, 70001}, {70001, 1}, {5, 5}, {1023, 17}, {1023, 117}}) {
    const int w = size[0], h = size[1];
    WriteFile(in / "base.tga", MakeTga(w, h, 24, Noise(w * h * 3, 1, true)));
    WriteFile(in / "detail.tga", MakeTga(w, h, 24, Noise(w * h * 3, 2, true)));
    WriteFile(in / "height.tga", MakeTga(w, h, 8, Noise(w * h, 3), 3));
    for (const Args& args : {Args{"-mB", in / "base.tga", in / "detail.tga", "out.tga"},
                             Args{"-Gi", in / "base.tga", in / "detail.tga", "out.kep"},
                             Args{"-MB", in / "base.tga", in / "height.tga", "2.5", "out.tga"}})
      ExpectSameOnOneCpu(args);
  }
}
