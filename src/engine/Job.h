// A job: one merge with its own settings, console and outputs, run from start to end by
// BwRunJob. Nothing below this header reads a process-wide setting, so any number of jobs may
// run at once on different threads, each writing exactly what its own command line would.
#pragma once

#include <string>
#include <vector>

#include "MapLoaders.h"
#include "Outputs.h"
#include "Run.h"

// Runs the merge of `base` and `second` into `output` with `settings`, printing through
// `console`. Returns true on success; on failure false with the message in *error (without its
// line end), every buffer freed and nothing left of the outputs. `scaleText` is the height
// scale as the user typed it, for the message that refuses one that is not finite (null: the
// number is shown).
// *status, when given, receives BW_OK or the kind of the failure; *stats, with --stats, the angle
// error of each level written.
bool BwRunJob(const BwSettings& settings, BwConsole& console, const BwInput& base,
              const BwInput& second, BwOutputWriter& output, std::string* error,
              const char* scaleText = nullptr, int* status = nullptr,
              std::vector<BwLevelStats>* stats = nullptr) noexcept;
