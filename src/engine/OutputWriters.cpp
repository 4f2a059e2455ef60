// Where a job's levels go: numbered Targa, .kep, PNG, TIFF and .astc files or one DDS, KTX2 or
// OpenEXR file, put in place together once every level is complete, or whole files' bytes kept in
// memory.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <cstdlib>
#include <memory>
#include <vector>

#include "AstcCodec.h"
#include "AstcFile.h"
#include "Containers.h"
#include "Encoders.h"
#include "Outputs.h"
#include "OutputFile.h"
#include "PngWriter.h"
#include "TiffIO.h"
#include "DdsKtx.h"
#include "ExrIO.h"
#include "Filters.h"
#include "BwVector.h"
#include "Parallel.h"

namespace {

// Refuses --bits for an output of a container (`row`) that has no such depth; without --bits
// (0) each output writes its own. The messages of the days when 16 bits went to PNG outputs only
// and 32 to OpenEXR ones stay where they hold; a container that names its depths is quoted.
void CheckBits(BwRun& run, const BwContainerRow& row) {
  const int bits = run.settings.outputBits;
  const unsigned depth = bits == 8 ? BW_DEPTH_8 : bits == 16 ? BW_DEPTH_16 : bits == 32 ? BW_DEPTH_32 : 0u;
  if (bits == 0 || (row.depths & depth) != 0) return;
  if (bits == 16) run.Fail(BW_ERROR_SETTINGS, "ERROR: --bits=16 needs a .png output\n");
  if (!row.depthNames) run.Fail(BW_ERROR_SETTINGS, "ERROR: --bits=32 needs a .exr output\n");
  run.Fail(BW_ERROR_SETTINGS, "ERROR: A %s output takes %s, not --bits=%d\n", row.extensions[0], row.depthNames, bits);
}

// The band loop of every container's writer: a level's rows, which `source` gives bottom row
// first, taken in bands of at most `band` rows from the top of the picture down. Each band is
// read to place(first), its rows in stored order from `first`, the lowest row of the band, and
// handed to write(rows, count). False as soon as the source stops or a band's write fails.
template <typename Place, typename Write>
bool TakeBandsFromTop(const BwTexelSource& source, int64_t height, int64_t rowBytes, int64_t band, const Place& place,
                      const Write& write) {
  for (int64_t top = 0; top < height; top += band) {
    const int64_t count = std::min<int64_t>(band, height - top);
    const int64_t first = height - top - count;
    unsigned char* rows = place(first);
    if (!source(uint64_t(first * rowBytes), uint64_t(count * rowBytes), rows) || !write(rows, count)) return false;
  }
  return true;
}

// Copies `count` rows of `rowBytes` bytes from stored order (the lowest row first) into picture
// order (the top row first).
void ToPictureOrder(unsigned char* picture, const unsigned char* stored, int64_t count, int64_t rowBytes) {
  for (int64_t r = 0; r < count; ++r)
    std::memcpy(picture + r * rowBytes, stored + (count - 1 - r) * rowBytes, size_t(rowBytes));
}

// Refuses an encoding code that no flag letter selects (the flag letters select 0 to 7; the codes
// above are the writers' own).
void RefuseUnknownCode(BwRun& run) {
  if (run.settings.output < 0 || run.settings.output > 7) run.Fail(BW_ERROR_SETTINGS, "ERROR: Unknown output format!\n");
}

// Refuses --format for an output that has no GPU layouts, and --dds-header for one that is not
// a DDS file.
void RefuseFormat(BwRun& run) {
  if (!run.settings.format.empty())
    run.Fail(BW_ERROR_SETTINGS, "ERROR: --format needs a .dds, .ktx2 or .astc output\n");
  if (run.settings.ddsDx9) run.Fail(BW_ERROR_SETTINGS, "ERROR: --dds-header needs a .dds output\n");
}

}  // namespace

int BwOutputWriter::Encoding(BwRun& run) {
  RefuseUnknownCode(run);
  CheckBits(run, BwContainerRowOf(BwContainerId::TARGA));
  RefuseFormat(run);
  return run.settings.output | (run.settings.round ? BW_ROUND : 0);
}

namespace {

// What the outputs of every container share: the name, the files opened for it, and the
// finished files, pending until every level is done and then put in place together.
class FileOutput : public BwOutputWriter {
 public:
  FileOutput(std::string outName, const BwContainerRow* row, BwOutputObserver* observer,
             std::vector<std::string>* published)
      : outName_(std::move(outName)), row_(row), observer_(observer), published_(published) {}

