// Targa reading and writing; see TGAIO.h for what is read and refused.
#include "TGAIO.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "Console.h"
#include "OutputFile.h"
#include "mac/MacSpecific.h"
#include "ImageProbe.h"

namespace {

constexpr BYTE kTopLeftOrigin = 0x20;
constexpr BYTE kRightToLeft = 0x10;

bool ShortTexelData() {
  BwDiagnostic("ERROR! Couldn't read texels!\n");
  return false;
}

// The bytes of a Targa file: an open stream, or the whole file mapped into memory.
class ByteSource {
 public:
  explicit ByteSource(FILE* fp) : fp_(fp), buffer_(1 << 16) {}
  ByteSource(const unsigned char* data, uint64_t size) : data_(data), size_(size) {}

  // Copies n bytes to out; false if the file ends first.
  bool Read(void* out, uint64_t n) {
    unsigned char* to = static_cast<unsigned char*>(out);
    if (!fp_) {
      if (n > BytesLeft()) return false;
      std::memcpy(to, data_ + pos_, n);
      pos_ += n;
      return true;
    }
    while (n > 0) {
      if (pos_ == end_ && !Refill()) return false;
      const uint64_t take = std::min<uint64_t>(n, end_ - pos_);
      std::memcpy(to, buffer_.data() + pos_, take);
      pos_ += take;
      to += take;
      n -= take;
    }
    return true;
  }

  // Reads a large block, the part beyond what is buffered straight into out.
  bool ReadBlock(unsigned char* out, uint64_t n) {
    if (!fp_) return Read(out, n);
    const uint64_t buffered = std::min<uint64_t>(n, end_ - pos_);
    std::memcpy(out, buffer_.data() + pos_, buffered);
    pos_ += buffered;
    return std::fread(out + buffered, 1, n - buffered, fp_) == n - buffered;
  }

  // Skips n bytes; skipping past the end is allowed (the next read then fails).
  bool Skip(uint64_t n) {
    if (!fp_) {
      pos_ += n;  // at most 2^16 * 4 + 255: no overflow
      return true;
    }
    const uint64_t buffered = std::min<uint64_t>(n, end_ - pos_);
    pos_ += buffered;
    n -= buffered;
    return n == 0 || fseeko(fp_, off_t(n), SEEK_CUR) == 0;
  }

  // Bytes from the current position to the end of the file, or false if the stream cannot
  // tell (it is not seekable).
  bool Remaining(uint64_t* bytes) {
    if (!fp_) {
      *bytes = BytesLeft();
      return true;
    }
    const off_t here = ftello(fp_);
    if (here < 0 || fseeko(fp_, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(fp_);
    if (end < 0 || fseeko(fp_, here, SEEK_SET) != 0) return false;
    *bytes = (end > here ? uint64_t(end - here) : 0) + (end_ - pos_);
    return true;
  }

  // The bytes of a mapped file from the current position on, without copying them.
  const unsigned char* View() const { return fp_ ? nullptr : data_ + pos_; }

 private:
  uint64_t BytesLeft() const { return pos_ < size_ ? size_ - pos_ : 0; }

  bool Refill() {
    pos_ = 0;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), fp_);
    return end_ > 0;
  }

