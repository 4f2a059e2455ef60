// The combination pipeline of a job (see Job.h for the job itself).
#pragma once

#include "MapLoaders.h"
#include "Outputs.h"
#include "Run.h"

// Loads both inputs, merges, post-processes and hands every level to `output`, then has it put
// them in place. Failures end the job (BwFatalError).
void BwRunPipeline(BwRun& run, const BwInput& base, const BwInput& second, BwOutputWriter& output,
                   const char* scaleText);