  bool CanDiscard(BwRun& run, int level) override {
    // A device, a FIFO or a descriptor cannot take back what was written to it.
    const std::string name = BwOutputFileName(outName_, run.settings.mipLevels != 0, level);
    return !OutputFile::WouldBeInPlace(name.c_str());
  }

  // Every level in place at once, or none (see BwPublishTogether).
  void Finish(BwRun& run) override {
    std::vector<OutputFile*> files;
    for (Pending& level : pending_) files.push_back(level.file.get());
    std::string failed;
    if (!BwPublishTogether(files, &failed)) {
      // The level by the name it was given, which a link may lead elsewhere.
      auto level = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.file->Target() == failed; });
      if (level == pending_.end()) level = pending_.begin();
      run.Fail(BW_ERROR_WRITE, "ERROR: Unable to write %s\n", level->name.c_str());
    }
    for (Pending& level : pending_)
      if (published_) published_->push_back(level.name);
    pending_.clear();
  }

 protected:
  // The refusals every picture container makes: encodings it has no place for, --format, and
  // depths it does not take.
  void CheckPictureEncoding(BwRun& run) {
    RefuseUnknownCode(run);
    if (run.settings.output >= 3)
      run.Fail(BW_ERROR_SETTINGS, "ERROR: The encodings h, H, i, s and S write .kep textures, not %s files: %s\n",
               row_->name, outName_.c_str());
    RefuseFormat(run);
    CheckBits(run, *row_);
  }

  // The output file `name`; for the first file of the run, after completing or undoing what a
  // run killed while putting the same outputs in place left.
  std::unique_ptr<OutputFile> Open(BwRun& run, const std::string& name, bool first) {
    if (first) BwRecoverOutput(name.c_str());
    auto file = std::make_unique<OutputFile>(name.c_str(), observer_);
    if (!run.settings.sync) file->SkipSync();
    return file;
  }

  // The levels of the job's chain, as the pipeline makes them.
  static int PipelineLevels(const BwRun& run) {
    return BwChainLevels(run.width, run.height, run.settings.mipLevels != 0);
  }

  // A finished file, put in place with the others in Finish().
  void Pend(BwRun& run, const std::string& name, std::unique_ptr<OutputFile> file) {
    run.console.Message("Wrote %s\n", name.c_str());
    pending_.push_back(Pending{name, std::move(file)});
  }

  // Drops the file being written (a chain's one file).
  virtual void Abandon() {}

  // Ends the job: the file `name` (the output name when empty) could not be written.
  [[noreturn]] bool Failed(BwRun& run, const std::string& error, const std::string& name = std::string()) {
    if (!error.empty()) BwDiagnostic("%s\n", error.c_str());
    Abandon();
    run.Fail(BW_ERROR_WRITE, "ERROR: Unable to write %s\n", (name.empty() ? outName_ : name).c_str());
  }

  const std::string outName_;
  const BwContainerRow* const row_;  // the container the name asks for; null: Targa or .kep

 private:
  struct Pending {
    std::string name;
    std::unique_ptr<OutputFile> file;
  };
  BwOutputObserver* observer_;
  std::vector<std::string>* published_;
  std::vector<Pending> pending_;
};

// Targa, .kep, PNG and TIFF: a file for each level.
class LevelFilesOutput : public FileOutput {
 public:
  using FileOutput::FileOutput;

  int Encoding(BwRun& run) override {
    const std::string foreign = BwForeignImageExtension(outName_);
    if (!foreign.empty())
      run.Fail(BW_ERROR_SETTINGS,
               "ERROR: Bumpweld does not write %s files: %s (a name ending in %s writes that container; any "
               "other name a Targa file or a .kep texture)\n",
               foreign.c_str(), outName_.c_str(), BwContainerList(BwContainerListKind::OUTPUTS).c_str());
    if (!row_) return BwOutputWriter::Encoding(run);
    CheckPictureEncoding(run);
    const bool png = row_->id == BwContainerId::PNG;
    if (run.settings.outputBits == 16) return png ? BW_ENCODING_PNG16 : BW_ENCODING_TIFF16;
    return (png ? BW_ENCODING_PNG8 : BW_ENCODING_TIFF8) | (run.settings.round ? BW_ROUND : 0);
  }

