// Owning heap arrays for images and texel blocks.
//
// Large buffers are page aligned and offered to the kernel for transparent huge pages: on
// 4096 x 4096 maps first-touch page faults cost as much as the arithmetic. Allocation never
// throws; a null result means the memory could not be had.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

struct BwFreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

template <typename T>
using BwArray = std::unique_ptr<T[], BwFreeDeleter>;

// Uninitialised storage for `count` bytes (at least one), or null.
void* BwAllocBytes(uint64_t count);

// Refuses, on this thread while it lasts, every BwAllocBytes of more than `bytes` bytes: a job
// can be held to a memory budget, and an allocation failure made to happen where it matters.
class BwAllocationCap {
 public:
  explicit BwAllocationCap(uint64_t bytes);
  ~BwAllocationCap();
  BwAllocationCap(const BwAllocationCap&) = delete;
  BwAllocationCap& operator=(const BwAllocationCap&) = delete;

 private:
  uint64_t previous_;
};

// Bytes of memory the system can give without swapping (Linux's MemAvailable, else the free
// physical pages), or 0 when it does not say.
uint64_t BwAvailableMemory();

// Uninitialised array of `count` elements of a trivial type, or null (also on overflow).
template <typename T>
BwArray<T> BwAllocArray(uint64_t count) {
  if (count > UINT64_MAX / sizeof(T)) return BwArray<T>();
  return BwArray<T>(static_cast<T*>(BwAllocBytes(count * sizeof(T))));
}

// Fills out with `bytes` bytes of a texel block, starting at byte `offset`: lets a writer take
// the encoded texels one piece at a time instead of from a whole image in memory. A source that
// returns false has given up: the writer stops at once and the output is to be discarded.
using BwTexelSource = std::function<bool(uint64_t offset, uint64_t bytes, unsigned char* out)>;

// Appends what is left of a stream to *bytes (room for all of a regular file is taken at once);
// false on a read error. Throws std::bad_alloc when memory runs out.
bool BwReadToEnd(FILE* fp, std::vector<unsigned char>* bytes);

// Closes a stream owned by a unique_ptr: std::unique_ptr<FILE, BwFileCloser>.
struct BwFileCloser {
  void operator()(FILE* fp) const { std::fclose(fp); }
};

// Reads from fp until *bytes holds `count` bytes or fp ends, a megabyte at a time (a stream
// shorter than it claims never has the whole count allocated); false on a read error. Throws
// std::bad_alloc when memory runs out.
bool BwReadUpTo(FILE* fp, std::vector<unsigned char>* bytes, uint64_t count);

// Asks the kernel to start writing what a regular file holds so far to disk, without waiting:
// the disk then works while the job makes the rest, and the sync that completes the file waits
// only for the last of it. Streams over memory, pipes and devices are left alone.
void BwStartWriteback(FILE* fp);

// Largest piece handed to one fwrite.
constexpr uint64_t BW_WRITE_PIECE_BYTES = 8192000;

// Writes `total` bytes of texels of `texelBytes` bytes each, taken from `source` in whole
// texels, as writes of BW_WRITE_PIECE_BYTES bytes (the last one shorter). False when a piece
// could not be allocated (*pieceBytes is then 0), not written in full (*written and
// *pieceBytes tell how much of which piece), or the source gave up (*stopped).
bool BwWriteTexelPieces(FILE* fp, uint64_t total, int texelBytes, const BwTexelSource& source,
                        uint64_t* written, uint64_t* pieceBytes, bool* stopped);
