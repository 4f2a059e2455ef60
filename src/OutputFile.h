// An output file that is either complete or absent.
//
// A regular file (or a path that does not exist yet) is written to a temporary file created
// exclusively in the target's directory and renamed over the target only by Commit(); until
// then an existing file at the path stays untouched, and the destructor removes the temporary
// file. A symbolic link at the path is followed: the file it points to is replaced and the link
// stays. An existing file that is not regular (a device, a FIFO, a directory) is opened directly
// and never removed or replaced.
#pragma once

#include <cstdio>
#include <string>

class OutputFile {
 public:
  explicit OutputFile(const char* path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  explicit operator bool() const { return stream_ != nullptr; }
  FILE* Stream() const { return stream_; }
  // Flushes, closes and puts the file in place; false if any step failed.
  bool Commit();

 private:
  void Discard();

  FILE* stream_ = nullptr;
  std::string target_;     // the file that is replaced (symbolic links resolved)
  std::string temporary_;  // empty when writing the target directly
};
