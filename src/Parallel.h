// Row-parallel loops. Work is split into contiguous ranges, one per worker; every element is
// computed by exactly one worker with the same arithmetic, so results never depend on the
// number of threads.
#pragma once

#include <cstdint>
#include <functional>

// Threads this process may use: the CPUs in its affinity mask (taskset -c 0 gives one).
int BwThreadCount();

// Makes BwThreadCount return `count` from now on (0: the CPUs again). For tests that check
// results do not depend on the number of threads.
void BwForceThreadCount(int count);

// Calls body(begin, end) over disjoint ranges covering [0, count). `grain` is the smallest
// range worth a thread of its own.
void BwParallelFor(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& body);
