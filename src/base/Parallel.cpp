// Row-parallel loops on the CPUs the process may run on.
#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <pthread.h>
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

namespace {

// The workers a loop of `count` elements gets: one per `grain` elements, at most the threads.
int64_t Workers(int64_t count, int64_t grain) {
  return std::min<int64_t>(BwThreadCount(), std::max<int64_t>(1, count / std::max<int64_t>(grain, 1)));
}

}  // namespace

void BwParallelForEach(int64_t count, int64_t grain, const std::function<void(int64_t)>& body) {
  std::atomic<int64_t> next{0};
  BwParallelFor(Workers(count, grain), 1, [&](int64_t, int64_t) {
    for (int64_t i; (i = next++) < count;) body(i);
  });
}

#ifdef BUMPWELD_NO_THREADS
void BwParallelFor(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& body) {
  (void)grain;
  if (count > 0) body(0, count);
}
#else
namespace {

// One call of BwParallelFor: its ranges still to finish, and the first failure of any.
struct Loop {
  const std::function<void(int64_t, int64_t)>* body;
  int64_t left;  // ranges not yet finished, guarded by the pool's lock
  std::exception_ptr failure;
};

struct Range {
  Loop* loop;
  int64_t begin, end;
};

// Threads kept for the loops of the whole process: starting and ending threads for every loop
// costs more than a short loop's work (a thread's end hands its stack back to the kernel, which
// stops the other processors to flush their address translations). A worker takes the oldest
// waiting range of any loop; the thread that started a loop runs its first range and then those
// of its own loop that no worker has taken, so a loop always finishes, even with no worker or
// inside another loop's range. New workers are started while fewer are idle than ranges wait,
// so concurrent loops run as widely as they ask.
class Pool {
 public:
  void Run(Loop* loop, const std::vector<Range>& ranges) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t i = 1; i < ranges.size(); ++i) waiting_.push_back(ranges[i]);
    while (idle_ < int64_t(waiting_.size())) {
      try {
        std::thread(&Pool::Work, this).detach();
        ++idle_;  // it is idle until it takes a range
      } catch (const std::system_error&) {
        break;  // no more threads: the caller runs what is left
      }
    }
    lock.unlock();
    wake_.notify_all();
    Execute(ranges[0]);
    lock.lock();
    while (loop->left > 0) {
      const auto own =
          std::find_if(waiting_.begin(), waiting_.end(), [loop](const Range& r) { return r.loop == loop; });
      if (own == waiting_.end()) {
        finished_.wait(lock);
        continue;
      }
      const Range range = *own;
      waiting_.erase(own);
      lock.unlock();
      Execute(range);
      lock.lock();
    }
  }

 private:
  // Runs a range and counts it finished, keeping the loop's first failure.
  void Execute(const Range& range) {
    std::exception_ptr failure;
    try {
      (*range.loop->body)(range.begin, range.end);
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failure && !range.loop->failure) range.loop->failure = failure;
    if (--range.loop->left == 0) finished_.notify_all();
  }

  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !waiting_.empty(); });
      const Range range = waiting_.front();
      waiting_.pop_front();
      --idle_;
      lock.unlock();
      Execute(range);
      lock.lock();
      ++idle_;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;      // a range is waiting
  std::condition_variable finished_;  // a loop has finished a range
  std::deque<Range> waiting_;
  int64_t idle_ = 0;
};

// The process's pool. It is never destroyed: its workers wait for work until the process ends.
// A child made by fork() has none of its parent's threads and starts a pool of its own; the
// parent's is kept reachable, not freed, as its lock may have been held at the fork.
std::atomic<Pool*> gPool{nullptr};
std::atomic<Pool*> gForsaken{nullptr};

Pool& ThePool() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, [] { gForsaken = gPool.exchange(nullptr); });
    return true;
  }();
  (void)registered;
  Pool* pool = gPool.load();
  if (!pool) {
    Pool* made = new Pool;
    if (gPool.compare_exchange_strong(pool, made)) pool = made;
    else delete made;
  }
  return *pool;
}

}  // namespace

void BwParallelFor(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& body) {
  if (count <= 0) return;
  const int64_t tasks = Workers(count, grain);
  if (tasks <= 1) {
    body(0, count);
    return;
  }
  // Ranges differ in length by at most one element, the longer ones first.
  const auto rangeStart = [count, tasks](int64_t task) { return count / tasks * task + std::min(task, count % tasks); };
  Loop loop{&body, tasks, nullptr};
  std::vector<Range> ranges;
  for (int64_t task = 0; task < tasks; ++task) ranges.push_back(Range{&loop, rangeStart(task), rangeStart(task + 1)});
  ThePool().Run(&loop, ranges);
  if (loop.failure) std::rethrow_exception(loop.failure);
}
#endif
