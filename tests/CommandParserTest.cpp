// The command-line grammar: which word is which in each argument form, long options anywhere,
// the height scale as atof reads it, and the outcomes that are not a run.
#include <tuple>

#include "CommandParser.h"
#include "TestSupport.h"

namespace {

TEST(CommandParser, ArgumentForms) {
  struct Case {
    std::vector<std::string> args;
    BwCommand::Outcome outcome;
    const char* flags;  // null: no flag word
    const char* output;
    bool heights;
    float scale;
  };
  const Case kCases[] = {
      {{"b.tga", "d.tga", "o.tga"}, BwCommand::RUN, nullptr, "o.tga", false, 0.0f},
      {{"-mB", "b.tga", "d.tga", "o.tga"}, BwCommand::RUN, "-mB", "o.tga", false, 0.0f},
      // Four words: the first is the flag word when it holds a '-' anywhere.
      {{"my-map.tga", "b.tga", "d.tga", "o.tga"}, BwCommand::RUN, "my-map.tga", "o.tga", false, 0.0f},
      {{"b.tga", "h.tga", "2.5", "o.tga"}, BwCommand::RUN, nullptr, "o.tga", true, 2.5f},
      {{"m", "b.tga", "h.tga", "0x10", "o.tga"}, BwCommand::RUN, "m", "o.tga", true, 16.0f},
      {{"b.tga", "h.tga", "16abc", "o.tga", "--round"}, BwCommand::RUN, nullptr, "o.tga", true, 16.0f},
      {{"--round", "b.tga", "h.tga", "text", "o.tga"}, BwCommand::RUN, nullptr, "o.tga", true, 0.0f},
      {{"b.tga", "d.tga"}, BwCommand::USAGE, nullptr, nullptr, false, 0.0f},
      {{"b.tga", "--version", "--help"}, BwCommand::VERSION, nullptr, nullptr, false, 0.0f},
      {{"--help", "--nosuch"}, BwCommand::HELP, nullptr, nullptr, false, 0.0f},
      {{"--rond", "b.tga", "d.tga", "o.tga"}, BwCommand::BAD_OPTION, nullptr, nullptr, false, 0.0f},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const BwCommand command = BwParseCommand(c.args);
    EXPECT_EQ(command.outcome, c.outcome);
    if (c.outcome != BwCommand::RUN) continue;
    EXPECT_EQ(std::make_tuple(std::string(command.Flags() ? command.Flags() : "(none)"), command.Output(),
                              command.settings.bumpMap, command.settings.bumpScale),
              std::make_tuple(std::string(c.flags ? c.flags : "(none)"), std::string(c.output), c.heights, c.scale));
  }
}

// Later letters of the fixed order win, whatever their order in the word; "--me" is a flag word,
// "--rond" an option.
TEST(CommandParser, FlagWordsAndLongOptions) {
  BwSettings a, b;
  BwApplyFlagWord("-mM", &a);
  BwApplyFlagWord("-Mm", &b);
  EXPECT_EQ(a.mipLevels, b.mipLevels);
  EXPECT_FALSE(BwIsLongOption("--me"));
  EXPECT_TRUE(BwIsLongOption("--rond"));
  std::string error;
  EXPECT_FALSE(BwApplyLongOption("--rond", &a, &error));
  EXPECT_EQ(error, "ERROR: Unknown option --rond");
}

}  // namespace
