// The console of a job: what the command line would print, handed to a sink the caller
// chooses, and the diagnostics of the file modules.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>

enum BwStream { BW_STDOUT = 1, BW_STDERR = 2 };
// Receives console text: what the command line writes to standard output or standard error.
using BwSink = std::function<void(int stream, const char* text, size_t length)>;

// The console of one job: messages, spinner frames and stage ends, filtered by the quiet level,
// handed to a sink. Without a sink it is silent.
class BwConsole {
 public:
  BwConsole() = default;
  BwConsole(int quiet, BwSink sink) : quiet_(quiet), sink_(std::move(sink)) {}

  int Quiet() const { return quiet_; }
  // The spinner phase, 0 to 3: the next frame drawn.
  int SpinnerPhase() const { return spinner_; }
  void SetSpinnerPhase(int phase) { spinner_ = phase & 3; }
  // printf-style message, cut at 4095 characters, written as formatted (a '%' brought in by an
  // argument stays literal); nothing at quiet level 2.
  void Message(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void VMessage(const char* format, va_list args);
  // `count` spinner frames (\ | / - from the current phase), at quiet level 0 only.
  void Spinner(int64_t count);
  // The lone "\r" that ends a long stage, at quiet level 0 only.
  void EndStage() { Progress("\r"); }
  // Text shown at quiet level 0 only (percentage marks).
  void Progress(const char* text);
  // A file module's diagnostic, on the error stream whatever the quiet level.
  void Diagnostic(const char* text);

  // Receives hints for a person (one line each, without its end), which a console may show
  // beside the run's output; none is ever part of it.
  void SetHintHook(std::function<void(const char*)> hook) { hintHook_ = std::move(hook); }
  bool WantsHints() const { return bool(hintHook_); }
  void Hint(const char* text) const {
    if (hintHook_) hintHook_(text);
  }

  // Receives how far the run is, 0 to 1 over every level's texels, as the output takes them.
  void SetProgressHook(std::function<void(double)> hook) { progressHook_ = std::move(hook); }
  bool WantsProgress() const { return bool(progressHook_); }
  void ReportProgress(double done) const {
    if (progressHook_) progressHook_(done);
  }

 private:
  void Write(int stream, const char* text, size_t length) const;

  int quiet_ = 0;
  int spinner_ = 0;
  BwSink sink_;
  std::function<void(double)> progressHook_;
  std::function<void(const char*)> hintHook_;
};

// Diagnostics of the file modules go to the console of the job running on this thread; a
// direct call outside any job writes them to standard error.
void BwDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Makes `console` the one BwDiagnostic writes to on this thread while the scope lasts.
class BwDiagnosticScope {
 public:
  explicit BwDiagnosticScope(BwConsole* console);
  ~BwDiagnosticScope();
  BwDiagnosticScope(const BwDiagnosticScope&) = delete;
  BwDiagnosticScope& operator=(const BwDiagnosticScope&) = delete;

 private:
  BwConsole* previous_;
};