  FILE* fp_ = nullptr;
  std::vector<unsigned char> buffer_;
  const unsigned char* data_ = nullptr;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  uint64_t end_ = 0;
};

// Decodes run-length packets into texelCount texels of texelBytes each. Packets may cross row
// ends; decoding stops once the image is full, ignoring the rest of a longer packet.
bool DecodeRunLength(ByteSource* source, uint64_t texelCount, int texelBytes, unsigned char* out) {
  uint64_t texelsLeft = texelCount;
  unsigned char texel[31];  // depths up to 255 bits
  while (texelsLeft > 0) {
    unsigned char packet;
    if (!source->Read(&packet, 1)) return false;
    const uint64_t run = std::min<uint64_t>(uint64_t(packet & 0x7F) + 1, texelsLeft);
    if (packet & 0x80) {
      if (!source->Read(texel, uint64_t(texelBytes))) return false;
      for (uint64_t i = 0; i < run; ++i, out += texelBytes) std::memcpy(out, texel, size_t(texelBytes));
    } else {
      const uint64_t bytes = run * uint64_t(texelBytes);
      if (!source->Read(out, bytes)) return false;
      out += bytes;
    }
    texelsLeft -= run;
  }
  return true;
}

// Puts the rows bottom first and the texels of each row left to right.
void ToBottomLeftOrigin(unsigned char* texels, uint64_t width, uint64_t height, int texelBytes,
                        BYTE descriptor) {
  const uint64_t rowBytes = width * uint64_t(texelBytes);
  if (descriptor & kTopLeftOrigin) {
    std::vector<unsigned char> row(rowBytes);
    for (uint64_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
      unsigned char* a = texels + top * rowBytes;
      unsigned char* b = texels + bottom * rowBytes;
      std::memcpy(row.data(), a, rowBytes);
      std::memcpy(a, b, rowBytes);
      std::memcpy(b, row.data(), rowBytes);
    }
  }
  if (descriptor & kRightToLeft) {
    for (uint64_t y = 0; y < height; ++y) {
      unsigned char* row = texels + y * rowBytes;
      for (uint64_t left = 0, right = width - 1; left < right; ++left, --right)
        std::swap_ranges(row + left * texelBytes, row + (left + 1) * texelBytes,
                         row + right * texelBytes);
    }
  }
}

// Reads a whole Targa image from source. Where `view` is given and the texels can be used as
// they lie in a mapped file, *view points at them and nothing is allocated.
bool ReadImage(ByteSource* source, int* width, int* height, int* bitDepth,
               BwArray<unsigned char>* pixels, const unsigned char** view) {
  TGAHeaderInfo header;
  if (!source->Read(&header, sizeof header)) {
    BwDiagnostic("ERROR! Bad Targa header!\n");
    return false;
  }
  ZelByteSwap_TGAHeaderInfo(&header, 1);
  *width = header.imwidth;
  *height = header.imheight;
  *bitDepth = header.imdepth;

  const bool runLength = header.imtype == 10 || header.imtype == 11;
  if (header.imtype != 2 && header.imtype != 3 && !runLength) {
    BwDiagnostic("ERROR! Unsupported Targa image type %d!\n", int(header.imtype));
    return false;
  }

  // The image ID field, then a colour map if one is announced: ceil(cmsize / 8) bytes an entry.
  uint64_t skip = header.idlen;
  if (header.cmtype == 1) skip += uint64_t(header.cmcnt) * ((uint64_t(header.cmsize) + 7) / 8);
  if (!source->Skip(skip)) {
    BwDiagnostic("ERROR! Couldn't seek past Targa header!\n");
    return false;
  }

  // 16-bit width and height, at most 31 bytes a texel: below 2^37, no overflow in 64 bits.
  const int texelBytes = header.imdepth / 8;
  const uint64_t texelCount = uint64_t(header.imwidth) * header.imheight;
  const uint64_t byteCount = texelCount * uint64_t(texelBytes);

  // Refuse before allocating when the file cannot hold the texels: uncompressed data needs
  // every byte, run-length data at least one packet (1 + texelBytes) per 128 texels.
  if (byteCount > 0) {
    uint64_t bytesLeft = 0;
    if (!source->Remaining(&bytesLeft)) return ShortTexelData();
    const uint64_t needed =
        runLength ? (texelCount + 127) / 128 * (1 + uint64_t(texelBytes)) : byteCount;
    if (needed > bytesLeft) return ShortTexelData();
  }

  const bool asTheyLie = !runLength && !(header.imdesc & (kTopLeftOrigin | kRightToLeft));
  if (view && asTheyLie && source->View()) {
    *view = source->View();
    return true;
  }

  *pixels = BwAllocArray<unsigned char>(byteCount);
  if (!*pixels) {
    BwDiagnostic("ERROR allocating memory for pixels\n");
    return false;
  }
  if (byteCount == 0) return true;

  unsigned char* texels = pixels->get();
  if (runLength) {
    if (!DecodeRunLength(source, texelCount, texelBytes, texels)) return ShortTexelData();
  } else if (!source->ReadBlock(texels, byteCount)) {
    return ShortTexelData();
  }
  ToBottomLeftOrigin(texels, header.imwidth, header.imheight, texelBytes, header.imdesc);
  return true;
}

// A read-only mapping of the whole regular file behind fp, or null.
std::shared_ptr<const void> MapFile(FILE* fp, uint64_t* size) {
  const int fd = fileno(fp);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return nullptr;
  if (ftello(fp) != 0) return nullptr;
  const size_t bytes = size_t(st.st_size);
  void* data = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) return nullptr;
  *size = bytes;
  return std::shared_ptr<const void>(data, [bytes](const void* p) { munmap(const_cast<void*>(p), bytes); });
}

}  // namespace

