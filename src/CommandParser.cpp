// One command line read into a job's settings, with the texts the command line prints about
// its arguments; see CommandParser.h.
#include "CommandParser.h"

#include <cstdlib>
#include <cstring>

#include "Encoders.h"

const char kBwVersionLine[] = "Bumpweld v00.00.01\n";
const char kBwUsageLine[] =
    "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname\n";

const char* const kBwFlagHelp[] = {
    "h  - Output 16x16 .kep texture\n",
    "H  - Output 16x16x16x16 .kep texture\n",
    "i  - Output 10x10x10x2 .kep texture\n",
    "m  - Create mip chain (remap)\n",
    "M  - Create mip chain (box filter)\n",
    "B  - Box filter final image\n",
    "e  - Don't expand border texels\n",
    "E  - expand border texels more (15 texels)\n",
    "g  - more dilation (20 texels)\n",
    "G  - even more dilation (30 texels)\n",
    "q  - Quiet mode, no spinners or percentages\n",
    "Q  - Very quiet mode, no messages\n",
    nullptr,
};

std::string BwUsageText(bool withFlags) {
  std::string text = kBwUsageLine;
  if (withFlags)
    for (const char* const* line = kBwFlagHelp; *line; ++line) text += std::string(21, ' ') + *line;
  return text;
}

BwCommand BwParseCommand(const std::vector<std::string>& args) {
  BwCommand command;
  BwSettings& settings = command.settings;
  for (const std::string& arg : args) {
    if (!BwIsLongOption(arg.c_str())) {
      command.words.push_back(arg);
      continue;
    }
    // The first request or refusal in line order is the one acted on.
    if (command.outcome != BwCommand::RUN) continue;
    if (arg == "--help") {
      command.outcome = BwCommand::HELP;
    } else if (arg == "--version") {
      command.outcome = BwCommand::VERSION;
    } else {
      // Applied to a scratch copy: the flag word, applied later, comes first.
      BwSettings check;
      if (!BwApplyLongOption(arg.c_str(), &check, &command.message)) command.outcome = BwCommand::BAD_OPTION;
    }
    command.longOptions.push_back(arg);
  }
  if (command.outcome != BwCommand::RUN) return command;

  const size_t count = command.words.size();
  if (count < 3 || count > 5) {
    command.outcome = BwCommand::USAGE;
    command.message = BwUsageText(count < 2);
    return command;
  }
  int next = 0;
  if (count == 5 || (count == 4 && std::strchr(command.words[0].c_str(), '-') != nullptr))
    command.flagsWord = next++;
  command.baseWord = next++;
  command.secondWord = next++;
  if (count - size_t(next) == 2) command.scaleWord = next++;
  command.outputWord = next;

  if (command.flagsWord >= 0) BwApplyFlagWord(command.Flags(), &settings);
  std::string ignored;  // every option was checked above
  for (const std::string& option : command.longOptions) BwApplyLongOption(option.c_str(), &settings, &ignored);
  settings.bumpMap = command.scaleWord >= 0;
  settings.bumpScale = settings.bumpMap ? BwNarrowToFloat(std::atof(command.ScaleText())) : 0.0f;
  return command;
}

std::string BwCommandRefusal(const BwCommand& command) {
  static const char* const kBatchOptionNames[] = {"--batch", "--jobs", "--report", "--shard", "--skip-up-to-date",
                                                  "--fail-fast", "--verbose", "--memory"};
  switch (command.outcome) {
    case BwCommand::RUN: return "";
    case BwCommand::HELP:
    case BwCommand::VERSION:
      return std::string("ERROR: ") + (command.outcome == BwCommand::HELP ? "--help" : "--version") +
             " is not valid on a batch line";
    case BwCommand::BAD_OPTION: {
      const std::string name = command.longOptions.back().substr(0, command.longOptions.back().find('='));
      for (const char* batchOption : kBatchOptionNames)
        if (name == batchOption) return "ERROR: " + name + " is not valid on a batch line";
      return command.message;
    }
    case BwCommand::USAGE: break;
  }
  return command.message.substr(0, command.message.find('\n'));
}

std::vector<std::string> BwSettingsReport(const char* flags, const BwSettings& settings,
                                          const std::vector<std::string>& longOptions) {
  std::vector<std::string> lines;
  lines.push_back(kBwVersionLine);
  lines.push_back(flags ? "Flags: " + std::string(flags) + "\n" : "Flags:\n");
  switch (settings.mipLevels) {
    case 0: lines.push_back("No mipmap generation\n"); break;
    case 1: lines.push_back("Re-cast mipmap generation.\n"); break;
    default: lines.push_back("Box filter mip map generation.\n"); break;
  }
  if (settings.expandTexels)
    lines.push_back("Expand border texels (" + std::to_string(settings.dilateTexels) + " texels)\n");
  else
    lines.push_back("Don't Expand border texels\n");
  lines.push_back(settings.boxFilter ? "Postprocess box filter\n" : "No postprocess filter\n");
  if (!longOptions.empty()) {
    std::string options = "Options:";
    for (const std::string& option : longOptions) options += " " + option;
    lines.push_back(options + "\n");
  }
  return lines;
}