  bool Level(BwRun& run, int level, const BwTexelSource& encoded,
             const std::function<bool()>& keep) override {
    const BwEncoding& encoding = BwSelectedEncoding(run);
    const std::string name = BwLevelFileName(outName_, run.settings.mipLevels != 0, level);
    auto file = Open(run, name, level == 0);
    if (!*file) {
      if (encoding.targa) run.Fail(BW_ERROR_OPEN, "ERROR: Unable to open %s\n", name.c_str());
      BwDiagnostic("Warning! Could not open texture map \"%s\"\n", name.c_str());
      run.Fail(BW_ERROR_WRITE, "ERROR: Unable to write %s\n", name.c_str());
    }
    const int code = run.encoding & ~BW_ROUND;
    const bool png = code == BW_ENCODING_PNG8 || code == BW_ENCODING_PNG16;
    const bool tiff = code == BW_ENCODING_TIFF8 || code == BW_ENCODING_TIFF16;
    std::string pngError;
    bool written = png    ? WriteRows<BwPngWriter>(file->Stream(), run, encoding, encoded, &pngError)
                   : tiff ? WriteRows<BwTiffWriter>(file->Stream(), run, encoding, encoded, &pngError)
                          : BwWriteEncodedStream(file->Stream(), encoding, run.width, run.height, encoded);
    if (!pngError.empty()) BwDiagnostic("%s\n", pngError.c_str());
    // An abandoned level goes with `file`; one written in place cannot be taken back (such an
    // output is never given a level that may be abandoned, see CanDiscard).
    if (keep && !keep()) {
      if (file->InPlace()) run.Fail(BW_ERROR_WRITE, "ERROR: Unable to write %s\n", name.c_str());
      return false;
    }
    if (written && !file->Finish()) {
      written = false;
      if (!encoding.targa) BwDiagnostic("ERROR! Couldn't write texels!\n");
    }
    if (!written) run.Fail(BW_ERROR_WRITE, "ERROR: Unable to write %s\n", name.c_str());
    // The level is complete; like every other it is put in place once all are.
    Pend(run, name, std::move(file));
    return true;
  }

  // Writes a PNG or TIFF file from the encoded texels, which come bottom row first: the rows are
  // taken a band at a time from the top of the picture down.
  template <typename Writer>
  static bool WriteRows(FILE* fp, BwRun& run, const BwEncoding& encoding, const BwTexelSource& encoded,
                        std::string* error) {
    Writer writer;
    const int bits = encoding.bitDepth / 3;
    if (!writer.Begin(fp, run.width, run.height, bits, 3, error)) return false;
    const int64_t rowBytes = int64_t(run.width) * encoding.texelBytes;
    const int64_t band = std::max<int64_t>(1, std::min<int64_t>(writer.BandRows(), run.height));
    BwArray<unsigned char> rows = BwAllocArray<unsigned char>(uint64_t(band * rowBytes) * 2);
    if (!rows) throw std::bad_alloc();
    unsigned char* stored = rows.get();
    unsigned char* picture = rows.get() + band * rowBytes;
    const auto write = [&](const unsigned char* at, int64_t count) {
      ToPictureOrder(picture, at, count, rowBytes);
      return writer.WriteRows(picture, count, error);
    };
    const bool taken = TakeBandsFromTop(encoded, run.height, rowBytes, band, [&](int64_t) { return stored; }, write);
    if (!taken) return false;
    return writer.End(error);
  }
};

// DDS and KTX2: the whole chain in one file; .astc: a file for each level. Encoded from the float
// normals.
class GpuOutput : public FileOutput {
 public:
  using FileOutput::FileOutput;

