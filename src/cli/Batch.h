// Batches: `bumpweld --batch FILE` runs one job per line of FILE (`-`: standard input) on
// threads of this process, each writing exactly the files its own command line would.
// `bumpweld --tree MANIFEST` runs the jobs of an asset tree's plan (TreePlan.h) the same way,
// skipping those its records (Records.h) show up to date; with --plan it prints them as batch
// lines instead.
//
// Reads the batch file (at most BW_BATCH_MAX_BYTES), the headers of every input it plans for
// (ImageProbe.h) and /proc/meminfo. Writes the jobs' outputs, one line per finished job on
// standard output (or a progress bar on a terminal), and with --report a JSON report, complete
// or absent. Refuses job options on its own command line, batch options on a job's line, and
// quotes left open; a line that is not a command line is a failed job, never a stop.
//
// How the CPUs and the memory are shared:
// - Jobs in flight: at most --jobs, by default four per CPU (each output is synced to disk, and
//   a small job waits for the disk for much of its run), never more than BW_BATCH_MAX_JOBS.
//   Each job gets CPUs / min(jobs in flight, jobs not yet finished) threads (at least one)
//   unless its line sets --threads: many small maps run single-threaded jobs side by side, and
//   the last jobs of a batch, or a batch of a few, spread over all CPUs.
// - Memory: a job's peak is estimated from its input headers (the readers' bytes plus 16 bytes
//   a texel, 28 with B, 20 with a mip chain, plus 16 MiB). A job starts only while the
//   estimates of the jobs in flight, its own included, fit the budget (4/5 of MemAvailable, or
//   --memory). A job whose estimate times the jobs in flight exceeds the budget runs alone,
//   with every CPU.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The largest batch file read, and the most jobs run at once (the signal handlers' list of
// temporary files has room for every level of that many mip chains).
constexpr uint64_t BW_BATCH_MAX_BYTES = uint64_t(1) << 28;
constexpr int BW_BATCH_MAX_JOBS = 48;

// The batch's usage text: its synopsis line, then one line a batch option.
extern const char kBwBatchUsage[];

struct BwBatchOptions {
  std::string file;           // the batch file; "-" is standard input
  int jobs = 0;               // --jobs: most jobs at once (0: four per CPU)
  std::string report;         // --report: the JSON report's file ("" : none)
  int shardIndex = 0;         // --shard=K/N: only jobs i with i mod N = K
  int shardCount = 1;
  bool skipUpToDate = false;  // --skip-up-to-date
  std::string tree;           // --tree: the manifest ("" : a batch)
  bool plan = false;          // --plan: print the tree's jobs, run nothing
  bool watch = false;         // --watch: run the tree again whenever its inputs change
  bool failFast = false;      // --fail-fast
  bool verbose = false;       // --verbose: each job's console text instead of one line
  uint64_t memoryBytes = 0;   // --memory=MIB: the memory budget (0: from the machine)
};

// Whether the command line asks for a batch or a tree (--batch, --batch=FILE, --tree or
// --tree=FILE among its arguments).
bool BwIsBatchCommand(int argc, char** argv);

// Reads the batch options of a command line (program name first). False with the message when
// an argument is not one of them, a value is bad or --batch names no file; *help is set by
// --help.
bool BwParseBatchOptions(int argc, char** argv, BwBatchOptions* options, bool* help, std::string* error);


// Runs `bumpweld --batch ...` or `bumpweld --tree ...`: returns 0 when every job succeeded or was
// up to date (or the plan was printed), else 255.
int BwBatchMain(int argc, char** argv);
