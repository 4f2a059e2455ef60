// Whole chains through the real executable under the faults of their publish: a signal at the
// moment the levels are put in place (one run, and a batch), and two processes writing the
// same chain at once. (A process ending outright at each step of a publish is in
// OutputFileTest.)
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"

extern char** environ;

namespace {

using Args = std::vector<std::string>;

// Starts the executable with `args` in `dir`, output discarded.
pid_t Start(const Args& args, const std::string& dir) {
  std::vector<std::string> words = {BUMPWELD_EXE};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, BUMPWELD_EXE, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// How many of the chain's levels out00.tga to out{levels - 1}.tga in dir are `reference`'s.
int LevelsLike(const std::string& dir, const std::string& out, const std::string& reference, int levels) {
  int same = 0;
  for (int l = 0; l < levels; ++l) {
    const std::string suffix = (l < 10 ? "0" : "") + std::to_string(l) + ".tga";
    same += FileExists(dir + "/" + out + suffix) && ReadFile(dir + "/" + out + suffix) == ReadFile(dir + "/" + reference + suffix);
  }
  return same;
}

}  // namespace

// The signal comes as soon as level 0 is in place, which is when the publish has begun: every
// level is there (and a run not yet finished ends by the signal). A batch of chains: each
// complete or absent.
TEST(Publish, ASignalDuringThePublishWaitsForIt) {
  TempDir dir;
  WriteTestMaps(dir.path(), 300, 200);  // 9 levels
  ASSERT_EQ(::Run({"-mQ", "base.tga", "detail.tga", "ref.tga"}, dir.path()).status, 0);
  std::string jobs;
  for (int i = 0; i < 40; ++i) jobs += "-mQ base.tga detail.tga j" + std::to_string(i) + ".tga\n";
  WriteFile(dir / "jobs.txt", AsBytes(jobs));
  for (int round = 0; round < 12; ++round) {
    const int signal = round % 2 ? SIGINT : SIGTERM;
    const bool batch = round % 3 == 2;
    Shell("rm -f out*.tga j*.tga", dir.path());
    const pid_t pid = Start(batch ? Args{"--batch", "jobs.txt", "--jobs=4"} : Args{"-mQ", "base.tga", "detail.tga", "out.tga"},
                            dir.path());
    ASSERT_GT(pid, 0);
    const std::string first = dir / (batch ? "j0" : "out") + "00.tga";
    int status = 0;
    while (!FileExists(first) && waitpid(pid, &status, WNOHANG) == 0) {
    }
    kill(pid, signal);
    waitpid(pid, &status, 0);
    // A single run may have ended before the signal came; a batch has more jobs to run.
    const bool finished = !batch && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == signal)) << round << " status " << status;
    for (int i = 0; i < (batch ? 40 : 1); ++i) {
      const std::string out = batch ? "j" + std::to_string(i) : "out";
      const int levels = LevelsLike(dir.path(), out, "ref", 9);
      EXPECT_TRUE(levels == 0 || levels == 9) << "round " << round << ", " << out << ": " << levels << " levels";
    }
    EXPECT_FALSE(HasTemporaries(dir.path()));
  }
}

// Two runs writing the same chain at the same time, with different maps: the chain is one run's
// or the other's, never a mixture.
TEST(Publish, TwoWritersOfOneChainTakeTurns) {
  TempDir dir;
  WriteTestMaps(dir.path(), 300, 200);
  ASSERT_EQ(::Run({"-mQ", "base.tga", "detail.tga", "a.tga"}, dir.path()).status, 0);
  ASSERT_EQ(::Run({"-mQ", "base.tga", "height.tga", "3", "b.tga"}, dir.path()).status, 0);
  for (int round = 0; round < 15; ++round) {
    const pid_t a = Start({"-mQ", "base.tga", "detail.tga", "out.tga"}, dir.path());
    const pid_t b = Start({"-mQ", "base.tga", "height.tga", "3", "out.tga"}, dir.path());
    int status = 0;
    EXPECT_TRUE(waitpid(a, &status, 0) == a && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(waitpid(b, &status, 0) == b && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const int likeA = LevelsLike(dir.path(), "out", "a", 9), likeB = LevelsLike(dir.path(), "out", "b", 9);
    EXPECT_TRUE((likeA == 9 && likeB == 0) || (likeA == 0 && likeB == 9)) << round << ": " << likeA << " " << likeB;
  }
  EXPECT_FALSE(HasTemporaries(dir.path()));
}