  int Encoding(BwRun& run) override {
    const BwSettings& settings = run.settings;
    RefuseUnknownCode(run);
    CheckBits(run, *row_);
    if (settings.ddsDx9 && row_->id != BwContainerId::DDS)
      run.Fail(BW_ERROR_SETTINGS, "ERROR: --dds-header needs a .dds output\n");
    // The container's first layout unless --format names another.
    BwGpuFormat format = BwGpuFormat(__builtin_ctz(row_->gpuFormats));
    if (!settings.format.empty()) {
      if (!BwGpuFormatFromName(settings.format.c_str(), &format))
        run.Fail(BW_ERROR_SETTINGS, "ERROR: Unknown format %s (%s)\n", settings.format.c_str(),
                 BwGpuFormatNames((1u << kBwGpuFormatCount) - 1u).c_str());
      if (!(row_->gpuFormats >> int(format) & 1u))
        run.Fail(BW_ERROR_SETTINGS, "ERROR: A %s output takes %s, not %s\n", row_->extensions[0],
                 BwGpuFormatNames(row_->gpuFormats).c_str(), settings.format.c_str());
    } else if (settings.output == 3 || settings.output == 4 || settings.output == 5) {
      // The .kep letters choose the same values in the GPU layouts.
      format = settings.output == 3 ? BwGpuFormat::RG16S
               : settings.output == 4 ? BwGpuFormat::RGBA16S : BwGpuFormat::RGB10A2;
    } else if (settings.output != 0) {
      run.Fail(BW_ERROR_SETTINGS, "ERROR: The encodings s and S write .kep textures only: %s\n", outName_.c_str());
    }
    if (!(row_->gpuFormats >> int(format) & 1u))
      run.Fail(BW_ERROR_SETTINGS, "ERROR: A %s output takes %s, not the encodings h, H and i\n", row_->extensions[0],
               BwGpuFormatNames(row_->gpuFormats).c_str());
    return (BW_ENCODING_GPU + int(format)) | (settings.round ? BW_ROUND : 0);
  }

  bool Level(BwRun& run, int level, const BwTexelSource& floats, const std::function<bool()>& keep) override {
    const BwGpuFormat format = BwGpuFormat((run.encoding & ~BW_ROUND) - BW_ENCODING_GPU);
    const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
    BwGpuEncodeOptions options;
    options.round = (run.encoding & BW_ROUND) != 0;
    options.astcQuality = run.settings.astcQuality;
    options.astcEncoder = &astc_;
    std::string error;
    // A DDS or KTX2 file holds the chain, begun with level 0; a .astc file holds one level.
    const bool chainFile = row_->wholeChain;
    const std::string name = chainFile ? outName_ : BwLevelFileName(outName_, run.settings.mipLevels != 0, level);
    if (level == 0 || !chainFile) {
      file_ = Open(run, name, level == 0);
      if (!*file_) run.Fail(BW_ERROR_OPEN, "ERROR: Unable to open %s\n", name.c_str());
    }
    if (!chainFile) {
      if (!astcFile_.Begin(file_->Stream(), info.blockWidth, info.blockHeight, run.width, run.height, &error))
        return Failed(run, error, name);
    } else if (level == 0) {
      levels_ = PipelineLevels(run);
      writer_ = std::make_unique<BwGpuTextureWriter>();
      const BwContainer container = row_->id == BwContainerId::DDS ? BwContainer::DDS : BwContainer::KTX2;
      if (!writer_->Begin(file_->Stream(), container, format, run.width, run.height, levels_, &error,
                          run.settings.ddsDx9))
        return Failed(run, error);
    }
    // Bands of rows from the top of the picture, whole blocks but for the last: the floats
    // come bottom row first, as the encoder takes them, and it writes top row first. A band is
    // 64 to 256 rows (a whole number of block rows), as many as about 12 MiB of floats hold: a
    // band's merge and its encoding are two loops, each waiting at its end for its slowest
    // thread, so fewer, longer bands wait less.
    const int64_t width = run.width;
    const int64_t rowBytes = width * 3 * int64_t(sizeof(float));
    const int64_t blockRows = info.blockHeight;
    const int64_t band = std::clamp<int64_t>((int64_t(12) << 20) / rowBytes, 64, 256) / blockRows * blockRows;
    BwArray<float> rows = BwAllocArray<float>(uint64_t(band * width * 3));
    std::vector<unsigned char> out(size_t(BwGpuLevelBytes(format, run.width, int(band))));
    if (!rows) throw std::bad_alloc();
    unsigned char* const stored = reinterpret_cast<unsigned char*>(rows.get());
    const bool blocksOfTwo = info.twoComponents && info.blockWidth == 4 && format < BwGpuFormat::ASTC4X4;
    const auto encode = [&](const unsigned char*, int64_t count) {
      if (run.angles && blocksOfTwo) {
        EncodeAndTally(run, format, rows.get(), count, out.data(), options);
      } else {
        if (!BwEncodeGpuLevel(format, rows.get(), run.width, int(count), 3, out.data(), options, &error))
          return Failed(run, error, name);
        if (run.angles) TallyBand(run, format, rows.get(), out.data(), count);
      }
      const uint64_t bytes = BwGpuLevelBytes(format, run.width, int(count));
      const bool written = chainFile ? writer_->Level(level, out.data(), bytes, &error)
                                     : astcFile_.Blocks(out.data(), bytes, &error);
      return written || Failed(run, error, name);
    };
    const bool taken = TakeBandsFromTop(floats, run.height, rowBytes, band, [&](int64_t) { return stored; }, encode);
    if (!taken) {
      file_.reset();  // the file goes with the abandoned attempt
      return false;
    }
    if (keep && !keep()) {
      file_.reset();
      return false;
    }
    if (!chainFile || level + 1 == levels_) {
      if (!(chainFile ? writer_->End(&error) : astcFile_.End(&error))) return Failed(run, error, name);
      if (!file_->Finish()) return Failed(run, "", name);
      Pend(run, name, std::move(file_));
    }
    return true;
  }