// Reads a stream that cannot seek (a pipe) as far as its header allows: the header, the ID
// field and colour map, and at most the texel data the announced size can use (for run-length
// data, one packet per texel). The buffer grows only as data arrives, so a header that lies
// costs no more memory than the data really sent. *bytes may hold the first bytes of the stream
// already. False when memory runs out.
static bool ReadAnnounced(FILE* fp, std::vector<unsigned char>* bytes) {
  try {
    const size_t have = std::min(bytes->size(), sizeof(TGAHeaderInfo));
    bytes->resize(std::max(bytes->size(), sizeof(TGAHeaderInfo)));
    if (have < sizeof(TGAHeaderInfo))
      bytes->resize(have + std::fread(bytes->data() + have, 1, sizeof(TGAHeaderInfo) - have, fp));
    if (bytes->size() < sizeof(TGAHeaderInfo)) return true;  // refused as a bad header
    TGAHeaderInfo header;
    std::memcpy(&header, bytes->data(), sizeof header);
    ZelByteSwap_TGAHeaderInfo(&header, 1);
    const uint64_t texelBytes = header.imdepth / 8;
    const uint64_t texelCount = uint64_t(header.imwidth) * header.imheight;
    const bool runLength = header.imtype == 10 || header.imtype == 11;
    uint64_t limit = sizeof header + header.idlen +
                     (runLength ? texelCount * (1 + texelBytes) : texelCount * texelBytes);
    if (header.cmtype == 1) limit += uint64_t(header.cmcnt) * ((uint64_t(header.cmsize) + 7) / 8);
    std::vector<unsigned char> chunk(1 << 16);
    while (bytes->size() < limit) {
      const size_t want = size_t(std::min<uint64_t>(chunk.size(), limit - bytes->size()));
      const size_t got = std::fread(chunk.data(), 1, want, fp);
      if (got == 0) break;
      bytes->insert(bytes->end(), chunk.begin(), chunk.begin() + std::ptrdiff_t(got));
    }
    return true;
  } catch (const std::bad_alloc&) {
    BwDiagnostic("ERROR allocating memory for pixels\n");
    return false;
  }
}

bool TGAReadImage(FILE* fp, int* width, int* height, int* bitDepth, BwArray<unsigned char>* pixels,
                  const std::vector<unsigned char>& prefix) {
  if (ftello(fp) < 0) {
    std::vector<unsigned char> bytes = prefix;
    if (!ReadAnnounced(fp, &bytes)) return false;
    ByteSource source(bytes.data(), bytes.size());
    return ReadImage(&source, width, height, bitDepth, pixels, nullptr);
  }
  ByteSource source(fp);
  return ReadImage(&source, width, height, bitDepth, pixels, nullptr);
}

bool BwFileIntact(const BwFileIdentity& file) {
  if (!file.fd) return true;
  struct stat st;
  return fstat(*file.fd, &st) == 0 && uint64_t(st.st_size) == file.size;
}

