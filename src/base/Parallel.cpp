// Row-parallel loops on the CPUs the process may run on.
#include "Parallel.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <sched.h>
#include <system_error>
#include <thread>
#include <vector>

namespace {

#ifndef BUMPWELD_NO_THREADS
int CpuCount() {
  static const int count = [] {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
      const int n = CPU_COUNT(&set);
      if (n > 0) return n;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? int(hardware) : 1;
  }();
  return count;
}
#endif

thread_local int tThreadLimit = 0;

}  // namespace

#ifdef BUMPWELD_NO_THREADS
// A build without threads (the WebAssembly module without shared memory) runs every loop on the
// calling thread; results are the same for any number of threads (see Parallel.h).
int BwThreadCount() { return 1; }
#else
int BwThreadCount() { return tThreadLimit > 0 ? tThreadLimit : CpuCount(); }
#endif

BwThreadLimit::BwThreadLimit(int threads) : previous_(tThreadLimit) {
  if (threads > 0) tThreadLimit = threads;
}

BwThreadLimit::~BwThreadLimit() { tThreadLimit = previous_; }

void BwParallelFor(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& body) {
  if (count <= 0) return;
  const int64_t tasks =
      std::min<int64_t>(BwThreadCount(), std::max<int64_t>(1, count / std::max<int64_t>(grain, 1)));
  if (tasks <= 1) {
    body(0, count);
    return;
  }
  auto rangeStart = [count, tasks](int64_t task) {
    return count / tasks * task + std::min(task, count % tasks);
  };
  // The first failure of any range is kept and thrown again once all workers are done.
  std::exception_ptr failure;
  std::mutex failureLock;
  const auto guarded = [&](int64_t begin, int64_t end) {
    try {
      body(begin, end);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(size_t(tasks - 1));
  for (int64_t task = 1; task < tasks; ++task) {
    try {
      workers.emplace_back(guarded, rangeStart(task), rangeStart(task + 1));
    } catch (const std::system_error&) {
      // No thread to be had: do the rest here.
      guarded(rangeStart(task), count);
      break;
    }
  }
  guarded(0, rangeStart(1));
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
}
