// The command line of the real executable: usage text, argument forms, flag letters, the
// settings report and the quiet levels, compared byte for byte on standard output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using Args = std::vector<std::string>;

const std::string kSynopsis =
    "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname\n";

TEST(CommandLine, WrongArgumentCountsPrintUsageWhateverTheFlags) {
  static const char* const kOptions[] = {
      "h  - Output 16x16 .kep texture\n", "H  - Output 16x16x16x16 .kep texture\n",
      "i  - Output 10x10x10x2 .kep texture\n", "m  - Create mip chain (remap)\n",
      "M  - Create mip chain (box filter)\n", "B  - Box filter final image\n",
      "e  - Don't expand border texels\n", "E  - expand border texels more (15 texels)\n",
      "g  - more dilation (20 texels)\n", "G  - even more dilation (30 texels)\n",
      "q  - Quiet mode, no spinners or percentages\n", "Q  - Very quiet mode, no messages\n"};
  std::string usage = kSynopsis;
  for (const char* line : kOptions) usage += std::string(21, ' ') + line;
  const std::pair<Args, std::string> cases[] = {
      {{}, usage},
      {{"-Q"}, usage},
      {{"-Q", "base.tga"}, kSynopsis},
      {{"-Q", "base.tga", "h.tga", "1", "out.tga", "extra"}, kSynopsis},
      {{"a", "b", "c", "d", "e", "f", "g"}, kSynopsis}};
  TempDir dir;
  for (const auto& [args, text] : cases) {
    const RunResult r = ::Run(args, dir.path());
    EXPECT_EQ(r.status, 255) << args.size() << " arguments";
    EXPECT_EQ(r.out, text) << args.size() << " arguments";
  }
}

// The report comes before loading, so a run whose base map is missing prints the whole report
// and then the open error, which names the argument taken as the base map.
TEST(CommandLine, SettingsReportFollowsTheFlagWord) {
  struct Case {
    Args args;
    const char* flags;  // the flag word, or none
    int mip, passes;    // passes 0: expansion off
    bool box;
  };
  const Case cases[] = {
      {{"base.tga", "det.tga", "out.tga"}, nullptr, 0, 10, false},
      {{"base.tga", "h.tga", "2.5", "out.tga"}, nullptr, 0, 10, false},
      {{"-", "base.tga", "det.tga", "out.tga"}, "-", 0, 10, false},
      {{"-Mm", "base.tga", "det.tga", "out.tga"}, "-Mm", 2, 10, false},
      {{"-EG", "base.tga", "det.tga", "out.tga"}, "-EG", 0, 30, false},
      {{"-gE", "base.tga", "det.tga", "out.tga"}, "-gE", 0, 20, false},
      {{"-eE", "base.tga", "det.tga", "out.tga"}, "-eE", 0, 0, false},
      {{"-qB", "base.tga", "det.tga", "out.tga"}, "-qB", 0, 10, true},
      {{"my-map.tga", "base.tga", "det.tga", "out.tga"}, "my-map.tga", 1, 20, false},
      {{"mB", "base.tga", "h.tga", "1", "out.tga"}, "mB", 1, 10, true},
      {{"50%s%d.tga", "det.tga", "out.tga"}, nullptr, 0, 10, false}};  // '%' printed as typed
  const char* const mips[] = {"No mipmap generation\n", "Re-cast mipmap generation.\n",
                              "Box filter mip map generation.\n"};
  TempDir dir;
  for (const Case& c : cases) {
    std::string report = "Bumpweld v00.00.01\n" + (c.flags ? "Flags: " + std::string(c.flags) + "\n" : "Flags:\n");
    report += mips[c.mip];
    report += c.passes ? "Expand border texels (" + std::to_string(c.passes) + " texels)\n"
                       : "Don't Expand border texels\n";
    report += c.box ? "Postprocess box filter\n" : "No postprocess filter\n";
    const RunResult r = ::Run(c.args, dir.path());
    EXPECT_EQ(r.status, 255) << c.args[0];
    EXPECT_EQ(r.out, report + "ERROR: Unable to open " + c.args[c.flags ? 1 : 0] + "\n") << c.args[0];
  }
}

TEST(CommandLine, QuietLevels) {
  TempDir dir;
  WriteFile(dir / "base.tga", MakeTga(2, 2, 24, Bytes(12, 200)));
  WriteFile(dir / "det.tga", MakeTga(2, 2, 24, Bytes(12, 90)));
  // Level 1: every message, but no spinner frame, percentage or lone carriage return.
  RunResult r = ::Run({"-q", "base.tga", "det.tga", "out.tga"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Bumpweld v00.00.01\nFlags: -q\nNo mipmap generation\nExpand border texels (10 texels)\n"
            "No postprocess filter\nOutput normal map 2 by 2\nMerging normals\n\rRenormalize\n"
            "\rFilling borders\n\rConverting to 8x8x8 Targa\nWrote out.tga\n");
  // Level 2: nothing at all, neither on success nor on a fatal error.
  r = ::Run({"-qQ", "base.tga", "det.tga", "quiet.tga"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir / "quiet.tga"), ReadFile(dir / "out.tga"));
  r = ::Run({"-Q", "missing.tga", "det.tga", "never.tga"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(FileExists(dir / "never.tga"));
}

}  // namespace
