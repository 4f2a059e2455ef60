// Row-parallel loops. Work is split into contiguous ranges, one per worker (or handed out an
// element at a time); every element is computed by exactly one worker with the same
// arithmetic, so results never depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>

// Threads a loop on this thread may use: the CPUs in the process's affinity mask (taskset -c 0
// gives one), or the number a BwThreadLimit sets.
int BwThreadCount();

// Sets the workers of the loops started from this thread to `threads` (0: the CPUs) while it
// lasts, so that a job's thread setting does not touch other jobs.
class BwThreadLimit {
 public:
  explicit BwThreadLimit(int threads);
  ~BwThreadLimit();
  BwThreadLimit(const BwThreadLimit&) = delete;
  BwThreadLimit& operator=(const BwThreadLimit&) = delete;

 private:
  int previous_;
};

// Calls body(begin, end) over disjoint ranges covering [0, count): the first (and any that no
// worker has taken) on the calling thread, the others on worker threads that the process keeps
// from loop to loop. `grain` is the smallest range worth a thread of its own. An exception
// thrown by the body on any worker is thrown again here, after every worker has finished.
// Thread-local settings of the caller (BwThreadLimit, the diagnostics console) do not reach the
// workers.
void BwParallelFor(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& body);

// Calls body(i) for every i in [0, count), on as many workers as BwParallelFor would use, each
// taking the next index when it is done with the last: for loops whose items differ in cost.
void BwParallelForEach(int64_t count, int64_t grain, const std::function<void(int64_t)>& body);
