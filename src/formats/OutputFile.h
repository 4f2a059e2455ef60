// An output file that is either complete or absent, and on disk once it is in place.
//
// A regular file (or a path that does not exist yet) is written to a temporary file in the
// target's directory and put in place only when complete: Finish() flushes it and syncs it to
// disk, Publish() gives it the target's name and syncs the directory. Until then an existing
// file at the path stays untouched; the destructor removes anything not published. Where the
// file system allows, the temporary file has no name at all (Linux O_TMPFILE), so no signal, not
// even SIGKILL, can leave one behind; elsewhere it is a named `.bumpweld-` file beside the
// target, which an observer (see BwOutputObserver) may remove when a signal ends the process.
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

 protected:
  ~BwOutputObserver() = default;
};

// Which temporary file an OutputFile may use: AUTO prefers an unnamed one; NAMED always uses a
// named one, as on file systems without unnamed files.
enum class BwTemporary { AUTO, NAMED };

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
  // Whether the bytes go straight to their destination, so that a failure cannot be undone.
  bool InPlace() const { return kind_ == Kind::IN_PLACE; }
  // Leaves out the syncs of Finish and Publish: the file is still complete or absent should the
  // run fail or be killed, but not should the machine lose power before the kernel writes it.
  void SkipSync() { sync_ = false; }

  // Flushes the bytes and syncs them to disk; nothing new is visible at the path yet. True
  // again when called after a successful Finish().
  bool Finish();
  // Puts the finished file in place under its name and syncs the directory.
  bool Publish();
  // Finish() and Publish(), for a single file.
  bool Commit() { return Finish() && Publish(); }

  // Whether an OutputFile for `path` would be written in place (as InPlace() tells).
  static bool WouldBeInPlace(const char* path);

 private:
  enum class Kind { IN_PLACE, UNNAMED, NAMED };
  enum class State { WRITING, FINISHED, PUBLISHED, FAILED };
  bool sync_ = true;

  int CreateTemporary(bool replacing, BwTemporary temporary);
  bool LinkUnnamed();
  bool CloseStream();

  BwOutputObserver* observer_;
  FILE* stream_ = nullptr;
  bool opened_ = false;
  Kind kind_ = Kind::IN_PLACE;
  State state_ = State::WRITING;
  std::string target_;     // the name that is written or replaced (symbolic links resolved)
  std::string temporary_;  // the named temporary file, while it exists
};

// Several outputs that appear together, such as the levels of a mip chain: each is written to
// its temporary file, and none is put in place before all are finished. Destroying the set
// without a successful Commit() removes every temporary file and leaves every old file as it
// was. Publishing is best effort: a rename that fails partway cannot undo the ones before it.
class BwOutputSet {
 public:
  explicit BwOutputSet(BwOutputObserver* observer = nullptr) : observer_(observer) {}

  // Opens one more output (see OutputFile), owned by the set; null when it cannot be opened.
  OutputFile* Add(const char* path, BwTemporary temporary = BwTemporary::AUTO);
  // Finishes every output, then, only if all finished, publishes them in the order added.
  bool Commit();
  // Whether any output of the set is written in place.
  bool InPlace() const;

 private:
  BwOutputObserver* observer_;
  std::vector<std::unique_ptr<OutputFile>> files_;
};
