// One command line read into a job's settings, with the texts the command line prints about
// its arguments; see CommandParser.h.
#include "CommandParser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "Encoders.h"
#include "Job.h"

const char kBwVersionLine[] = "Bumpweld v00.00.01\n";
const char kBwFlagLetters[] = "BeEgGhHimMqQsS";
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
  settings.bumpScale = settings.bumpMap ? BwReadHeightScale(command.ScaleText()) : 0.0f;
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

namespace {

// The settings report the command line prints before a run, one message a line.
std::vector<std::string> SettingsReport(const char* flags, const BwSettings& settings,
                                        const std::vector<std::string>& longOptions) {
  std::vector<std::string> lines;
  lines.push_back(kBwVersionLine);
  lines.push_back(flags ? "Flags: " + std::string(flags) + "\n" : "Flags:\n");
  switch (settings.mipLevels) {
    case 0: lines.push_back("No mipmap generation\n"); break;
    case 1: lines.push_back("Re-cast mipmap generation.\n"); break;
    default: lines.push_back("Box filter mip map generation.\n"); break;
  }
  if (settings.expandTexels && settings.dilateTexels == kBwFillAll)
    lines.push_back("Expand border texels (until none is empty)\n");
  else if (settings.expandTexels)
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

}  // namespace

bool BwRunCommand(const BwCommand& command, const BwSettings& settings, BwConsole& console,
                  BwOutputWriter& output, std::string* error, int* status, std::vector<BwLevelStats>* stats) {
  for (const std::string& line : SettingsReport(command.Flags(), settings, command.longOptions))
    console.Message("%s", line.c_str());
  BwInput base, second;
  base.name = command.Base();
  second.name = command.Second();
  return BwRunJob(settings, console, base, second, output, error, command.ScaleText(), status, stats);
}

void BwApplyFlagWord(const char* flags, BwSettings* settings) {
  // Each letter is looked for anywhere in the word, in this fixed order; where two letters set
  // the same setting the later test wins, whatever their order in the word.
  auto has = [flags](char letter) { return std::strchr(flags, letter) != nullptr; };
  if (has('m')) settings->mipLevels = 1;
  if (has('M')) settings->mipLevels = 2;
  if (has('e')) settings->expandTexels = false;
  if (has('E')) settings->dilateTexels = 15;
  if (has('g')) settings->dilateTexels = 20;
  if (has('G')) settings->dilateTexels = 30;
  if (has('h')) settings->output = 3;
  if (has('H')) settings->output = 4;
  if (has('i')) settings->output = 5;
  if (has('s')) settings->output = 6;
  if (has('S')) settings->output = 7;
  if (has('B')) settings->boxFilter = true;
  if (has('q')) settings->quiet = 1;
  if (has('Q')) settings->quiet = 2;
}

bool BwIsLongOption(const char* arg) {
  if (std::strncmp(arg, "--", 2) != 0) return false;
  bool other = false;
  const char* c = arg + 2;
  for (; *c && *c != '='; ++c) {
    if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-')) return false;
    if (*c != '-' && !std::strchr(kBwFlagLetters, *c)) other = true;  // a lowercase flag letter keeps it a word
  }
  return other;
}

const char* const kBwLongOptionHelp[] = {
    "--round               round to nearest (clamped) instead of truncating\n",
    "--bits=8|16|32        components of a .png or .tif output (8 or 16), of a .exr output\n"
    "                        (half, or 32: float)\n",
    "--flip-green=LIST     negate y of base, second and/or output (comma-separated)\n",
    "--alpha-empty         a texel with alpha 0 is empty\n",
    "--height-channel=C    height from r, g, b, a or luma of a colour height map\n",
    "--exr-channel=NAME    the channel of an OpenEXR height map, the layer of a normal map\n",
    "--exr-normals=RANGE   snorm (default: -1 to 1 as stored) or unorm (0 to 1) OpenEXR normals\n",
    "--format=NAME         encoding of a .dds, .ktx2 or .astc output: bc5 (default), bc5s,\n"
    "                        bc3n, rg16s, rgba16s, rgb10a2, rgba8; in .ktx2 also eacrg11,\n"
    "                        eacrg11s and astc4x4, astc5x5, astc6x6 or astc8x8 (those four\n"
    "                        in .astc files too, astc4x4 their default)\n",
    "--astc-quality=Q      fastest, fast, medium (default), thorough, verythorough or exhaustive\n",
    "--dds-header=KIND     dx10 (default) or dx9: the legacy header older readers take\n",
    "--stats               print each level's angle error (mean, 99th percentile, largest)\n",
    "--detail-strength=S   scale the tilt of the second map's normals by S >= 0 (1: as they are)\n",
    "--mask=FILE           a grey map, the size of the inputs, whose values 0 to 1 scale the strength\n",
    "--blend=METHOD        rnm (rotation, default), whiteout, udn or linear\n",
    "--edges=MODE          wrap (default) or clamp: what lies past an edge for heights, dilation\n"
    "                        and the box filter\n",
    "--fill=N|all          N dilation passes (0: none), or until no texel is left empty\n",
    "--threads=N           threads to use (0: all the CPUs the process may use)\n",
    "--no-sync             don't wait for outputs to reach the disk before putting them in place\n",
    "--progress            a bar for the whole run, with the time left, on standard error (the\n"
    "                        default on a terminal, in place of the spinner)\n",
    nullptr,
};

namespace {

// The place of `value` among `names`, or -1.
int NameIndex(std::initializer_list<const char*> names, const std::string& value) {
  int i = 0;
  for (const char* name : names) {
    if (value == name) return i;
    ++i;
  }
  return -1;
}

// A whole number in [low, high], all of `text`.
bool ParseInt(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int v = std::atoi(text.c_str());
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

}  // namespace

bool BwApplyLongOption(const char* option, BwSettings* settings, std::string* error) {
  const std::string text = option;
  const size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  const bool hasValue = equals != std::string::npos;
  const std::string value = hasValue ? text.substr(equals + 1) : "";
  const auto bad = [&](const char* expected) {
    *error = "ERROR: Bad value in " + text + " (" + expected + ")";
    return false;
  };
  if (name == "--round" && !hasValue) {
    settings->round = true;
  } else if (name == "--alpha-empty" && !hasValue) {
    settings->alphaEmpty = true;
  } else if (name == "--no-sync" && !hasValue) {
    settings->sync = false;
  } else if (name == "--progress" && !hasValue) {
    settings->progress = true;
  } else if (name == "--bits") {
    // The message of the PNG-only days stays as it was; 32 is for OpenEXR outputs.
    if (value != "8" && value != "16" && value != "32") return bad("8 or 16");
    settings->outputBits = std::atoi(value.c_str());
  } else if (name == "--threads") {
    if (!ParseInt(value, 0, 4096, &settings->threads)) return bad("a number of threads, 0 for all");
  } else if (name == "--flip-green") {
    int flip = 0;
    for (size_t start = 0; start <= value.size();) {
      const size_t comma = std::min(value.find(',', start), value.size());
      const std::string item = value.substr(start, comma - start);
      if (item == "base") flip |= BW_FLIP_BASE;
      else if (item == "second") flip |= BW_FLIP_SECOND;
      else if (item == "output") flip |= BW_FLIP_OUTPUT;
      else return bad("base, second, output, comma-separated");
      start = comma + 1;
    }
    settings->flipGreen = flip;
  } else if (name == "--height-channel") {
    const int channel = NameIndex({"b", "g", "r", "a", "luma"}, value);
    if (channel < 0) return bad("r, g, b, a or luma");
    settings->heightChannel = channel;
  } else if (name == "--exr-channel") {
    if (value.empty()) return bad("a channel name");
    settings->exrChannel = value;
  } else if (name == "--exr-normals") {
    if (value != "snorm" && value != "unorm") return bad("snorm or unorm");
    settings->exrUnorm = value == "unorm";
  } else if (name == "--detail-strength") {
    char* end = nullptr;
    const double strength = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(strength >= 0.0) || !std::isfinite(BwNarrowToFloat(strength)))
      return bad("a finite number, 0 or more");
    settings->detailStrength = BwNarrowToFloat(strength);
  } else if (name == "--mask") {
    if (value.empty()) return bad("a file name");
    settings->mask = value;
  } else if (name == "--blend") {
    const int blend = NameIndex({"rnm", "whiteout", "udn", "linear"}, value);
    if (blend < 0) return bad("rnm, whiteout, udn or linear");
    settings->blend = blend;
  } else if (name == "--edges") {
    if (value != "wrap" && value != "clamp") return bad("wrap or clamp");
    settings->clampEdges = value == "clamp";
  } else if (name == "--fill") {
    int passes = kBwFillAll;
    if (value != "all" && !ParseInt(value, 0, 999999999, &passes)) return bad("a number of passes, or all");
    settings->expandTexels = passes != 0;
    if (passes != 0) settings->dilateTexels = passes;
  } else if (name == "--format") {
    if (value.empty()) return bad("an encoding name");
    settings->format = value;
  } else if (name == "--astc-quality") {
    const int quality = NameIndex({"fastest", "fast", "medium", "thorough", "verythorough", "exhaustive"}, value);
    if (quality < 0) return bad("fastest, fast, medium, thorough, verythorough or exhaustive");
    settings->astcQuality = quality;
  } else if (name == "--dds-header") {
    if (value != "dx10" && value != "dx9") return bad("dx10 or dx9");
    settings->ddsDx9 = value == "dx9";
  } else if (name == "--stats" && !hasValue) {
    settings->stats = true;
  } else {
    *error = "ERROR: Unknown option " + name;
    return false;
  }
  return true;
}

bool BwIsJobOption(const char* name) {
  // A known option spelled without its value is taken, or refused for its value.
  BwSettings scratch;
  std::string error;
  return BwIsLongOption(name) && std::strchr(name, '=') == nullptr &&
         (BwApplyLongOption(name, &scratch, &error) || error.rfind("ERROR: Unknown option", 0) != 0);
}

bool BwSplitBatchLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  const size_t n = !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < n; ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\\') {
      if (++i == n) {
        *error = "ERROR: A backslash ends the line";
        return false;
      }
      word += line[i];
      inWord = true;
    } else if (c == '\'' || c == '"') {
      size_t end = i + 1;
      for (; end < n && line[end] != c; ++end) {
        // Inside double quotes a backslash keeps only $ ` " \ for themselves.
        if (c == '"' && line[end] == '\\' && end + 1 < n && std::strchr("$`\"\\", line[end + 1])) ++end;
        word += line[end];
      }
      if (end >= n) {
        *error = std::string("ERROR: The ") + (c == '"' ? "double" : "single") + " quote is not closed";
        return false;
      }
      i = end;
      inWord = true;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(word);
  return true;
}

std::string BwJoinBatchLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (word.find_first_of("\r\n") != std::string::npos) return "";
    if (!line.empty()) line += ' ';
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_-.,/:=+@%") == std::string::npos;
    if (plain) {
      line += word;
      continue;
    }
    line += '\'';
    for (const char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

float BwReadHeightScale(const char* text) { return BwNarrowToFloat(std::atof(text)); }
