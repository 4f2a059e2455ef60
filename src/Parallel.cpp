// Row-parallel loops on the CPUs the process may run on.
#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <sched.h>
#include <system_error>
#include <thread>
#include <vector>

namespace {
std::atomic<int> gForcedThreadCount{0};
}

void BwForceThreadCount(int count) { gForcedThreadCount = count; }

int BwThreadCount() {
  const int forced = gForcedThreadCount.load();
  if (forced > 0) return forced;
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
  std::vector<std::thread> workers;
  workers.reserve(size_t(tasks - 1));
  for (int64_t task = 1; task < tasks; ++task) {
    try {
      workers.emplace_back(body, rangeStart(task), rangeStart(task + 1));
    } catch (const std::system_error&) {
      // No thread to be had: do the rest here.
      body(rangeStart(task), count);
      break;
    }
  }
  body(0, rangeStart(1));
  for (std::thread& worker : workers) worker.join();
}
