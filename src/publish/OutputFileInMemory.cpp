// OutputFile for a build whose files live in memory (the WebAssembly module's file system): an
// output is written to a memory stream and becomes a file only when published, each file of the
// set in one write, so a failed job leaves nothing. There is no disk to sync to, no other process
// to take turns with and no run killed half way to recover from, so the syncs, the lock and the
// journal of OutputFile.cpp are left out. One write also spares the file system the growth of a
// file written piece by piece (a copy of all of it, again and again).
#include "OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

// The bytes of each open output (OutputFile.h has no member for them): where the memory stream
// keeps its buffer and size.
struct Held {
  char* data = nullptr;
  size_t size = 0;
};
std::map<const OutputFile*, Held>& HeldBytes() {
  static std::map<const OutputFile*, Held> held;
  return held;
}

void Release(const OutputFile* file) {
  auto& held = HeldBytes();
  const auto it = held.find(file);
  if (it == held.end()) return;
  std::free(it->second.data);
  held.erase(it);
}

}  // namespace

OutputFile::OutputFile(const char* path, BwOutputObserver* observer, BwTemporary) : observer_(observer) {
  if (!path || !*path) {
    errno = ENOENT;
    return;
  }
  try {
    target_ = path;
    Held& held = HeldBytes()[this];
    stream_ = open_memstream(&held.data, &held.size);
  } catch (...) {
    stream_ = nullptr;
  }
  kind_ = Kind::NAMED;
  opened_ = stream_ != nullptr;
  if (!opened_) {
    Release(this);
    errno = ENOMEM;
  }
}

OutputFile::~OutputFile() {
  CloseStream();
  Release(this);
}

bool OutputFile::CloseStream() {
  if (!stream_) return true;
  const bool ok = std::fclose(stream_) == 0;
  stream_ = nullptr;
  return ok;
}

bool OutputFile::Finish() {
  if (state_ == State::FINISHED) return true;
  if (state_ != State::WRITING || !stream_) return false;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  ok = CloseStream() && ok;
  state_ = ok ? State::FINISHED : State::FAILED;
  return ok;
}

bool OutputFile::Publish() { return BwPublishTogether({this}, nullptr); }

bool OutputFile::WouldBeInPlace(const char*) { return false; }

bool BwPublishTogether(const std::vector<OutputFile*>& files, std::string* failed) {
  for (OutputFile* file : files) {
    if (file->state_ == OutputFile::State::PUBLISHED || file->state_ == OutputFile::State::FINISHED) continue;
    if (failed) *failed = file->target_;
    errno = EINVAL;
    return false;
  }
  // A file that cannot be written (memory ran short) takes those written before it along.
  std::vector<OutputFile*> written;
  for (OutputFile* file : files) {
    if (file->state_ == OutputFile::State::PUBLISHED) continue;
    const Held& held = HeldBytes()[file];
    FILE* out = std::fopen(file->target_.c_str(), "wb");
    bool ok = out && std::fwrite(held.data, 1, held.size, out) == held.size;
    ok = out && std::fclose(out) == 0 && ok;
    if (!ok) {
      if (out) std::remove(file->target_.c_str());
      for (OutputFile* done : written) std::remove(done->target_.c_str());
      if (failed) *failed = file->target_;
      errno = ENOSPC;
      return false;
    }
    written.push_back(file);
  }
  for (OutputFile* file : written) {
    Release(file);
    file->state_ = OutputFile::State::PUBLISHED;
  }
  return true;
}

bool BwRecoverOutput(const char*) { return true; }

int BwRecoverOutputs(const char*, std::string*) { return 0; }
