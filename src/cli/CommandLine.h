// The command line of the tool: one job, or a batch with --batch.
#pragma once

// Runs the command line argv (argv[0] the program name); returns the exit status, 0 or 255.
int BumpweldMain(int argc, char** argv);
