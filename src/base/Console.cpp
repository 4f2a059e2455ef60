// The console of a job: messages, spinner frames, stage ends and file-module diagnostics,
// filtered by the quiet level and handed to the job's sink.
#include <algorithm>
#include <cstdio>
#include <string>

#include "Console.h"

void BwConsole::Write(int stream, const char* text, size_t length) const {
  if (sink_ && length > 0) sink_(stream, text, length);
}

void BwConsole::VMessage(const char* format, va_list args) {
  if (quiet_ == 2) return;
  // A message is at most 4095 characters; longer text is cut. It is written as formatted, so a
  // '%' that came in with an argument (a file name) is printed literally.
  char text[4096];
  const int length = std::vsnprintf(text, sizeof text, format, args);
  if (length > 0) Write(BW_STDOUT, text, std::min<size_t>(size_t(length), sizeof text - 1));
}

void BwConsole::Message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VMessage(format, args);
  va_end(args);
}

void BwConsole::Spinner(int64_t count) {
  if (quiet_ > 0 || count <= 0 || !sink_) return;
  // The frames cycle backslash, bar, slash, dash, each after a carriage return; the phase
  // carries on from one stage to the next.
  static const char kFrames[4] = {'\\', '|', '/', '-'};
  std::string frames;
  constexpr int64_t kChunk = 1 << 15;
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min(kChunk, count - done);
    frames.clear();
    for (int64_t i = 0; i < n; ++i) {
      frames += '\r';
      frames += kFrames[spinner_];
      spinner_ = (spinner_ + 1) & 3;
    }
    Write(BW_STDOUT, frames.data(), frames.size());
    done += n;
  }
}

void BwConsole::Progress(const char* text) {
  if (quiet_ == 0) Write(BW_STDOUT, text, std::char_traits<char>::length(text));
}

void BwConsole::Diagnostic(const char* text) {
  Write(BW_STDERR, text, std::char_traits<char>::length(text));
}

namespace {
thread_local BwConsole* tDiagnosticConsole = nullptr;
}

BwDiagnosticScope::BwDiagnosticScope(BwConsole* console) : previous_(tDiagnosticConsole) {
  tDiagnosticConsole = console;
}

BwDiagnosticScope::~BwDiagnosticScope() { tDiagnosticConsole = previous_; }

void BwDiagnostic(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (tDiagnosticConsole)
    tDiagnosticConsole->Diagnostic(text);
  else
    std::fputs(text, stderr);
}