bool TGAReadTexels(FILE* fp, int* width, int* height, int* bitDepth, TGATexels* texels,
                   bool mapFile, const std::vector<unsigned char>& prefix) {
  uint64_t size = 0;
  if (mapFile) texels->mapping = MapFile(fp, &size);
  if (!texels->mapping) {
    if (!TGAReadImage(fp, width, height, bitDepth, &texels->decoded, prefix)) return false;
    texels->data = texels->decoded.get();
    return true;
  }
  ByteSource source(static_cast<const unsigned char*>(texels->mapping.get()), size);
  const unsigned char* view = nullptr;
  if (!ReadImage(&source, width, height, bitDepth, &texels->decoded, &view)) return false;
  if (view) {
    texels->data = view;
    const int fd = dup(fileno(fp));
    if (fd >= 0) {
      texels->identity.fd = std::shared_ptr<const int>(new int(fd), [](const int* p) {
        close(*p);
        delete p;
      });
      texels->identity.size = size;
    }
  } else {
    texels->data = texels->decoded.get();
    texels->mapping.reset();
  }
  return true;
}

bool TGAWriteTexels(FILE* fp, int width, int height, int bitDepth, const BwTexelSource& source) {
  if (!fp) {
    BwDiagnostic("ERROR: NULL image or file pointer!\n");
    return false;
  }
  if (bitDepth != 24 && bitDepth != 32) {
    BwDiagnostic("ERROR! Can only write 24 and 32 bit images! This image is %d bits.\n",
                 bitDepth);
    return false;
  }
  const uint64_t texelBytes = uint64_t(bitDepth) / 8;
  const uint64_t total = uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0)) * texelBytes;

  TGAHeaderInfo header = {};
  header.imtype = 2;
  header.imwidth = WORD(width);
  header.imheight = WORD(height);
  header.imdepth = BYTE(bitDepth);
  header.imdesc = 8;
  ZelByteSwap_TGAHeaderInfo(&header, 1);
  if (std::fwrite(&header, sizeof header, 1, fp) != 1) {
    BwDiagnostic("ERROR! Targa header not written successfully!\n");
    return false;
  }
  ZelByteSwap_TGAHeaderInfo(&header, 1);

  uint64_t written = 0;
  uint64_t pieceBytes = 0;
  bool stopped = false;
  if (!BwWriteTexelPieces(fp, total, int(texelBytes), source, &written, &pieceBytes, &stopped)) {
    if (stopped) return false;
    if (pieceBytes == 0)
      BwDiagnostic("ERROR allocating memory for texel array!\n");
    else
      BwDiagnostic("ERROR! Texels not written successfully! Wrote %d instead of  %d\n",
                   int(written), int(pieceBytes));
    return false;
  }
  return true;
}

bool TGAWriteImage(FILE* fp, int width, int height, int bitDepth, const unsigned char* image,
                   bool aSwapRedBlue) {
  if (!image) fp = nullptr;  // reported as a null pointer below
  const uint64_t texelBytes = uint64_t(bitDepth) / 8;
  return TGAWriteTexels(fp, width, height, bitDepth,
                        [=](uint64_t offset, uint64_t bytes, unsigned char* out) {
                          const unsigned char* in = image + offset;
                          if (aSwapRedBlue) {
                            std::memcpy(out, in, bytes);
                            return true;
                          }
                          for (uint64_t i = 0; i < bytes; i += texelBytes) {
                            out[i] = in[i + 2];
                            out[i + 1] = in[i + 1];
                            out[i + 2] = in[i];
                            if (texelBytes == 4) out[i + 3] = in[i + 3];
                          }
                          return true;
                        });
}

// Targa: width and height at bytes 12 and 14 (little-endian), bits per texel at 16.
bool BwProbeTarga(const unsigned char* head, size_t n, uint64_t, BwImageProbe* probe) {
  if (n < 18) return false;
  const int imageType = head[2];
  if (imageType != 2 && imageType != 3 && imageType != 10 && imageType != 11) return false;
  if (!BwSetProbeSize(head[12] | head[13] << 8, head[14] | head[15] << 8, probe)) return false;
  const uint64_t texelBytes = (uint64_t(head[16]) + 7) / 8;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * texelBytes;
  return true;
}
