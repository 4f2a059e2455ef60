// OutputFile for a build whose files live in memory (the WebAssembly module's file system): a
// file is written under a name of its own beside its target and renamed over it once every file
// of the set is finished, so a failed job still leaves nothing. There is no disk to sync to,
// no other process to take turns with and no run killed half way to recover from, so the
// syncs, the lock and the journal of OutputFile.cpp are left out.
#include "OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

OutputFile::OutputFile(const char* path, BwOutputObserver* observer, BwTemporary) : observer_(observer) {
  if (!path || !*path) {
    errno = ENOENT;
    return;
  }
  target_ = path;
  kind_ = Kind::NAMED;
  temporary_ = target_ + ".bumpweld-part";
  if (observer_) observer_->Created(temporary_.c_str());
  stream_ = std::fopen(temporary_.c_str(), "wb");
  opened_ = stream_ != nullptr;
  if (!opened_) {
    if (observer_) observer_->Gone(temporary_.c_str());
    temporary_.clear();
  }
}

OutputFile::~OutputFile() {
  CloseStream();
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    if (observer_) observer_->Gone(temporary_.c_str());
  }
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
  for (OutputFile* file : files) {
    if (file->state_ == OutputFile::State::PUBLISHED) continue;
    if (std::rename(file->temporary_.c_str(), file->target_.c_str()) != 0) {
      if (failed) *failed = file->target_;
      return false;
    }
    if (file->observer_) file->observer_->Gone(file->temporary_.c_str());
    file->temporary_.clear();
    file->state_ = OutputFile::State::PUBLISHED;
  }
  return true;
}

bool BwRecoverOutput(const char*) { return true; }

int BwRecoverOutputs(const char*, std::string*) { return 0; }
