// Where the levels of a job go, and which files a job writes.
#pragma once

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BwArray.h"
#include "Run.h"

// Where the levels of a job go. Level() receives each level in order, largest first, as
// encoded texels to be taken one piece at a time; the writer may keep them pending and puts
// them in place only in Finish(), so that a failed job leaves nothing behind. A writer that is
// destroyed without Finish() discards what it holds.
class BwOutputWriter {
 public:
  virtual ~BwOutputWriter() = default;
  // Whether a level written to this writer can still be discarded afterwards (a device or a
  // pipe cannot take back what it was given).
  virtual bool CanDiscard(BwRun& run, int level) = 0;
  // Writes a width x height level. When `keep` is given and says no once every texel is made,
  // or the source stops early (it returns false), the level is dropped and the result is
  // false; any other failure ends the job.
  virtual bool Level(BwRun& run, int level, const BwTexelSource& encoded,
                     const std::function<bool()>& keep) = 0;
  // Puts every level in place; failures end the job.
  virtual void Finish(BwRun& run) = 0;
  // The encoding code (see Encoders.h) of the levels this output takes for the job's settings;
  // ends the job when they ask for one it cannot hold.
  virtual int Encoding(BwRun& run);
};

// Output files named as the command line names them: the output name itself, or with a mip
// chain one numbered file per level (out.tga -> out00.tga, out01.tga, ...). The observer, if
// any, is told of every named temporary file (see OutputFile.h).
class BwOutputObserver;
// When `published` is given it receives the names of the files put in place.
std::unique_ptr<BwOutputWriter> BwFileOutput(const std::string& outName,
                                             BwOutputObserver* observer = nullptr,
                                             std::vector<std::string>* published = nullptr);

// An allocator whose resize leaves new bytes as they are, for buffers that are written in full
// right after: zero-filling them first would touch every page twice. Its memory comes from
// BwAllocBytes, so a whole level gets huge pages and takes a few hundred first-touch faults
// instead of one for every 4 KiB.
struct BwUninitializedBytes : std::allocator<unsigned char> {
  template <typename U>
  struct rebind {
    using other = BwUninitializedBytes;
  };
  unsigned char* allocate(size_t count) {
    void* p = BwAllocBytes(count);
    if (!p) throw std::bad_alloc();
    return static_cast<unsigned char*>(p);
  }
  void deallocate(unsigned char* p, size_t) noexcept { std::free(p); }
  void construct(unsigned char* p) noexcept { (void)p; }
  void construct(unsigned char* p, unsigned char v) noexcept { *p = v; }
};

// One level as the file writer would have written it: the whole file's bytes, the rows bottom
// first, Targa texels blue first.
struct BwLevelBytes {
  int width = 0;
  int height = 0;
  int headerBytes = 0;  // bytes before the first texel
  bool targa = false;
  int channels = 0;     // values a texel
  int valueBytes = 0;   // bytes of one value (1, 2 or 4), in the machine's byte order
  bool signedValues = false;
  bool floatValues = false;  // float32 normals x, y, z (--bits=32); --bits=16 levels are x, y, z uint16
  std::vector<unsigned char, BwUninitializedBytes> bytes;
};
// Levels kept in memory, in `levels`.
std::unique_ptr<BwOutputWriter> BwMemoryOutput(std::vector<BwLevelBytes>* levels);
// Copies the texels of `level` into `out`, rows `stride` bytes apart: the top row first when
// topFirst (else bottom first, as stored), Targa texels red first unless bgrOrder. The rows are
// shared among the threads of the calling job.
void BwCopyLevelTexels(const BwLevelBytes& level, unsigned char* out, int64_t stride, bool topFirst, bool bgrOrder);

// The size of the mip level after a w x h level; a size of 0 in either direction ends the chain.
// A chain of an image at least as wide as tall ends at 1 x 1; a taller one at the first level
// one texel wide and at most three high.
void BwNextMipSize(int* w, int* h);

// The levels of a chain whose level 0 is width x height, down to the last BwNextMipSize gives
// (1 without a chain).
int BwChainLevels(int width, int height, bool mipChain);

// The file name of mip level `level` for the output name outName, in a container of one file
// per level.
std::string BwLevelFileName(const std::string& outName, bool mipChain, int level);
// Whether the output name outName is a container that holds a whole mip chain in one file (a
// DDS, KTX2 or OpenEXR file).
bool BwIsChainContainer(const std::string& outName);
// The file that level `level` of a job's output outName goes to.
std::string BwOutputFileName(const std::string& outName, bool mipChain, int level);
// The files a job writes for the output name outName when its base map is width x height, in
// the order they are written: the output name itself, or with a mip chain one numbered file per
// level (out.tga -> out00.tga, out01.tga, ...), except that a DDS, KTX2 or OpenEXR file holds
// them all.
std::vector<std::string> BwOutputFileNames(const std::string& outName, bool mipChain, int width, int height);
