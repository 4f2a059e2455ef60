// The command line: argument forms, the flag word, the usage text and the settings report, the
// process-wide settings they fill, the console on standard output, and the run of one job.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bumpweld.h"
#include "Encoders.h"
#include "Job.h"
#include "OutputFile.h"
#include "Signals.h"


int gOutput = 0;
int gComputeMipLevels = 0;
int gQuiet = 0;
bool gExpandTexels = true;
int gDilateTexels = 10;
bool gBoxFilter = false;
bool gBumpMap = false;
int gSpinner = 0;
int gWidth = 0;
int gHeight = 0;

static const char versionString[] = "Bumpweld v00.00.01\n";
static const char usage[] =
    "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname\n";

static const char* const kOptionLines[] = {
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
};

// The long options of the command line, applied on top of the flag word's settings.
static std::vector<std::string> gLongOptions;

void BwResetSettings() {
  const BwSettings defaults;
  BwSetGlobalSettings(defaults);
  gLongOptions.clear();
  gBumpMap = false;
  gSpinner = 0;
  gWidth = 0;
  gHeight = 0;
}

BwSettings BwGlobalSettings() {
  BwSettings settings;
  settings.output = gOutput;
  settings.mipLevels = gComputeMipLevels;
  settings.quiet = gQuiet;
  settings.expandTexels = gExpandTexels;
  settings.dilateTexels = gDilateTexels;
  settings.boxFilter = gBoxFilter;
  settings.bumpMap = gBumpMap;
  std::string ignored;  // every option was checked when it was read
  for (const std::string& option : gLongOptions) BwApplyLongOption(option.c_str(), &settings, &ignored);
  return settings;
}

void BwSetGlobalSettings(const BwSettings& settings) {
  gOutput = settings.output;
  gComputeMipLevels = settings.mipLevels;
  gQuiet = settings.quiet;
  gExpandTexels = settings.expandTexels;
  gDilateTexels = settings.dilateTexels;
  gBoxFilter = settings.boxFilter;
}

// ---- The console on standard output -----------------------------------------------------

void BwErrorLog(const char* szFmt, ...) {
  va_list args;
  va_start(args, szFmt);
  BwConsole console = BwStdioConsole();
  console.VMessage(szFmt, args);
  va_end(args);
}

void ShowSpinner(const char* header) {
  if (gQuiet > 0) return;
  static const char kFrames[4] = {'\\', '|', '/', '-'};
  const char* lineStart = header ? header : "";
  const int phase = (gSpinner >= 0 && gSpinner <= 3) ? gSpinner : 3;
  std::printf("\r%s%c", lineStart, kFrames[phase]);
  gSpinner = phase == 3 ? 0 : phase + 1;
}

void BwShowSpinnerFrames(int64_t count) {
  for (int64_t i = 0; i < count && gQuiet == 0; ++i) ShowSpinner(nullptr);
}

void BwEndStage() {
  if (gQuiet == 0) std::fputs("\r", stdout);
}

BwConsole BwStdioConsole() {
  BwConsole console(gQuiet, [](int stream, const char* text, size_t length) {
    std::fwrite(text, 1, length, stream == BW_STDERR ? stderr : stdout);
  });
  console.SetSpinnerPhase(gSpinner);
  return console;
}

// ---- Arguments ---------------------------------------------------------------------------

void TestArgs(const char* args) {
  BwSettings settings = BwGlobalSettings();
  BwApplyFlagWord(args, &settings);
  BwSetGlobalSettings(settings);
}

// Prints the usage with every option and ends the process with status 0.
[[noreturn]] static void PrintHelp() {
  std::fputs(usage, stdout);
  for (const char* line : kOptionLines) std::printf("                     %s", line);
  std::puts("Long options, anywhere on the line:");
  std::printf("  %-20s  %s", "--help", "this text\n");
  std::printf("  %-20s  %s", "--version", "the version\n");
  for (const char* const* line = kBwLongOptionHelp; *line; ++line) std::printf("  %s", *line);
  std::fflush(stdout);
  std::exit(0);
}

