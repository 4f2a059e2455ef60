// Running a job: its boundary, where failures become values.
#include <new>

#include "Job.h"
#include "Parallel.h"
#include "Pipeline.h"

bool BwRunJob(const BwSettings& settings, BwConsole& console, const BwInput& base,
              const BwInput& second, BwOutputWriter& output, std::string* error,
              const char* scaleText, int* status, std::vector<BwLevelStats>* stats) noexcept {
  const BwDiagnosticScope diagnostics(&console);
  const BwThreadLimit threads(settings.threads);
  BwRun run(settings, console);
  int code = BW_ERROR_MEMORY;
  if (stats) stats->clear();
  try {
    try {
      BwAngleStats angles;
      if (settings.stats) run.angles = &angles;
      BwRunPipeline(run, base, second, output, scaleText);
      if (stats) *stats = angles.Levels();
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
    *error = kBwNoMemoryMessage;
  }
  if (status) *status = code;
  return false;
}
