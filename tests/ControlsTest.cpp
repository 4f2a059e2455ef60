// The artist controls through the command line: settings that give today's bytes, strength 0,
// edges that wrap or clamp, dilation passes and gaps filled to the end. (Each blend method and strength against an
// independent statement of its formula, and masks, are in the Python suite.)
#include "TestSupport.h"

namespace {

using Args = std::vector<std::string>;
using B = unsigned char;

// The output of `args` run in dir.
Bytes Output(const TempDir& dir, const Args& args) {
  EXPECT_EQ(::Run(args, dir.path()).status, 0) << testing::PrintToString(args);
  return ReadFile(dir / args.back());
}

// Texel (x, y) of a Targa output w texels wide.
Bytes Texel(const Bytes& tga, int w, int x, int y) {
  const B* t = tga.data() + 18 + (size_t(y) * w + x) * 3;
  return Bytes(t, t + 3);
}

}  // namespace

// Each pair writes the same bytes: the defaults spelled out, the fill counts of the letters,
// strength 0 under every method, which is the base merged with a flat height map, strengths
// whose squared tilts overflow a float as one that lays the detail on the horizon too, and
// normals that the linear blend cancels (base 127, 128, 0 with 128, 127, 255) as the base.
TEST(Controls, SettingsThatGiveTheSameBytes) {
  TempDir dir;
  WriteTestMaps(dir.path(), 37, 29);
  WriteFile(dir / "flat.tga", MakeTga(37, 29, 8, Bytes(37 * 29, 90), 3));
  WriteFile(dir / "down.tga", MakeTga(1, 1, 24, {0, 128, 127}));
  WriteFile(dir / "up.tga", MakeTga(1, 1, 24, {255, 127, 128}));
  const std::pair<Args, Args> cases[] = {
      {{"-m", "--detail-strength=1", "--blend=rnm", "--edges=wrap", "base.tga", "detail.tga", "a.tga"},
       {"-m", "base.tga", "detail.tga", "b.tga"}},
      {{"--fill=20", "base.tga", "detail.tga", "a.tga"}, {"-g", "base.tga", "detail.tga", "b.tga"}},
      {{"-G", "--fill=0", "base.tga", "detail.tga", "a.tga"}, {"-e", "base.tga", "detail.tga", "b.tga"}},
      {{"--detail-strength=0", "base.tga", "detail.tga", "a.tga"}, {"base.tga", "flat.tga", "1", "b.tga"}},
      {{"--detail-strength=0", "--blend=linear", "base.tga", "detail.tga", "a.tga"}, {"base.tga", "flat.tga", "1", "b.tga"}},
      {{"--detail-strength=0", "--blend=udn", "base.tga", "height.tga", "3", "a.tga"}, {"base.tga", "flat.tga", "1", "b.tga"}},
      {{"--blend=whiteout", "base.tga", "flat.tga", "2", "a.tga"}, {"base.tga", "flat.tga", "1", "b.tga"}},
      {{"-e", "--detail-strength=1e38", "base.tga", "detail.tga", "a.tga"}, {"-e", "--detail-strength=1e15", "base.tga", "detail.tga", "b.tga"}},
      {{"-e", "--detail-strength=1e20", "base.tga", "detail.tga", "a.tga"}, {"-e", "--detail-strength=1e15", "base.tga", "detail.tga", "b.tga"}},
      {{"-e", "--blend=linear", "down.tga", "up.tga", "a.tga"}, {"-e", "--detail-strength=0", "down.tga", "up.tga", "b.tga"}},
  };
  for (const auto& [args, same] : cases) {
    const RunResult a = ::Run(args, dir.path()), b = ::Run(same, dir.path());
    ASSERT_TRUE(a.status == 0 && b.status == 0) << testing::PrintToString(args) << a.out;
    const bool chain = args[0] == "-m";
    EXPECT_EQ(ReadFile(dir / (chain ? "a03.tga" : "a.tga")), ReadFile(dir / (chain ? "b03.tga" : "b.tga")))
        << testing::PrintToString(args);
  }
}

