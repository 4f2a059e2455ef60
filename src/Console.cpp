// Console reporting: messages, the spinner, stage ends, and the one way out on an error.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "Bumpweld.h"

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

#ifndef BUMPWELD_FUZZ
void BwFatalExit() { std::exit(-1); }
#else
void BwFatalExit() { throw BwFatalError(); }
#endif
