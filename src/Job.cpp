// Running a job: its boundary, where failures become values, and the settings of a flag word.
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

bool BwRunJob(const BwSettings& settings, BwConsole& console, const BwInput& base,
              const BwInput& second, BwOutputWriter& output, std::string* error,
              const char* scaleText) noexcept {
  const BwDiagnosticScope diagnostics(&console);
  const BwThreadLimit threads(settings.threads);
  BwRun run(settings, console);
  try {
    try {
      BwRunPipeline(run, base, second, output, scaleText);
      error->clear();
      return true;
    } catch (const std::bad_alloc&) {
      BwFailAllocation(run);
    }
  } catch (BwFatalError& failure) {
    *error = std::move(failure.message);
  } catch (...) {
    *error = "ERROR: Unable to allocate texture";
  }
  return false;
}