// One filled texel at the start of a row of 71, whose others stay empty with -e: each dilation
// pass fills one more on either side, across the wrapped ends, or towards the right only with
// clamped edges, for the pass count of each flag; the final box filter (-B) spreads the texel to
// the one before it, the last one. --fill=all stops when none is left, with the bytes of the
// passes that takes. A map with no filled texel stays empty.
TEST(Controls, DilationPassCounts) {
  TempDir dir;
  const int w = 71;
  WriteFile(dir / "base.tga", MakeTga(w, 1, 24, Cat({{230, 100, 60}, Repeat({127, 127, 127}, w - 1)})));
  WriteFile(dir / "det.tga", MakeTga(w, 1, 24, Repeat({255, 127, 127}, w)));
  WriteFile(dir / "none.tga", MakeTga(w, 1, 24, Repeat({127, 127, 127}, w)));
  const struct { Args flags; int filled; Args same; } cases[] = {
      {{"-e"}, 1, {}},  {{"-"}, 21, {}},  {{"-E"}, 31, {}},  {{"-g"}, 41, {}},  {{"-G"}, 61, {}},  {{"-eB"}, 2, {}},
      {{"--fill=34"}, 69, {}},  {{"--fill=all"}, 71, {"--fill=35"}},  {{"--fill=90"}, 71, {"--fill=all"}},
      {{"--fill=69", "--edges=clamp"}, 70, {}},
      {{"--fill=all", "--edges=clamp"}, 71, {"--fill=70", "--edges=clamp"}}};
  const auto run = [&](Args args, const char* base = "base.tga") {
    args.insert(args.end(), {base, "det.tga", "out.tga"});
    const Bytes out = Output(dir, args);
    return Bytes(out.begin() + 18, out.end());
  };
  for (const auto& c : cases) {
    const Bytes out = run(c.flags);
    int filled = 0;
    for (size_t i = 0; i < out.size(); i += 3) filled += Bytes(&out[i], &out[i] + 3) != Bytes{127, 127, 127};
    EXPECT_EQ(filled, c.filled) << testing::PrintToString(c.flags);
    EXPECT_TRUE(c.same.empty() || out == run(c.same)) << testing::PrintToString(c.flags);
  }
  EXPECT_EQ(run({"--fill=all"}, "none.tga"), Repeat({127, 127, 127}, w));
}

// A hard edge at the left border, in the heights and in the base map (with the box filter):
// wrapped, the last column sees it; clamped, the last column is like the columns in the middle.
TEST(Controls, ClampedEdgesNeverJoinOppositeSides) {
  const int w = 16, h = 8;
  Bytes heights(w * h, 0), base = Repeat({250, 140, 120}, w * h);
  for (int y = 0; y < h; ++y) heights[size_t(y) * w] = 255, base[size_t(y) * w * 3] = 90;
  TempDir dir;
  WriteFile(dir / "heights.tga", MakeTga(w, h, 8, heights, 3));
  WriteFile(dir / "base.tga", MakeTga(w, h, 24, base));
  WriteFile(dir / "flat.tga", MakeTga(w, h, 8, Bytes(w * h, 0), 3));
  const Args cases[] = {{"-e", "base.tga", "heights.tga", "4"}, {"-eB", "base.tga", "flat.tga", "1"}};
  for (const Args& args : cases) {
    for (bool clamp : {false, true}) {
      Args run = args;
      run.insert(run.end(), {clamp ? "--edges=clamp" : "--edges=wrap", "out.tga"});
      const Bytes out = Output(dir, run);
      for (int y = 0; y < h; ++y)
        EXPECT_EQ(Texel(out, w, w - 1, y) == Texel(out, w, w / 2, y), clamp) << args[0] << " row " << y;
    }
  }
}