 private:
  void Abandon() override { file_.reset(); }

  // Encodes a band of `count` rows (floats bottom row first) of a two-component 4 x 4 block
  // layout into `encoded` (top row first) and adds its angle error to the run's tally. Each
  // thread takes a few rows of blocks at a time, encodes them and decodes them again while their
  // floats are still in its cache. The bytes are those of the band encoded in one call, since a
  // block is encoded from its own texels alone.
  static void EncodeAndTally(BwRun& run, BwGpuFormat format, const float* floats, int64_t count,
                             unsigned char* encoded, const BwGpuEncodeOptions& options) {
    constexpr int64_t kPieceRows = 16;
    const int64_t width = run.width, rowFloats = width * 3;
    const int64_t blockRowBytes = int64_t(BwGpuLevelBytes(format, run.width, 4));
    const int64_t pieces = (count + kPieceRows - 1) / kPieceRows;
    std::atomic<int64_t> next{0};
    BwParallelFor(std::min<int64_t>(BwThreadCount(), pieces), 1, [&](int64_t, int64_t) {
      BwAngleTally tally;
      std::vector<float> planes(size_t(8 * width));
      for (int64_t piece; (piece = next++) < pieces;) {
        const int64_t top = piece * kPieceRows, rows = std::min(kPieceRows, count - top);
        unsigned char* const blocks = encoded + top / 4 * blockRowBytes;
        std::string error;
        {
          const BwThreadLimit oneThread(1);
          if (!BwEncodeGpuLevel(format, floats + (count - top - rows) * rowFloats, run.width, int(rows), 3, blocks,
                                options, &error))
            throw BwFatalError{"ERROR: " + error, BW_ERROR_WRITE};
        }
        for (int64_t blockRow = 0; blockRow * 4 < rows; ++blockRow) {
          const int64_t picked = std::min<int64_t>(4, rows - blockRow * 4);
          BwDecodeTwoChannelBlockRow(format, blocks + blockRow * blockRowBytes, run.width, int(picked), planes.data(),
                                     planes.data() + 4 * width);
          for (int64_t r = 0; r < picked; ++r) {
            const int64_t pictureRow = top + blockRow * 4 + r;
            tally.AddTwoComponent(floats + (count - 1 - pictureRow) * rowFloats, planes.data() + r * width, 4 * width,
                                  width);
          }
        }
      }
      run.angles->Merge(tally);
    });
  }

  // Adds the angle error of a band of `count` rows (floats bottom row first) encoded into
  // `encoded` (top row first) to the run's tally: a few rows of blocks at a time are decoded
  // and compared while they are in the cache. An ASTC band is decoded whole, since each call
  // of that decoder sets it up anew.
  static void TallyBand(BwRun& run, BwGpuFormat format, const float* floats, const unsigned char* encoded,
                        int64_t count) {
    const BwGpuFormatInfo& info = BwGpuFormatInfoOf(format);
    const int64_t width = run.width, rowFloats = width * 3, blockRows = info.blockHeight;
    const int64_t rowBytes = int64_t(BwGpuLevelBytes(format, run.width, int(blockRows)));
    const bool whole = format >= BwGpuFormat::ASTC4X4;
    const int64_t chunkRows = whole ? count : std::max<int64_t>(1, 16 / blockRows) * blockRows;
    std::string error;
    std::vector<float> band(whole ? size_t(count * rowFloats) : 0);
    if (whole && !BwDecodeGpuLevel(format, encoded, run.width, int(count), band.data(), &error))
      throw BwFatalError{"ERROR: " + error, BW_ERROR_WRITE};
    const int64_t chunks = whole ? count : (count + chunkRows - 1) / chunkRows;  // rows of a whole band
    BwParallelFor(chunks, whole ? std::max<int64_t>(1, (int64_t(1) << 15) / width) : 1, [&](int64_t c0, int64_t c1) {
      BwAngleTally tally;
      if (whole) {
        tally.Add(floats + c0 * rowFloats, 3, band.data() + c0 * rowFloats, 3, (c1 - c0) * width);
      } else {
        // Kept from band to band: a buffer of this size would come from fresh pages each time.
        thread_local std::vector<float> decoded;
        decoded.resize(std::max(decoded.size(), size_t(chunkRows * rowFloats)));
        std::string failure;
        for (int64_t c = c0; c < c1; ++c) {
          const int64_t top = c * chunkRows, rows = std::min(chunkRows, count - top);
          if (!BwDecodeGpuLevel(format, encoded + top / blockRows * rowBytes, run.width, int(rows), decoded.data(),
                                &failure))
            throw BwFatalError{"ERROR: " + failure, BW_ERROR_WRITE};
          // Picture rows [top, top + rows) are stored from row count - top - rows.
          tally.Add(floats + (count - top - rows) * rowFloats, 3, decoded.data(), 3, rows * width);
        }
      }
      run.angles->Merge(tally);
    });
  }

