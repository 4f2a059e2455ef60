// The command line's signal handling: named temporary output files are removed when a signal
// ends the run, and an input file cut short while it is mapped ends the run with a message.
#pragma once

#include "OutputFile.h"

// Installs the handlers. Every catchable signal whose default action ends the process (SIGHUP,
// SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGXCPU, SIGXFSZ, SIGUSR1, SIGUSR2, SIGVTALRM,
// SIGPROF, SIGPOLL, SIGPWR, SIGSTKFLT and the real-time signals) removes the files listed by
// BwSignalObserver() and then ends the process by the same signal, so its exit status tells
// which. A signal ignored when this is called stays ignored (nohup, background jobs of a
// non-interactive shell). SIGBUS, which a mapped input file cut short by another process raises
// on the next read, removes the files, prints "ERROR! An input file changed while it was read!"
// on standard error and ends the process with status 255.
void BwInstallSignalHandlers();

// The observer that keeps the list of named temporary files the handlers remove. Its list is a
// fixed set of slots that the handlers read without locks or allocation; a name that finds no
// free slot, or is longer than PATH_MAX - 1, is not listed.
BwOutputObserver* BwSignalObserver();
