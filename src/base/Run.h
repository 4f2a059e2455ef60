// A running job: its settings, its console, the size of the image being made, and the failure
// that ends it. Failures unwind as BwFatalError to the job's boundary, which frees everything,
// removes every output not yet put in place and returns the message; the library never ends
// the process and never prints on its own.
#pragma once

#include <string>

#include <bumpweld/bumpweld.h>

#include "AngleStats.h"
#include "Console.h"
#include "Settings.h"

// The failure that ends a job: the message as the command line prints it, without its "\n".
// `code` is the kind of failure, a BW_ERROR_ code of the C interface.
struct BwFatalError {
  std::string message;
  int code = BW_ERROR_READ;
};

// What the stages of a running job share: its settings, its console and the size of the image
// being made (the base map sets it, the mip chain halves it).
struct BwRun {
  BwRun(const BwSettings& s, BwConsole& c) : settings(s), console(c) {}
  const BwSettings& settings;
  BwConsole& console;
  int width = 0;
  int height = 0;
  int encoding = 0;  // the encoding code of the output (see Encoders.h)
  // With --stats, where the encoders tally each level's angle error.
  BwAngleStats* angles = nullptr;

  // Prints the message (as BwConsole::Message) and ends the job with it; `code` says what kind
  // of failure it is (a BW_ERROR_ code).
  [[noreturn]] void Fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

// Throws BwFatalError after an allocation failed.
// The message of a job that ran out of memory.
constexpr char kBwNoMemoryMessage[] = "ERROR: Unable to allocate texture";
[[noreturn]] void BwFailAllocation(BwRun& run);
