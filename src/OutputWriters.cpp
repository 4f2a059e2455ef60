// Where a job's levels go: numbered Targa and .kep files, put in place together once every
// level is complete, or whole files' bytes kept in memory.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Encoders.h"
#include "Job.h"
#include "OutputFile.h"
#include "PngWriter.h"

int BwOutputWriter::Encoding(BwRun& run) {
  // The flag letters select codes 0 to 7; the others are the writers' own.
  if (run.settings.output < 0 || run.settings.output > 7) run.Fail("ERROR: Unknown output format!\n");
  if (run.settings.outputBits != 8) run.Fail("ERROR: --bits=16 needs a .png output\n");
  return run.settings.output | (run.settings.round ? BW_ROUND : 0);
}

namespace {

// Whether a file name ends in `extension` (a dot and lowercase letters), in any case.
bool HasExtension(const std::string& name, const char* extension) {
  const size_t n = std::strlen(extension);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != extension[i]) return false;
  return true;
}

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

  int Encoding(BwRun& run) override {
    if (!HasExtension(outName_, ".png")) return BwOutputWriter::Encoding(run);
    if (run.settings.output < 0 || run.settings.output > 7) run.Fail("ERROR: Unknown output format!\n");
    if (run.settings.output >= 3)
      run.Fail("ERROR: The encodings h, H, i, s and S write .kep textures, not PNG files: %s\n",
               outName_.c_str());
    if (run.settings.outputBits == 16) return BW_ENCODING_PNG16;
    return BW_ENCODING_PNG8 | (run.settings.round ? BW_ROUND : 0);
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
    const bool png = (run.encoding & ~BW_ROUND) >= BW_ENCODING_PNG8;
    std::string pngError;
    bool written = png ? WritePng(file->Stream(), run, encoding, encoded, &pngError)
                       : BwWriteEncodedStream(file->Stream(), encoding, run.width, run.height, encoded);
    if (!pngError.empty()) BwDiagnostic("%s\n", pngError.c_str());
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

  // Writes a PNG file from the encoded texels, which come bottom row first: the rows are taken a
  // band at a time from the top of the picture down.
  static bool WritePng(FILE* fp, BwRun& run, const BwEncoding& encoding, const BwTexelSource& encoded,
                       std::string* error) {
    BwPngWriter writer;
    const int bits = encoding.bitDepth / 3;
    if (!writer.Begin(fp, run.width, run.height, bits, 3, error)) return false;
    const int64_t rowBytes = int64_t(run.width) * encoding.texelBytes;
    const int64_t band = std::max<int64_t>(1, std::min<int64_t>(writer.BandRows(), run.height));
    BwArray<unsigned char> rows = BwAllocArray<unsigned char>(uint64_t(band * rowBytes) * 2);
    if (!rows) throw std::bad_alloc();
    unsigned char* stored = rows.get();
    unsigned char* picture = rows.get() + band * rowBytes;
    for (int64_t top = 0; top < run.height; top += band) {
      const int64_t count = std::min<int64_t>(band, run.height - top);
      const int64_t firstStored = run.height - top - count;  // the lowest row of the band
      if (!encoded(uint64_t(firstStored * rowBytes), uint64_t(count * rowBytes), stored)) return false;
      for (int64_t r = 0; r < count; ++r)
        std::memcpy(picture + r * rowBytes, stored + (count - 1 - r) * rowBytes, size_t(rowBytes));
      if (!writer.WriteRows(picture, count, error)) return false;
    }
    return writer.End(error);
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
