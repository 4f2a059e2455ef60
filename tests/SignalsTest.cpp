// Signals: none leaves a temporary output file behind or changes an old one, the process still
// ends by the signal (after any publish under way), and a signal ignored at start stays ignored.
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#include "Signals.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Opens an output replacing `path` with the command line's handlers and observer, writes to it,
// then receives `signal`; no core file for the signals that would write one.
void SignalWhileWriting(const std::string& path, BwTemporary temporary, int signal) {
  prctl(PR_SET_DUMPABLE, 0);
  BwInstallSignalHandlers();
  OutputFile out(path.c_str(), BwSignalObserver(), temporary);
  if (!out || std::fputs("partial", out.Stream()) < 0 || std::fflush(out.Stream()) != 0) _exit(1);
  raise(signal);
  _exit(0);
}

TEST(Signals, NoSignalLeavesATemporaryFile) {
  const int signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM, SIGXCPU,
                         SIGXFSZ, SIGUSR1, SIGUSR2, SIGPOLL, SIGRTMIN, SIGKILL};
  for (BwTemporary temporary : {BwTemporary::AUTO, BwTemporary::NAMED})
    for (int signal : signals) {
      // Nothing can remove a named file when the process is killed outright.
      if (signal == SIGKILL && temporary == BwTemporary::NAMED) continue;
      SCOPED_TRACE(testing::Message() << "signal " << signal << (temporary == BwTemporary::NAMED ? ", named" : ""));
      TempDir dir;
      WriteFile(dir / "out.tga", {'o', 'l', 'd'});
      EXPECT_EXIT(SignalWhileWriting(dir / "out.tga", temporary, signal), testing::KilledBySignal(signal), "");
      EXPECT_EQ(Files(dir.path()), (std::map<std::string, Bytes>{{"out.tga", {'o', 'l', 'd'}}}));
    }
}

// A signal that arrives while outputs are put in place waits until the publish ends, then ends
// the process as it would have: the file written in between shows that the process went on.
// One ignored at start, as nohup and background jobs of shells without job control leave it,
// stays ignored.
TEST(Signals, HeldWhileOutputsArePutInPlaceAndIgnoredWhenIgnoredAtStart) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    for (bool ignored : {false, true}) {
      TempDir dir;
      auto run = [&] {
        if (ignored) std::signal(signal, SIG_IGN);
        BwInstallSignalHandlers();
        BwSignalObserver()->PublishBegin();
        raise(signal);
        WriteFile(dir / "went-on", {1});
        BwSignalObserver()->PublishEnd();
        _exit(0);
      };
      if (ignored)
        EXPECT_EXIT(run(), testing::ExitedWithCode(0), "") << signal;
      else
        EXPECT_EXIT(run(), testing::KilledBySignal(signal), "") << signal;
      EXPECT_TRUE(FileExists(dir / "went-on")) << signal;
    }
}

}  // namespace
