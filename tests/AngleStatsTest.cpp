// The angle error figures: the tally against known angles, and --stats on the command line,
// which must print the same figures whichever way a level is made and change no output byte.
#include <cmath>
#include <cstdio>
#include <sstream>

#include "AngleStats.h"
#include "TestSupport.h"

namespace {

// The lines of `text` that start with "Angle error" (after the spinner's last carriage return).
std::vector<std::string> AngleLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    line = line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);
    if (line.rfind("Angle error", 0) == 0) lines.push_back(line);
  }
  return lines;
}

}  // namespace

// Normals turned by known angles, at lengths other than 1; an empty float normal left out, a
// decoded normal of no length a right angle off; a tally split in two and merged gives the same.
TEST(AngleStats, TallyOfKnownAngles) {
  std::vector<float> exact, decoded;
  std::vector<double> degrees;
  for (int i = 0; i < 1000; ++i) {
    const double a = i < 990 ? 0.001 * i : double(i - 980);  // 990 small angles, then 10 to 19 degrees
    const double r = a * M_PI / 180.0;
    exact.insert(exact.end(), {0.0f, 0.0f, 2.0f});
    decoded.insert(decoded.end(), {0.0f, float(0.5 * std::sin(r)), float(0.5 * std::cos(r))});
    degrees.push_back(a);
  }
  exact.insert(exact.end(), {0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f});  // empty; then one decoded as nothing
  decoded.insert(decoded.end(), {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f});
  degrees.push_back(90.0);
  double mean = 0;
  for (double d : degrees) mean += d / double(degrees.size());

  BwAngleTally whole, first, second;
  whole.Add(exact.data(), 3, decoded.data(), 3, 1002);
  first.Add(exact.data(), 3, decoded.data(), 3, 500);
  second.Add(exact.data() + 1500, 3, decoded.data() + 1500, 3, 502);
  first.Merge(second);
  for (const BwAngleTally* tally : {&whole, &first}) {
    const BwLevelStats s = tally->Result(3);
    EXPECT_EQ(std::make_pair(s.level, s.texels), std::make_pair(3, uint64_t(1001)));
    EXPECT_NEAR(s.mean, mean, 1e-4);
    EXPECT_NEAR(s.max, 90.0, 1e-4);
    // 99 % of 1001 angles: the 991st smallest, the first of the large ones.
    EXPECT_NEAR(s.p99, 10.0, 0.0011);
  }
  EXPECT_EQ(BwAngleTally().Result(0).texels, 0u);
}

// --stats prints one line a level after its encoding, with the same figures whether level 0 is
// streamed in bands (some made again around the empty corner), made whole for a pipe, or made on
// one thread; and no output byte changes.
TEST(AngleStats, CommandLineFiguresAreTheSameEveryWay) {
  TempDir dir;
  WriteTestMaps(dir.path(), 301, 290);
  const struct {
    std::vector<std::string> options;
    const char* output;
  } cases[] = {
      {{}, "x.tga"},           {{"-h"}, "x.kep"},        {{"-i"}, "x.kep"},          {{}, "x.png"},
      {{"--bits=16"}, "x.tif"}, {{}, "x.exr"},           {{"--bits=32"}, "x.exr"},   {{}, "x.dds"},
      {{"--format=rg16s"}, "x.ktx2"}, {{"--format=bc5s", "--dds-header=dx9"}, "x.dds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output + std::string(" ") + (c.options.empty() ? "" : c.options[0]));
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"base.tga", "detail.tga", c.output});
    const RunResult plain = ::Run(args, dir.path());
    ASSERT_EQ(plain.status, 0) << plain.out;
    const Bytes bytes = ReadFile(dir / c.output);
    args.insert(args.begin(), "--stats");
    const RunResult stats = ::Run(args, dir.path());
    ASSERT_EQ(stats.status, 0) << stats.out;
    EXPECT_TRUE(ReadFile(dir / c.output) == bytes);
    const std::vector<std::string> lines = AngleLines(stats.out);
    ASSERT_EQ(lines.size(), 1u) << stats.out;
    // Three figures with three decimals, as printed again from what they read as.
    double mean = -1, p99 = -1, max = -1;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "Angle error: mean %lf, p99 %lf, max %lf", &mean, &p99, &max), 3);
    char again[128];
    std::snprintf(again, sizeof again, "Angle error: mean %.3f, p99 %.3f, max %.3f degrees", mean, p99, max);
    EXPECT_EQ(lines[0], again);
    args.insert(args.begin(), "--threads=1");
    EXPECT_EQ(AngleLines(::Run(args, dir.path()).out), lines);
    args.back() = "/dev/stdout";  // a pipe: level 0 cannot be taken back, so it is made whole
    if (c.output == std::string("x.tga")) {
      EXPECT_EQ(AngleLines(::Run(args, dir.path()).err), lines);
    }
  }
  // A chain: one line a level, right after the level's encoding message.
  const RunResult chain = ::Run({"-m", "--stats", "base.tga", "detail.tga", "c.ktx2"}, dir.path());
  ASSERT_EQ(chain.status, 0);
  EXPECT_EQ(AngleLines(chain.out).size(), 9u);
  const RunResult quiet = ::Run({"-qm", "--stats", "base.tga", "detail.tga", "c.ktx2"}, dir.path());
  EXPECT_NE(quiet.out.find("Converting to BC5 (BC5_UNORM)\nAngle error: mean"), std::string::npos) << quiet.out;
}
