// Running a job: its boundary, where failures become values, and the settings of a flag word.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Job.h"
#include "Parallel.h"
#include "Pipeline.h"

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
    if (!std::strchr("meghiqs-", *c)) other = true;
  }
  return other;
}

const char* const kBwLongOptionHelp[] = {
    "--round               round to nearest (clamped) instead of truncating\n",
    "--bits=8|16           components of a .png output\n",
    "--flip-green=LIST     negate y of base, second and/or output (comma-separated)\n",
    "--alpha-empty         a texel with alpha 0 is empty\n",
    "--height-channel=C    height from r, g, b, a or luma of a colour height map\n",
    "--exr-channel=NAME    the channel of an OpenEXR height map\n",
    "--format=NAME         encoding of a .dds or .ktx2 output: bc5 (default), bc5s, rg16s,\n"
    "                        rgba16s, rgb10a2 or rgba8\n",
    "--threads=N           threads to use (0: all the CPUs the process may use)\n",
    "--no-sync             don't wait for outputs to reach the disk before putting them in place\n",
    nullptr,
};

namespace {

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
  } else if (name == "--bits") {
    if (value != "8" && value != "16") return bad("8 or 16");
    settings->outputBits = value == "8" ? 8 : 16;
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
    static const char* const kNames[] = {"b", "g", "r", "a", "luma"};
    int channel = -1;
    for (int i = 0; i < 5; ++i)
      if (value == kNames[i]) channel = i;
    if (channel < 0) return bad("r, g, b, a or luma");
    settings->heightChannel = channel;
  } else if (name == "--exr-channel") {
    if (value.empty()) return bad("a channel name");
    settings->exrChannel = value;
  } else if (name == "--format") {
    if (value.empty()) return bad("an encoding name");
    settings->format = value;
  } else {
    *error = "ERROR: Unknown option " + name;
    return false;
  }
  return true;
}

std::string BwLevelFileName(const std::string& outName, bool mipChain, int level) {
  std::string name = outName;
  if (!mipChain) return name;
  // The level number goes before the last '.' of the file-name part, never into a directory.
  char number[16];
  std::snprintf(number, sizeof number, "%02d", level);
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    name.insert(dot, number);
  else
    name += std::string(number) + ".tga";
  return name;
}

bool BwHasExtension(const std::string& name, const char* extension) {
  const size_t n = std::strlen(extension);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != extension[i]) return false;
  return true;
}

bool BwIsChainContainer(const std::string& outName) {
  return BwHasExtension(outName, ".dds") || BwHasExtension(outName, ".ktx2");
}

std::string BwOutputFileName(const std::string& outName, bool mipChain, int level) {
  return BwLevelFileName(outName, mipChain && !BwIsChainContainer(outName), level);
}

std::vector<std::string> BwOutputFileNames(const std::string& outName, bool mipChain, int width, int height) {
  if (!mipChain || BwIsChainContainer(outName)) return {outName};
  std::vector<std::string> names;
  for (int level = 0; width > 0 && height > 0; ++level) {
    names.push_back(BwLevelFileName(outName, true, level));
    BwNextMipSize(&width, &height);
  }
  return names;
}

bool BwRunJob(const BwSettings& settings, BwConsole& console, const BwInput& base,
              const BwInput& second, BwOutputWriter& output, std::string* error,
              const char* scaleText, int* status) noexcept {
  const BwDiagnosticScope diagnostics(&console);
  const BwThreadLimit threads(settings.threads);
  BwRun run(settings, console);
  int code = BW_ERROR_MEMORY;
  try {
    try {
      BwRunPipeline(run, base, second, output, scaleText);
      error->clear();
      if (status) *status = BW_OK;
      return true;
    } catch (const std::bad_alloc&) {
      BwFailAllocation(run);
    }
  } catch (BwFatalError& failure) {
    *error = std::move(failure.message);
    code = failure.code;
  } catch (...) {
    *error = "ERROR: Unable to allocate texture";
  }
  if (status) *status = code;
  return false;
}