  std::unique_ptr<OutputFile> file_;
  std::unique_ptr<BwGpuTextureWriter> writer_;
  BwAstcFileWriter astcFile_;  // the level file being written, for a .astc output
  BwAstcEncoder astc_;         // keeps the ASTC encoder's set-up from band to band and level to level
  int levels_ = 0;  // levels the pipeline makes
};

// OpenEXR: one level, or the whole chain in one tiled file, from the float normals.
class ExrOutput : public FileOutput {
 public:
  using FileOutput::FileOutput;

  int Encoding(BwRun& run) override {
    CheckPictureEncoding(run);
    return run.settings.outputBits == 32 ? BW_ENCODING_EXR_FLOAT : BW_ENCODING_EXR_HALF;
  }

  bool Level(BwRun& run, int level, const BwTexelSource& floats, const std::function<bool()>& keep) override {
    std::string error;
    if (level == 0) {
      file_ = Open(run, outName_, true);
      if (!*file_) run.Fail(BW_ERROR_OPEN, "ERROR: Unable to open %s\n", outName_.c_str());
      levels_ = PipelineLevels(run);
      exrLevels_ = run.settings.mipLevels != 0 ? BwExrLevelCount(run.width, run.height) : 1;
      writer_ = std::make_unique<BwExrWriter>();
      if (!writer_->Begin(file_->Stream(), run.width, run.height, exrLevels_,
                             (run.encoding & ~BW_ROUND) == BW_ENCODING_EXR_FLOAT, &error))
        return Failed(run, error);
    }
    // Bands of rows from the top of the picture: the floats come bottom row first.
    const int64_t width = run.width, rowFloats = width * 3;
    const int64_t band = std::min<int64_t>(writer_->BandRows(), run.height);
    const bool last = level + 1 == levels_;
    // The last level of the chain is kept whole when the file needs smaller ones (a map taller
    // than wide, whose chain ends before 1 x 1).
    const bool whole = last && exrLevels_ > levels_;
    BwArray<float> rows = BwAllocArray<float>(uint64_t((whole ? run.height : band) * rowFloats) * 2);
    if (!rows) throw std::bad_alloc();
    float* stored = rows.get();
    float* picture = rows.get() + (whole ? run.height : band) * rowFloats;
    const int64_t rowBytes = rowFloats * int64_t(sizeof(float));
    const auto place = [&](int64_t firstStored) {
      return reinterpret_cast<unsigned char*>(whole ? stored + firstStored * rowFloats : stored);
    };
    const auto write = [&](const unsigned char* at, int64_t count) {
      ToPictureOrder(reinterpret_cast<unsigned char*>(picture), at, count, rowBytes);
      return writer_->WriteRows(level, picture, count, &error) || Failed(run, error);
    };
    if (!TakeBandsFromTop(floats, run.height, rowBytes, band, place, write)) {
      writer_.reset();
      file_.reset();  // the file goes with the abandoned attempt
      return false;
    }
    if (keep && !keep()) {
      writer_.reset();
      file_.reset();
      return false;
    }
    if (!last) return true;
    // The halvings down to 1 x 1 of a kept last level, made by the box filter of the chain.
    if (whole) {
      std::vector<float> from(stored, stored + run.height * rowFloats), to;
      for (int l = levels_, w = run.width, h = run.height; l < exrLevels_; ++l) {
        const int nw = std::max(1, w / 2), nh = std::max(1, h / 2);
        to.resize(size_t(nw) * size_t(nh) * 3);
        BwBoxFilterTexels(to.data(), nw, nh, from.data(), w, h, 3);
        for (int64_t r = nh - 1; r >= 0; --r)
          if (!writer_->WriteRows(l, to.data() + r * nw * 3, 1, &error)) return Failed(run, error);
        from.swap(to);
        w = nw, h = nh;
      }
    }
    if (!writer_->End(&error)) return Failed(run, error);
    writer_.reset();
    if (!file_->Finish()) return Failed(run, "");
    Pend(run, outName_, std::move(file_));
    return true;
  }

