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
  // Flushes, closes and puts the file in place; false if any step failed.
  bool Commit();

 private:
  void Discard();

  FILE* stream_ = nullptr;
  std::string target_;     // the file that is replaced (symbolic links resolved)
  std::string temporary_;  // empty when writing the target directly
};

// Removes the temporary file of the output being written, if there is one. Safe to call from a
// signal handler, so that an interrupted run leaves nothing behind either.
void BwRemovePendingOutput();

// Writes `total` bytes of texels of `texelBytes` bytes each, taken from `source` in whole
// texels, as writes of BW_WRITE_PIECE_BYTES bytes (the last one shorter). False when a piece
// could not be allocated (*pieceBytes is then 0) or not written in full (*written and
// *pieceBytes tell how much of which piece).
bool BwWriteTexelPieces(FILE* fp, uint64_t total, int texelBytes, const BwTexelSource& source,
                        uint64_t* written, uint64_t* pieceBytes);
