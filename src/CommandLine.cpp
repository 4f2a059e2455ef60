// The command line: the process-wide settings its arguments fill (read by CommandParser.h), the
// help and version texts, the settings report, the console on standard output, and the run of
// one job, or with --batch of a whole batch (Batch.h).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Batch.h"
#include "Bumpweld.h"
#include "CommandParser.h"
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
  std::fputs(kBwUsageLine, stdout);
  for (const char* const* line = kBwFlagHelp; *line; ++line) std::printf("                     %s", *line);
  std::puts("Long options, anywhere on the line:");
  std::printf("  %-20s  %s", "--help", "this text\n");
  std::printf("  %-20s  %s", "--version", "the version\n");
  for (const char* const* line = kBwLongOptionHelp; *line; ++line) std::printf("  %s", *line);
  std::puts("Outputs: a name ending in .png, .dds or .ktx2 (any case) writes that container; any other\n"
            "  name a Targa file, or a .kep texture with h, H, i, s or S. A .dds or .ktx2 file holds the\n"
            "  whole mip chain; other containers get one numbered file a level (out.tga: out00.tga, ...).");
  std::fputs("Batches: bumpweld --batch FILE [batch options], one command line a line of FILE\n", stdout);
  // The batch's option lines, after its synopsis line.
  std::fputs(std::strchr(kBwBatchUsage, '\n') + 1, stdout);
  std::fflush(stdout);
  std::exit(0);
}

void ProcessArgs(int argc, char** argv, char** nm1Name, char** nm2Name, char** outName,
                 double* bumpScale) {
  const BwCommand command = BwParseCommand(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.outcome) {
    case BwCommand::RUN: break;
    case BwCommand::HELP: PrintHelp();
    case BwCommand::VERSION:
      std::fputs(kBwVersionLine, stdout);
      std::fflush(stdout);
      std::exit(0);
    case BwCommand::BAD_OPTION:
      std::printf("%s\n", command.message.c_str());
      BwFatalExit();
    case BwCommand::USAGE:
      BwErrorLog("%s", command.message.c_str());
      BwFatalExit();
  }
  gLongOptions.insert(gLongOptions.end(), command.longOptions.begin(), command.longOptions.end());
  // The other arguments move to the front, in order, so that argv[1 + n] is word n.
  int kept = 1;
  for (int i = 1; i < argc; ++i)
    if (!BwIsLongOption(argv[i])) argv[kept++] = argv[i];
  *nm1Name = argv[1 + command.baseWord];
  *nm2Name = argv[1 + command.secondWord];
  *outName = argv[1 + command.outputWord];
  gBumpMap = command.scaleWord >= 0;
  if (gBumpMap) *bumpScale = std::atof(argv[1 + command.scaleWord]);
  const char* flags = command.flagsWord >= 0 ? argv[1 + command.flagsWord] : nullptr;
  if (flags) TestArgs(flags);
  for (const std::string& line : BwSettingsReport(flags, BwGlobalSettings(), gLongOptions))
    BwErrorLog("%s", line.c_str());
}

// ---- One run -----------------------------------------------------------------------------

int BumpweldMain(int argc, char** argv) {
  char* nm1Name = nullptr;
  char* nm2Name = nullptr;
  char* outName = nullptr;
  double bs = 0.0;
  if (BwIsBatchCommand(argc, argv)) return BwBatchMain(argc, argv);
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
