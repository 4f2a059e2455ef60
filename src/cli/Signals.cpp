// Signal handlers of the command line and the list of temporary files they remove; see Signals.h.
#include "Signals.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

// A slot is FREE, being filled or emptied (BUSY), or holds a name the handlers remove (LISTED).
enum SlotState : int { FREE, BUSY, LISTED };

static_assert(ATOMIC_INT_LOCK_FREE == 2, "the handlers read the slots' states without locks");

// Enough for every level of the longest mip chain (17) plus a rename, for each of the jobs a
// batch runs at once (at most 48), and the batch's report. The states lie together and are
// zero (FREE) before the program starts, so that nothing is touched at start and a scan reads
// one page; a name's page is touched only when a name is put there.
constexpr int kSlots = 1024;
std::atomic<int> gStates[kSlots];
char gPaths[kSlots][PATH_MAX];

void RemoveListed() {
  for (int i = 0; i < kSlots; ++i)
    if (gStates[i].load(std::memory_order_acquire) == LISTED) unlink(gPaths[i]);
}

// Publishes under way (the low bits) and whether the process is ending (kEnding): a signal that
// arrives while outputs are being put in place is held in gHeld until the last publish ends.
constexpr int kEnding = 1 << 30;
std::atomic<int> gPublishing{0};
std::atomic<int> gHeld{0};

static_assert(decltype(gPublishing)::is_always_lock_free, "the handlers use it without locks");

// Removes the listed files and ends the process by `signal`, unless a publish is under way:
// then the signal is held, and the publish that ends last ends the process the same way.
void EndBySignal(int signal);

class SignalObserver : public BwOutputObserver {
 public:
  void PublishBegin() override {
    for (int state = gPublishing.load();;) {
      // A signal already ends the process: no new publish begins, and the thread waits for it.
      if ((state & kEnding) || gHeld.load() != 0) {
        for (;;) pause();
      }
      if (gPublishing.compare_exchange_weak(state, state + 1)) return;
    }
  }

  void PublishEnd() override {
    const int left = gPublishing.fetch_sub(1) - 1;
    const int held = gHeld.load();
    if (left == 0 && held != 0) EndBySignal(held);
  }

  void Created(const char* path) override {
    const size_t length = std::strlen(path);
    if (length >= PATH_MAX) return;
    for (int i = 0; i < kSlots; ++i) {
      int expected = FREE;
      if (!gStates[i].compare_exchange_strong(expected, BUSY)) continue;
      std::memcpy(gPaths[i], path, length + 1);
      gStates[i].store(LISTED, std::memory_order_release);
      return;
    }
  }

  void Gone(const char* path) override {
    // Each slot is claimed before its name is read, since another thread may be refilling it.
    for (int i = 0; i < kSlots; ++i) {
      int expected = LISTED;
      if (!gStates[i].compare_exchange_strong(expected, BUSY)) continue;
      const bool match = std::strcmp(gPaths[i], path) == 0;
      gStates[i].store(match ? FREE : LISTED, std::memory_order_release);
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

void EndBySignal(int signal) {
  int idle = 0;
  if (!gPublishing.compare_exchange_strong(idle, kEnding)) {
    if (idle & kEnding) return;  // another thread is ending the process already
    // Held for the publish under way; should it have ended meanwhile, the process ends now.
    gHeld.store(signal);
    idle = 0;
    if (!gPublishing.compare_exchange_strong(idle, kEnding)) return;
  }
  RemoveListed();
  // Raised again with its default action, the signal ends the process as soon as it is not
  // blocked: at once outside a handler, when the handler returns inside one.
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  raise(signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
}

extern "C" void OnSignal(int signal) {
  if (signal == SIGBUS) {
    // A mapped input file was cut short by another process while this run read it; returning
    // would repeat the read that faulted. No publish is under way then: they read no input.
    RemoveListed();
    static const char message[] = "ERROR! An input file changed while it was read!\n";
    const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    (void)written;
    _exit(255);
  }
  EndBySignal(signal);
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
