// Heap allocation for images and texel blocks.
#include "BwArray.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
constexpr uint64_t kHugePage = uint64_t(2) << 20;
thread_local uint64_t tAllocationCap = UINT64_MAX;
}  // namespace

BwAllocationCap::BwAllocationCap(uint64_t bytes) : previous_(tAllocationCap) { tAllocationCap = bytes; }

BwAllocationCap::~BwAllocationCap() { tAllocationCap = previous_; }

uint64_t BwAvailableMemory() {
  uint64_t bytes = 0;
  if (FILE* fp = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, fp))
      if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) bytes = uint64_t(kib) * 1024;
    std::fclose(fp);
  }
#ifdef _SC_AVPHYS_PAGES
  if (bytes == 0) {
    const long pages = sysconf(_SC_AVPHYS_PAGES), pageBytes = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageBytes > 0) bytes = uint64_t(pages) * uint64_t(pageBytes);
  }
#endif
  return bytes;
}

void* BwAllocBytes(uint64_t count) {
  if (count > tAllocationCap) return nullptr;
  if (count == 0) count = 1;
  if (count > SIZE_MAX - kHugePage) return nullptr;
  if (count < kHugePage) return std::malloc(size_t(count));
  // Whole huge pages, aligned to one, so the kernel can back the buffer with them.
  const size_t bytes = size_t((count + kHugePage - 1) / kHugePage * kHugePage);
  void* p = std::aligned_alloc(size_t(kHugePage), bytes);
#ifdef MADV_HUGEPAGE
  if (p) madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

// A build without a disk (BUMPWELD_NO_FILE_SYNC, the WebAssembly module) or without
// sync_file_range has nothing to start.
#if defined(BUMPWELD_NO_FILE_SYNC) || !defined(SYNC_FILE_RANGE_WRITE)
void BwStartWriteback(FILE*) {}
#else
void BwStartWriteback(FILE* fp) {
  const int fd = fileno(fp);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || std::fflush(fp) != 0) return;
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}
#endif

namespace {

// Writes one piece at a time on a thread of its own, so that the caller makes the next piece
// while the last one is written (on a build without threads, or when no thread can be had, the
// piece is written at once). The file is only touched by one write at a time.
class PieceWriter {
 public:
  explicit PieceWriter(FILE* fp) : fp_(fp) {}
  ~PieceWriter() { Wait(); }
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  // Starts writing `bytes` bytes of `data`, which must stay as they are until Wait().
  void Start(const unsigned char* data, uint64_t bytes) {
    bytes_ = bytes;
#ifndef BUMPWELD_NO_THREADS
    try {
      thread_ = std::thread([this, data] { Write(data); });
      return;
    } catch (const std::system_error&) {
    }
#endif
    Write(data);
  }

  // Waits for the piece last started; whether it was written in full, and the bytes it had and
  // wrote.
  bool Wait(uint64_t* pieceBytes = nullptr, uint64_t* written = nullptr) {
#ifndef BUMPWELD_NO_THREADS
    if (thread_.joinable()) thread_.join();
#endif
    if (pieceBytes) *pieceBytes = bytes_;
    if (written) *written = written_;
    return written_ == bytes_;
  }

 private:
  void Write(const unsigned char* data) {
    written_ = std::fwrite(data, 1, bytes_, fp_);
    if (written_ == bytes_) BwStartWriteback(fp_);
  }

  FILE* fp_;
  uint64_t bytes_ = 0, written_ = 0;
#ifndef BUMPWELD_NO_THREADS
  std::thread thread_;
#endif
};

}  // namespace

bool BwWriteTexelPieces(FILE* fp, uint64_t total, int texelBytes, const BwTexelSource& source,
                        uint64_t* written, uint64_t* pieceBytes, bool* stopped) {
  *written = 0;
  *pieceBytes = 0;
  *stopped = false;
  // A piece need not end on a texel boundary (8,192,000 is no multiple of 3): the texels that
  // straddle it are made whole and their remaining bytes start the next piece. Two buffers take
  // turns: one is written while the source fills the other.
  const uint64_t step = uint64_t(std::max(texelBytes, 1));
  const uint64_t bufferBytes = std::min(total, BW_WRITE_PIECE_BYTES) + step;
  BwArray<unsigned char> buffers[2] = {BwAllocArray<unsigned char>(bufferBytes),
                                       total > BW_WRITE_PIECE_BYTES ? BwAllocArray<unsigned char>(bufferBytes)
                                                                    : BwArray<unsigned char>()};
  if (!buffers[0] || (total > BW_WRITE_PIECE_BYTES && !buffers[1])) return false;
  PieceWriter writer(fp);
  bool writing = false;   // whether the writer has a piece
  int filling = 0;        // the buffer the source fills
  uint64_t produced = 0;  // bytes taken from the source, always whole texels
  uint64_t held = 0;      // bytes in that buffer not yet written
  for (uint64_t offset = 0; offset < total; offset += BW_WRITE_PIECE_BYTES) {
    const uint64_t bytes = std::min(BW_WRITE_PIECE_BYTES, total - offset);
    unsigned char* buffer = buffers[filling].get();
    if (held < bytes) {
      const uint64_t more = std::min((bytes - held + step - 1) / step * step, total - produced);
      if (!source(produced, more, buffer + held)) {
        writer.Wait();
        *stopped = true;
        return false;
      }
      produced += more;
      held += more;
    }
    if (writing && !writer.Wait(pieceBytes, written)) return false;
    held -= bytes;
    if (held > 0) std::memcpy(buffers[1 - filling].get(), buffer + bytes, held);
    writer.Start(buffer, bytes);
    writing = true;
    filling = 1 - filling;
  }
  return !writing || writer.Wait(pieceBytes, written);
}

bool BwReadToEnd(FILE* fp, std::vector<unsigned char>* bytes) {
  constexpr size_t kPiece = size_t(1) << 20;
  struct stat info;
  const off_t here = ftello(fp);
  if (fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode) && here >= 0 && info.st_size > here)
    bytes->reserve(bytes->size() + size_t(info.st_size - here) + kPiece);  // and the last, empty read
  for (;;) {
    const size_t used = bytes->size();
    bytes->resize(used + kPiece);
    const size_t got = std::fread(bytes->data() + used, 1, kPiece, fp);
    bytes->resize(used + got);
    if (got < kPiece) break;
  }
  return !std::ferror(fp);
}

bool BwReadUpTo(FILE* fp, std::vector<unsigned char>* bytes, uint64_t count) {
  while (bytes->size() < count) {
    const size_t have = bytes->size();
    bytes->resize(size_t(std::min<uint64_t>(count, have + (size_t(1) << 20))));
    const size_t got = std::fread(bytes->data() + have, 1, bytes->size() - have, fp);
    bytes->resize(have + got);
    if (got == 0) return !std::ferror(fp);
  }
  return true;
}
