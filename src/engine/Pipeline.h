// The combination pipeline of a job (see Job.h for the job itself).
#pragma once

#include "MapLoaders.h"
#include "Outputs.h"
#include "Run.h"

// Loads both inputs, merges, post-processes and hands every level to `output`, then has it put
// them in place. Failures end the job (BwFatalError).
void BwRunPipeline(BwRun& run, const BwInput& base, const BwInput& second, BwOutputWriter& output,
                   const char* scaleText);

// The size of the mip level after a w x h level; a size of 0 in either direction ends the chain.
// A chain of an image at least as wide as tall ends at 1 x 1; a taller one at the first level
// one texel wide and at most three high.
void BwNextMipSize(int* w, int* h);
