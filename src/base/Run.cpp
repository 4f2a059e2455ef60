// The failure that ends a running job.
#include "Run.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void BwRun::Fail(int code, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  console.Message("%s", text);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  throw BwFatalError{std::move(message), code};
}

void BwFailAllocation(BwRun& run) { run.Fail(BW_ERROR_MEMORY, "%s\n", kBwNoMemoryMessage); }
