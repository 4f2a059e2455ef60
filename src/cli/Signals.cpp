// Signal handlers of the command line and the list of temporary files they remove; see Signals.h.
#include "Signals.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

// A slot is FREE, being filled or emptied (BUSY), or holds a name the handlers remove (LISTED).
enum SlotState : int { FREE, BUSY, LISTED };

struct Slot {
  std::atomic<int> state{FREE};
  char path[PATH_MAX];
};

static_assert(ATOMIC_INT_LOCK_FREE == 2, "the handlers read the slots' states without locks");

// Enough for every level of the longest mip chain (17) plus a rename, for each of the jobs a
// batch runs at once (at most 48), and the batch's report.
constexpr int kSlots = 1024;
Slot gSlots[kSlots];

class SignalObserver : public BwOutputObserver {
 public:
  void Created(const char* path) override {
    const size_t length = std::strlen(path);
    if (length >= PATH_MAX) return;
    for (Slot& slot : gSlots) {
      int expected = FREE;
      if (!slot.state.compare_exchange_strong(expected, BUSY)) continue;
      std::memcpy(slot.path, path, length + 1);
      slot.state.store(LISTED, std::memory_order_release);
      return;
    }
  }

  void Gone(const char* path) override {
    // Each slot is claimed before its name is read, since another thread may be refilling it.
    for (Slot& slot : gSlots) {
      int expected = LISTED;
      if (!slot.state.compare_exchange_strong(expected, BUSY)) continue;
      const bool match = std::strcmp(slot.path, path) == 0;
      slot.state.store(match ? FREE : LISTED, std::memory_order_release);
      if (match) return;
    }
  }
};

SignalObserver gObserver;

// The signals whose default action ends the process and which a process may catch. SIGSEGV,
// SIGFPE, SIGILL, SIGABRT, SIGTRAP and SIGSYS report faults of the program itself and keep their
// default action and core file.
const int kTerminatingSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGALRM,  SIGXCPU,
                                   SIGXFSZ, SIGUSR1,   SIGUSR2, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,
                                   SIGSTKFLT};

extern "C" void OnSignal(int signal) {
  for (Slot& slot : gSlots)
    if (slot.state.load(std::memory_order_acquire) == LISTED) unlink(slot.path);
  if (signal == SIGBUS) {
    // A mapped input file was cut short by another process while this run read it; returning
    // would repeat the read that faulted.
    static const char message[] = "ERROR! An input file changed while it was read!\n";
    const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    (void)written;
    _exit(255);
  }
  // The signal is blocked while this handler runs: raised again with its default action, it
  // ends the process as soon as the handler returns.
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);
}

}  // namespace

void BwInstallSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  // Every handled signal waits while one handler runs, so that no second one ends the process
  // before the first has removed the files.
  sigemptyset(&action.sa_mask);
  for (int signal : kTerminatingSignals) sigaddset(&action.sa_mask, signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&action.sa_mask, signal);
  const auto install = [&action](int signal) {
    struct sigaction old;
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
  };
  for (int signal : kTerminatingSignals) install(signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) install(signal);
  // A fault on a mapped file is raised even while SIGBUS is ignored, so its handler is always set.
  sigaction(SIGBUS, &action, nullptr);
}

BwOutputObserver* BwSignalObserver() { return &gObserver; }
