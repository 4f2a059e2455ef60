// The parallel loops on the process's workers: every element once, whatever the thread count,
// nesting or concurrent callers; failures passed on; a forked child still runs loops.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Parallel.h"

namespace {

// Runs a loop of `count` elements and checks that each was visited exactly once (and, nested,
// that each ran a whole loop of its own).
void ExpectEachOnce(int64_t count, int64_t grain, bool nested, bool forEach = false) {
  std::vector<std::atomic<int>> seen(static_cast<size_t>(count));
  std::atomic<int64_t> inner{0};
  const auto visit = [&](int64_t i) {
    if (nested) BwParallelFor(4, 1, [&](int64_t b, int64_t e) { inner += e - b; });
    ++seen[size_t(i)];
  };
  if (forEach)
    BwParallelForEach(count, grain, visit);
  else
    BwParallelFor(count, grain, [&](int64_t b, int64_t e) { for (int64_t i = b; i < e; ++i) visit(i); });
  for (int64_t i = 0; i < count; ++i) ASSERT_EQ(seen[size_t(i)], 1) << "element " << i << " of " << count;
  EXPECT_EQ(inner, nested ? 4 * count : 0);
}

TEST(ParallelTest, EveryElementOnceForAnyThreadsNestingAndCallers) {
  struct Case {
    int threads;
    int64_t count, grain;
    bool nested, forEach;
  };
  for (const Case& c : {Case{1, 100, 1, false, false}, Case{2, 1, 1, false, false}, Case{3, 1000, 1, false, false},
                        Case{7, 1001, 10, true, false}, Case{16, 64, 1, true, true}, Case{5, 999, 3, false, true}}) {
    const BwThreadLimit limit(c.threads);
    ExpectEachOnce(c.count, c.grain, c.nested, c.forEach);
  }
  // Loops started from several threads at once share the workers.
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([] {
      const BwThreadLimit limit(3);
      for (int round = 0; round < 20; ++round) ExpectEachOnce(300, 1, round % 2 == 0);
    });
  for (std::thread& caller : callers) caller.join();
}

TEST(ParallelTest, AFailureIsThrownOnceEveryRangeIsDone) {
  const BwThreadLimit limit(4);
  std::atomic<int64_t> done{0};
  EXPECT_THROW(BwParallelFor(400, 1,
                             [&](int64_t b, int64_t e) {
                               if (b == 0) throw std::runtime_error("first range");
                               done += e - b;
                             }),
               std::runtime_error);
  EXPECT_EQ(done, 300);
  ExpectEachOnce(400, 1, false);  // the workers are still there
}

TEST(ParallelTest, AForkedChildRunsLoops) {
  ExpectEachOnce(1000, 1, false);  // the parent's workers exist
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const BwThreadLimit limit(2);
    std::atomic<int64_t> sum{0};
    BwParallelFor(1000, 1, [&](int64_t b, int64_t e) { sum += e - b; });
    _exit(sum == 1000 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
