// An output file that is either complete or absent.
//
// A regular file (or a path that does not exist yet) is written to a temporary file created
// exclusively in the target's directory and renamed over the target only by Commit(); until
// then an existing file at the path stays untouched, and the destructor removes the temporary
// file. A symbolic link at the path is followed: the file it points to is replaced and the link
// stays. An existing file that is not regular (a device, a FIFO, a directory) is opened directly
// and never removed or replaced.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "BwArray.h"

class OutputFile {
 public:
  explicit OutputFile(const char* path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  explicit operator bool() const { return stream_ != nullptr; }
  FILE* Stream() const { return stream_; }
  // Flushes and closes the file: complete, but not yet in place. False if either failed.
  bool Finish();
  // Puts a finished file in place; false if that failed.
  bool Publish();
  // Finish() and Publish().
  bool Commit() { return Finish() && Publish(); }

 private:
  void Discard();

  FILE* stream_ = nullptr;
  bool finished_ = false;
  std::string target_;     // the file that is replaced (symbolic links resolved)
  std::string temporary_;  // empty when writing the target directly
};

// Removes the temporary file of the output being written, if there is one. Safe to call from a
// signal handler, so that an interrupted run leaves nothing behind either.
void BwRemovePendingOutput();
