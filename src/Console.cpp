// Console reporting: messages, the spinner, stage ends, and the one way out on an error.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "Bumpweld.h"
#include "OutputFile.h"

#ifdef BUMPWELD_FUZZ
#include "BwFatal.h"
#endif

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

void BwResetSettings() {
  gOutput = 0;
  gComputeMipLevels = 0;
  gQuiet = 0;
  gExpandTexels = true;
  gDilateTexels = 10;
  gBoxFilter = false;
  gBumpMap = false;
  gSpinner = 0;
  gWidth = 0;
  gHeight = 0;
}

void BwErrorLog(const char* szFmt, ...) {
  if (gQuiet == 2) return;
  // A message is at most 4095 characters; longer text is cut. It is written as formatted, so a
  // '%' that came in with an argument (a file name) is printed literally.
  char szMsg[4096];
  va_list args;
  va_start(args, szFmt);
  std::vsnprintf(szMsg, sizeof szMsg, szFmt, args);
  va_end(args);
  std::fputs(szMsg, stdout);
}

static const char kSpinnerFrames[4] = {'\\', '|', '/', '-'};

void ShowSpinner(const char* header) {
  if (gQuiet > 0) return;
  const char* lineStart = header ? header : "";
  const int phase = (gSpinner >= 0 && gSpinner <= 3) ? gSpinner : 3;
  std::printf("\r%s%c", lineStart, kSpinnerFrames[phase]);
  gSpinner = phase == 3 ? 0 : phase + 1;
}

void BwShowSpinnerFrames(int64_t count) {
  for (int64_t i = 0; i < count && gQuiet == 0; ++i) ShowSpinner(nullptr);
}

void BwEndStage() {
  if (gQuiet == 0) std::fputs("\r", stdout);
}

namespace {

extern "C" void OnSignal(int signal) {
  BwRemovePendingOutput();
  if (signal == SIGBUS) {
    // A mapped input file was cut short by another process while this run read it.
    static const char message[] = "ERROR! An input file changed while it was read!\n";
    const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    (void)written;
    _exit(255);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void BwInstallSignalHandlers() {
  for (int signal : {SIGBUS, SIGINT, SIGTERM, SIGHUP}) std::signal(signal, OnSignal);
}

#ifndef BUMPWELD_FUZZ
void BwFatalExit() { std::exit(-1); }
#else
void BwFatalExit() { throw BwFatalError(); }
#endif