// Takes the long options out of the argument vector, so that the rest count as before. A help
// or version request ends the process; an option no job knows ends it with status 255.
static void TakeLongOptions(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (!BwIsLongOption(argv[i])) {
      argv[kept++] = argv[i];
      continue;
    }
    if (std::strcmp(argv[i], "--help") == 0) PrintHelp();
    if (std::strcmp(argv[i], "--version") == 0) {
      std::fputs(versionString, stdout);
      std::fflush(stdout);
      std::exit(0);
    }
    BwSettings check;
    std::string error;
    if (!BwApplyLongOption(argv[i], &check, &error)) {
      std::printf("%s\n", error.c_str());
      BwFatalExit();
    }
    gLongOptions.push_back(argv[i]);
  }
  *argc = kept;
}

void ProcessArgs(int argc, char** argv, char** nm1Name, char** nm2Name, char** outName,
                 double* bumpScale) {
  TakeLongOptions(&argc, argv);
  if (argc == 1 || argc == 2) {
    BwErrorLog(usage);
    for (const char* line : kOptionLines) BwErrorLog("                     %s", line);
    BwFatalExit();
  }
  if (argc < 4 || argc > 6) {
    BwErrorLog(usage);
    BwFatalExit();
  }

  const char* flags = nullptr;
  if (argc == 4) {
    *nm1Name = argv[1];
    *nm2Name = argv[2];
    *outName = argv[3];
    gBumpMap = false;
  } else if (argc == 5 && std::strchr(argv[1], '-') != nullptr) {
    flags = argv[1];
    *nm1Name = argv[2];
    *nm2Name = argv[3];
    *outName = argv[4];
    gBumpMap = false;
  } else if (argc == 5) {
    *nm1Name = argv[1];
    *nm2Name = argv[2];
    *bumpScale = std::atof(argv[3]);
    *outName = argv[4];
    gBumpMap = true;
  } else {
    flags = argv[1];
    *nm1Name = argv[2];
    *nm2Name = argv[3];
    *bumpScale = std::atof(argv[4]);
    *outName = argv[5];
    gBumpMap = true;
  }
  if (flags) TestArgs(flags);

  BwErrorLog(versionString);
  if (flags)
    BwErrorLog("Flags: %s\n", flags);
  else
    BwErrorLog("Flags:\n");
  switch (gComputeMipLevels) {
    case 0: BwErrorLog("No mipmap generation\n"); break;
    case 1: BwErrorLog("Re-cast mipmap generation.\n"); break;
    default: BwErrorLog("Box filter mip map generation.\n"); break;
  }
  if (gExpandTexels)
    BwErrorLog("Expand border texels (%d texels)\n", gDilateTexels);
  else
    BwErrorLog("Don't Expand border texels\n");
  if (gBoxFilter)
    BwErrorLog("Postprocess box filter\n");
  else
    BwErrorLog("No postprocess filter\n");
  if (!gLongOptions.empty()) {
    std::string options;
    for (const std::string& option : gLongOptions) options += " " + option;
    BwErrorLog("Options:%s\n", options.c_str());
  }
}

// ---- One run -----------------------------------------------------------------------------

int BumpweldMain(int argc, char** argv) {
  char* nm1Name = nullptr;
  char* nm2Name = nullptr;
  char* outName = nullptr;
  double bs = 0.0;
  BwInstallSignalHandlers();
  ProcessArgs(argc, argv, &nm1Name, &nm2Name, &outName, &bs);
  // The height scale as typed: the argument before the output name, long options aside.
  const char* scaleText = nullptr;
  for (int i = 1; i < argc; ++i)
    if (argv[i] == outName && i > 1) scaleText = argv[i - 1];

  BwSettings settings = BwGlobalSettings();
  settings.bumpScale = BwNarrowToFloat(bs);
  settings.mapInputs = true;  // a file cut short while mapped ends the run through SIGBUS
  BwInput base;
  base.name = nm1Name;
  BwInput second;
  second.name = nm2Name;
  BwConsole console = BwStdioConsole();
  std::string error;
  const auto output = BwFileOutput(outName, BwSignalObserver());
  const bool ok = BwRunJob(settings, console, base, second, *output, &error, gBumpMap ? scaleText : nullptr);
  std::fflush(stdout);
  return ok ? 0 : 255;
}

#ifndef BUMPWELD_FUZZ
void BwFatalExit() { std::exit(-1); }
#else
void BwFatalExit() { throw BwFatalError{}; }
#endif
