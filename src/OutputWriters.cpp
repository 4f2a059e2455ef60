// Where a job's levels go: numbered Targa and .kep files, put in place together once every
// level is complete, or whole files' bytes kept in memory.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Encoders.h"
#include "Job.h"
#include "OutputFile.h"

namespace {

struct FileCloser {
  void operator()(FILE* fp) const { std::fclose(fp); }
};

class FileOutput : public BwOutputWriter {
 public:
  FileOutput(std::string outName, BwOutputObserver* observer)
      : outName_(std::move(outName)), observer_(observer) {}

  bool CanDiscard(BwRun& run, int level) override {
    // A device, a FIFO or a descriptor cannot take back what was written to it.
    const std::string name = BwLevelFileName(outName_, run.settings.mipLevels != 0, level);
    return !OutputFile::WouldBeInPlace(name.c_str());
  }

  bool Level(BwRun& run, int level, const BwTexelSource& encoded,
             const std::function<bool()>& keep) override {
    const BwEncoding& encoding = BwSelectedEncoding(run);
    const std::string name = BwLevelFileName(outName_, run.settings.mipLevels != 0, level);
    auto file = std::make_unique<OutputFile>(name.c_str(), observer_);
    if (!*file) {
      if (encoding.targa) run.Fail("ERROR: Unable to open %s\n", name.c_str());
      BwDiagnostic("Warning! Could not open texture map \"%s\"\n", name.c_str());
      run.Fail("ERROR: Unable to write %s\n", name.c_str());
    }
    bool written = BwWriteEncodedStream(file->Stream(), encoding, run.width, run.height, encoded);
    // An abandoned level goes with `file`; one written in place cannot be taken back (such an
    // output is never given a level that may be abandoned, see CanDiscard).
    if (keep && !keep()) {
      if (file->InPlace()) run.Fail("ERROR: Unable to write %s\n", name.c_str());
      return false;
    }
    if (written && !file->Finish()) {
      written = false;
      if (!encoding.targa) BwDiagnostic("ERROR! Couldn't write texels!\n");
    }
    if (!written) run.Fail("ERROR: Unable to write %s\n", name.c_str());
    // The level is complete; like every other it is put in place once all are.
    run.console.Message("Wrote %s\n", name.c_str());
    pending_.push_back(Pending{name, std::move(file)});
    return true;
  }

  void Finish(BwRun& run) override {
    for (Pending& level : pending_)
      if (!level.file->Publish()) run.Fail("ERROR: Unable to write %s\n", level.name.c_str());
    pending_.clear();
  }

 private:
  struct Pending {
    std::string name;
    std::unique_ptr<OutputFile> file;
  };
  std::string outName_;
  BwOutputObserver* observer_;
  std::vector<Pending> pending_;
};

class MemoryOutput : public BwOutputWriter {
 public:
  explicit MemoryOutput(std::vector<BwLevelBytes>* levels) : levels_(levels) {}

  bool CanDiscard(BwRun&, int) override { return true; }

  bool Level(BwRun& run, int, const BwTexelSource& encoded,
             const std::function<bool()>& keep) override {
    const BwEncoding& encoding = BwSelectedEncoding(run);
    // The same writer as for files, into a stream over memory, so the bytes are the file's.
    char* data = nullptr;
    size_t size = 0;
    bool written = false;
    {
      std::unique_ptr<FILE, FileCloser> stream(open_memstream(&data, &size));
      if (!stream) BwFailAllocation(run);
      written = BwWriteEncodedStream(stream.get(), encoding, run.width, run.height, encoded);
      written = std::fflush(stream.get()) == 0 && written;
    }
    std::unique_ptr<char, decltype(&std::free)> owned(data, &std::free);
    if (keep && !keep()) return false;
    if (!written) BwFailAllocation(run);
    BwLevelBytes level;
    level.width = run.width;
    level.height = run.height;
    level.headerBytes = encoding.targa ? 18 : 13;
    level.bytes.assign(data, data + size);
    pending_.push_back(std::move(level));
    return true;
  }

  void Finish(BwRun&) override {
    for (BwLevelBytes& level : pending_) levels_->push_back(std::move(level));
    pending_.clear();
  }

 private:
  std::vector<BwLevelBytes>* levels_;
  std::vector<BwLevelBytes> pending_;
};

}  // namespace

std::unique_ptr<BwOutputWriter> BwFileOutput(const std::string& outName, BwOutputObserver* observer) {
  return std::make_unique<FileOutput>(outName, observer);
}

std::unique_ptr<BwOutputWriter> BwMemoryOutput(std::vector<BwLevelBytes>* levels) {
  return std::make_unique<MemoryOutput>(levels);
}