 private:
  void Abandon() override {
    writer_.reset();
    file_.reset();
  }

  std::unique_ptr<OutputFile> file_;
  std::unique_ptr<BwExrWriter> writer_;
  int levels_ = 0;     // levels the pipeline makes
  int exrLevels_ = 0;  // levels of the OpenEXR file
};

class MemoryOutput : public BwOutputWriter {
 public:
  explicit MemoryOutput(std::vector<BwLevelBytes>* levels) : levels_(levels) {}

  bool CanDiscard(BwRun&, int) override { return true; }

  // The flag letters' encodings, or with --bits=16 or --bits=32 the normals as x, y, z values:
  // the 16-bit ones of a PNG or TIFF file, or the floats of a .exr file.
  int Encoding(BwRun& run) override {
    const int bits = run.settings.outputBits;
    if (bits != 16 && bits != 32) return BwOutputWriter::Encoding(run);
    RefuseUnknownCode(run);
    if (run.settings.output != 0)
      run.Fail(BW_ERROR_SETTINGS, "ERROR: --bits=%d levels in memory take no encoding letters (h, H, i, s, S, e, E)\n", bits);
    RefuseFormat(run);
    return bits == 32 ? BW_ENCODING_EXR_FLOAT : BW_ENCODING_TIFF16 | (run.settings.round ? BW_ROUND : 0);
  }

  bool Level(BwRun& run, int, const BwTexelSource& encoded,
             const std::function<bool()>& keep) override {
    const int code = run.encoding & ~BW_ROUND;
    if (code == BW_ENCODING_TIFF16 || code == BW_ENCODING_EXR_FLOAT) return ValuesLevel(run, code, encoded, keep);
    const BwEncoding& encoding = BwSelectedEncoding(run);
    BwLevelBytes level;
    level.width = run.width;
    level.height = run.height;
    level.headerBytes = encoding.targa ? int(sizeof(TGAHeaderInfo)) : ZEL_KEP_HEADER_BYTES;
    level.targa = encoding.targa;
    // .kep levels as their texel words: h two signed, H four signed, i one 32-bit word, s and S
    // four unsigned.
    level.channels = encoding.targa ? encoding.texelBytes
                     : encoding.format == ZEL_BITMAP_FORMAT_S1616 ? 2
                     : encoding.format == ZEL_BITMAP_FORMAT_1010102 ? 1 : 4;
    level.valueBytes = encoding.texelBytes / level.channels;
    level.signedValues = encoding.format == ZEL_BITMAP_FORMAT_S1616 || encoding.format == ZEL_BITMAP_FORMAT_S16161616;
    // The same writer as for files, into a stream over a buffer of the file's size, so the
    // bytes are the file's and are written once.
    const uint64_t size = uint64_t(level.headerBytes) +
                          uint64_t(run.width) * uint64_t(run.height) * uint64_t(encoding.texelBytes);
    // One byte more: a stream over memory ends what it holds with a NUL byte.
    level.bytes.resize(size_t(size) + 1);
    bool written = false;
    {
      std::unique_ptr<FILE, BwFileCloser> stream(fmemopen(level.bytes.data(), level.bytes.size(), "wb"));
      if (!stream) BwFailAllocation(run);
      std::setvbuf(stream.get(), nullptr, _IONBF, 0);
      written = BwWriteEncodedStream(stream.get(), encoding, run.width, run.height, encoded);
      written = std::ftell(stream.get()) == long(size) && written;
    }
    level.bytes.pop_back();
    if (keep && !keep()) return false;
    if (!written) BwFailAllocation(run);
    pending_.push_back(std::move(level));
    return true;
  }

