// An output file that is either complete or absent, and on disk once it is in place.
//
// A regular file (or a path that does not exist yet) is written to a temporary file in the
// target's directory and put in place only when complete: Finish() flushes it and starts its
// writeback, Publish() syncs it to disk, gives it the target's name and syncs the directory.
// Until then an existing file at the path stays untouched; the destructor removes anything not
// published. Where the file system allows, the temporary file has no name at all (Linux
// O_TMPFILE), so no signal, not even SIGKILL, can leave one behind; elsewhere it is a named
// `.bumpweld-` file beside the target, which an observer (see BwOutputObserver) may remove when
// a signal ends the process.
//
// A replaced file keeps its permission bits (never set-user-ID or set-group-ID ones) and, where
// the process may, its owner and group. A symbolic link at the path is followed: the file it
// leads to is replaced and the link stays. A link loop, or a name no directory can hold, fails
// at the open.
//
// Some outputs are written in place and cannot be taken back (InPlace()): a name for one of
// the process's descriptors (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N,
// /proc/<this pid>/fd/N), written through a copy of that descriptor whatever it is; a device or
// FIFO; an existing file with more than one hard link, so that every link sees the new content;
// and an existing writable file in a directory that refuses new names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BwArray.h"

// Told when a named temporary file may appear and when it has gone, so that a program can
// remove such files when a signal ends it. Both calls come from the thread that owns the output.
class BwOutputObserver {
 public:
  // A file of this output may appear at `path` (called just before it is created).
  virtual void Created(const char* path) = 0;
  // No file of this output is at `path` any more (it was removed, renamed, or never created).
  virtual void Gone(const char* path) = 0;
  // Outputs are being put in place from now until PublishEnd(): a signal that would end the
  // process should wait until then, so that no set of outputs is left half published.
  virtual void PublishBegin() {}
  virtual void PublishEnd() {}

 protected:
  ~BwOutputObserver() = default;
};

// Which temporary file an OutputFile may use: AUTO prefers an unnamed one; NAMED always uses a
// named one, as on file systems without unnamed files.
enum class BwTemporary { AUTO, NAMED };

class OutputFile;
bool BwPublishTogether(const std::vector<OutputFile*>& files, std::string* failed);

class OutputFile {
 public:
  // Opens the output at `path`; false (operator bool), with errno telling why, if it cannot be.
  explicit OutputFile(const char* path, BwOutputObserver* observer = nullptr,
                      BwTemporary temporary = BwTemporary::AUTO);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  explicit operator bool() const { return opened_; }
  // The stream to write to; null once Finish() was called.
  FILE* Stream() const { return state_ == State::WRITING ? stream_ : nullptr; }
  // The name written or replaced: the path with symbolic links resolved.
  const std::string& Target() const { return target_; }
  // Whether the bytes go straight to their destination, so that a failure cannot be undone.
  bool InPlace() const { return kind_ == Kind::IN_PLACE; }
  // Leaves out the syncs of Finish and Publish: the file is still complete or absent should the
  // run fail or be killed, but not should the machine lose power before the kernel writes it.
  void SkipSync() { sync_ = false; }

  // Flushes the bytes and starts writing them to disk; nothing new is visible at the path yet,
  // and the sync that completes them comes with the publish. True again when called after a
  // successful Finish().
  bool Finish();
  // Puts the finished file in place under its name and syncs the directory (BwPublishTogether
  // with this file alone).
  bool Publish();
  // Finish() and Publish(), for a single file.
  bool Commit() { return Finish() && Publish(); }

  // Whether an OutputFile for `path` would be written in place (as InPlace() tells).
  static bool WouldBeInPlace(const char* path);

 private:
  friend bool BwPublishTogether(const std::vector<OutputFile*>&, std::string*);
  enum class Kind { IN_PLACE, UNNAMED, NAMED };
  enum class State { WRITING, FINISHED, PUBLISHED, FAILED };
  bool sync_ = true;
  bool unsynced_ = false;  // finished, its sync left to the publish

  int CreateTemporary(bool replacing, BwTemporary temporary);
  // Puts finished files whose targets share one directory in place together, under that
  // directory's lock and through one journal.
  static bool PublishInDirectory(const std::vector<OutputFile*>& moving, std::string* failed);
  bool CloseStream();
  // Syncs a finished file that Finish() left unsynced (and closes it unless it is unnamed); false, the file
  // failed, when that cannot be done.
  bool SyncFinished();

  BwOutputObserver* observer_;
  FILE* stream_ = nullptr;
  bool opened_ = false;
  Kind kind_ = Kind::IN_PLACE;
  State state_ = State::WRITING;
  std::string target_;     // the name that is written or replaced (symbolic links resolved)
  std::string temporary_;  // the named temporary file, while it exists
};

// Puts finished outputs in place together, as one transaction: all of them or none, whatever
// ends the process. Under an exclusive lock on the first one's directory (so that two processes
// writing the same outputs take turns instead of mixing them), each file gets a name of its own
// beside its target, a journal listing those names and their targets is written and synced, the
// journal is marked committed, and only then are the files renamed over their targets; the
// journal goes last. A process killed before the mark leaves files that the next publish (or
// BwRecoverOutputs) removes; killed after it, files that it renames into place. The observer of
// the first file is told when the renames begin and end. Outputs written in place are left as
// they are. False, with errno telling why and *failed (if given) naming the target, when the
// files could not be put in place; until the mark, every target is then as it was.
bool BwPublishTogether(const std::vector<OutputFile*>& files, std::string* failed);

// What the output at `path` is, for telling whether two names write the same file: the device
// and inode of an existing file (so hard links and every spelling of a name agree), else the
// name with symbolic links resolved; "" for a descriptor, device or FIFO, which any number of
// writers may share.
std::string BwOutputKey(const char* path);

// Completes or undoes what an interrupted publish left at the outputs of `path` (the first file
// of the set: a chain's level 0). True when nothing was left or it was dealt with.
bool BwRecoverOutput(const char* path);
// The same for every interrupted publish in `directory`: how many there were, or -1 with
// *error telling why one could not be dealt with.
int BwRecoverOutputs(const char* directory, std::string* error);