  // A level of x, y, z values, stored bottom row first as they come, without a header.
  bool ValuesLevel(BwRun& run, int code, const BwTexelSource& encoded, const std::function<bool()>& keep) {
    BwLevelBytes level;
    level.width = run.width;
    level.height = run.height;
    level.channels = 3;
    level.valueBytes = code == BW_ENCODING_EXR_FLOAT ? 4 : 2;
    level.floatValues = code == BW_ENCODING_EXR_FLOAT;
    const uint64_t size = uint64_t(run.width) * uint64_t(run.height) * 3 * uint64_t(level.valueBytes);
    level.bytes.resize(size_t(size));
    if (!encoded(0, size, level.bytes.data()) || (keep && !keep())) return false;
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

std::unique_ptr<BwOutputWriter> BwFileOutput(const std::string& outName, BwOutputObserver* observer,
                                             std::vector<std::string>* published) {
  // The container the name asks for chooses the writer.
  const BwContainerRow* row = BwOutputContainer(outName);
  if (row && row->gpuFormats) return std::make_unique<GpuOutput>(outName, row, observer, published);
  if (row && row->id == BwContainerId::EXR) return std::make_unique<ExrOutput>(outName, row, observer, published);
  return std::make_unique<LevelFilesOutput>(outName, row, observer, published);
}

std::unique_ptr<BwOutputWriter> BwMemoryOutput(std::vector<BwLevelBytes>* levels) {
  return std::make_unique<MemoryOutput>(levels);
}

namespace {

// One row of Targa texels of kChannels bytes with red and blue swapped.
template <int kChannels>
void SwapRedBlue(const unsigned char* BW_RESTRICT from, unsigned char* BW_RESTRICT to, int64_t width) {
  for (int64_t x = 0; x < width; ++x, from += kChannels, to += kChannels) {
    to[0] = from[2];
    to[1] = from[1];
    to[2] = from[0];
    if (kChannels == 4) to[3] = from[3];
  }
}

}  // namespace

void BwCopyLevelTexels(const BwLevelBytes& level, unsigned char* out, int64_t stride, bool topFirst, bool bgrOrder) {
  const int64_t rowBytes = int64_t(level.width) * level.channels * level.valueBytes;
  const int64_t height = level.height;
  const unsigned char* texels = level.bytes.data() + level.headerBytes;
  const bool swap = level.targa && !bgrOrder;
  // Rows of about 256 KiB a range at least, so that a small level stays on one thread.
  BwParallelFor(height, std::max<int64_t>(1, (int64_t(1) << 18) / std::max<int64_t>(rowBytes, 1)),
                [&](int64_t y0, int64_t y1) {
                  for (int64_t y = y0; y < y1; ++y) {
                    const unsigned char* from = texels + (topFirst ? height - 1 - y : y) * rowBytes;
                    unsigned char* to = out + y * stride;
                    if (!swap)
                      std::memcpy(to, from, size_t(rowBytes));
                    else if (level.channels == 4)
                      SwapRedBlue<4>(from, to, level.width);
                    else
                      SwapRedBlue<3>(from, to, level.width);
                  }
                });
}

void BwNextMipSize(int* w, int* h) {
  *w /= 2;
  *h /= 2;
  if (*w > 0) {
    if (*h < 1) *h = 1;
  } else if (*h > 1) {
    *w = 1;
  }
}

std::string BwLevelFileName(const std::string& outName, bool mipChain, int level) {
  std::string name = outName;
  if (!mipChain) return name;
  // The level number goes before the last '.' of the file-name part, never into a directory.
  char number[16];
  std::snprintf(number, sizeof number, "%02d", level);
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    name.insert(dot, number);
  else
    name += std::string(number) + ".tga";
  return name;
}

bool BwIsChainContainer(const std::string& outName) {
  const BwContainerRow* row = BwOutputContainer(outName);
  return row && row->wholeChain;
}

std::string BwOutputFileName(const std::string& outName, bool mipChain, int level) {
  return BwLevelFileName(outName, mipChain && !BwIsChainContainer(outName), level);
}

int BwChainLevels(int width, int height, bool mipChain) {
  int levels = 1;
  for (int w = width, h = height; mipChain; ++levels) {
    BwNextMipSize(&w, &h);
    if (w <= 0 || h <= 0) break;
  }
  return levels;
}

std::vector<std::string> BwOutputFileNames(const std::string& outName, bool mipChain, int width, int height) {
  if (!mipChain || BwIsChainContainer(outName)) return {outName};
  std::vector<std::string> names;
  for (int level = 0, levels = width > 0 && height > 0 ? BwChainLevels(width, height, true) : 0; level < levels; ++level)
    names.push_back(BwLevelFileName(outName, true, level));
  return names;
}
