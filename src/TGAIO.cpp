// Targa reading and writing; see TGAIO.h for what is read and refused.
#include "TGAIO.h"

#include <algorithm>
#include <cstring>
#include <sys/types.h>
#include <vector>

#include "mac/MacSpecific.h"

namespace {

constexpr BYTE kTopLeftOrigin = 0x20;
constexpr BYTE kRightToLeft = 0x10;

bool ShortTexelData() {
  std::fprintf(stderr, "ERROR! Couldn't read texels!\n");
  return false;
}

// Bytes between the stream position and the end of the file, or false if the stream cannot
// tell (it is not seekable).
bool BytesLeft(FILE* fp, uint64_t* bytesLeft) {
  const off_t here = ftello(fp);
  if (here < 0 || fseeko(fp, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(fp);
  if (end < 0 || fseeko(fp, here, SEEK_SET) != 0) return false;
  *bytesLeft = end > here ? uint64_t(end - here) : 0;
  return true;
}

// Buffered reader over the run-length encoded stream; never reads past what the file holds.
class ByteSource {
 public:
  explicit ByteSource(FILE* fp) : fp_(fp), buffer_(1 << 16) {}

  // Copies n bytes to out; false if the file ends first.
  bool Read(unsigned char* out, size_t n) {
    while (n > 0) {
      if (pos_ == end_ && !Refill()) return false;
      const size_t take = std::min(n, end_ - pos_);
      std::memcpy(out, buffer_.data() + pos_, take);
      pos_ += take;
      out += take;
      n -= take;
    }
    return true;
  }

 private:
  bool Refill() {
    pos_ = 0;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), fp_);
    return end_ > 0;
  }

  FILE* fp_;
  std::vector<unsigned char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// Decodes run-length packets into texelCount texels of texelBytes each. Packets may cross row
// ends; decoding stops once the image is full, ignoring the rest of a longer packet.
bool DecodeRunLength(FILE* fp, uint64_t texelCount, int texelBytes, unsigned char* out) {
  ByteSource source(fp);
  uint64_t texelsLeft = texelCount;
  unsigned char texel[4];
  while (texelsLeft > 0) {
    unsigned char packet;
    if (!source.Read(&packet, 1)) return false;
    const uint64_t run = std::min<uint64_t>(uint64_t(packet & 0x7F) + 1, texelsLeft);
    if (packet & 0x80) {
      if (!source.Read(texel, size_t(texelBytes))) return false;
      for (uint64_t i = 0; i < run; ++i, out += texelBytes) std::memcpy(out, texel, size_t(texelBytes));
    } else {
      const size_t bytes = size_t(run) * size_t(texelBytes);
      if (!source.Read(out, bytes)) return false;
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

}  // namespace

bool TGAReadImage(FILE* fp, int* width, int* height, int* bitDepth, BwArray<unsigned char>* pixels) {
  TGAHeaderInfo header;
  if (std::fread(&header, sizeof header, 1, fp) != 1) {
    std::fprintf(stderr, "ERROR! Bad Targa header!\n");
    return false;
  }
  ZelByteSwap_TGAHeaderInfo(&header, 1);
  *width = header.imwidth;
  *height = header.imheight;
  *bitDepth = header.imdepth;

  const bool runLength = header.imtype == 10 || header.imtype == 11;
  if (header.imtype != 2 && header.imtype != 3 && !runLength) {
    std::fprintf(stderr, "ERROR! Unsupported Targa image type %d!\n", int(header.imtype));
    return false;
  }

  // The image ID field, then a colour map if one is announced: ceil(cmsize / 8) bytes an entry.
  uint64_t skip = header.idlen;
  if (header.cmtype == 1) skip += uint64_t(header.cmcnt) * ((uint64_t(header.cmsize) + 7) / 8);
  if (skip > 0 && fseeko(fp, off_t(skip), SEEK_CUR) != 0) {
    std::fprintf(stderr, "ERROR! Couldn't seek past Targa header!\n");
    return false;
  }

  // 16-bit width and height, at most 31 bytes a texel: below 2^37, no overflow in 64 bits.
  const int texelBytes = header.imdepth / 8;
  const uint64_t texelCount = uint64_t(header.imwidth) * header.imheight;
  const uint64_t byteCount = texelCount * uint64_t(texelBytes);

  // Refuse before allocating when the file cannot hold the texels: uncompressed data needs
  // every byte, run-length data at least one packet (1 + texelBytes) per 128 texels.
  uint64_t bytesLeft = 0;
  if (byteCount > 0) {
    if (!BytesLeft(fp, &bytesLeft)) return ShortTexelData();
    const uint64_t needed =
        runLength ? (texelCount + 127) / 128 * (1 + uint64_t(texelBytes)) : byteCount;
    if (needed > bytesLeft) return ShortTexelData();
  }

  *pixels = BwAllocArray<unsigned char>(byteCount);
  if (!*pixels) {
    std::fprintf(stderr, "ERROR allocating memory for pixels\n");
    return false;
  }
  if (byteCount == 0) return true;

  unsigned char* texels = pixels->get();
  if (runLength) {
    if (!DecodeRunLength(fp, texelCount, texelBytes, texels)) return ShortTexelData();
  } else if (std::fread(texels, 1, byteCount, fp) != byteCount) {
    return ShortTexelData();
  }
  ToBottomLeftOrigin(texels, header.imwidth, header.imheight, texelBytes, header.imdesc);
  return true;
}

bool TGAWriteImage(FILE* fp, int width, int height, int bitDepth, const unsigned char* image,
                   bool aSwapRedBlue) {
  if (!image || !fp) {
    std::fprintf(stderr, "ERROR: NULL image or file pointer!\n");
    return false;
  }
  if (bitDepth != 24 && bitDepth != 32) {
    std::fprintf(stderr, "ERROR! Can only write 24 and 32 bit images! This image is %d bits.\n",
                 bitDepth);
    return false;
  }
  const uint64_t texelBytes = uint64_t(bitDepth) / 8;
  const uint64_t total = uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0)) * texelBytes;

  // Texels are converted to file order one piece at a time, each piece one write.
  const uint64_t pieceBytes = std::min(total, TGA_WRITE_PIECE_BYTES);
  BwArray<unsigned char> piece = BwAllocArray<unsigned char>(pieceBytes);
  if (!piece) {
    std::fprintf(stderr, "ERROR allocating memory for texel array!\n");
    return false;
  }

  TGAHeaderInfo header = {};
  header.imtype = 2;
  header.imwidth = WORD(width);
  header.imheight = WORD(height);
  header.imdepth = BYTE(bitDepth);
  header.imdesc = 8;
  ZelByteSwap_TGAHeaderInfo(&header, 1);
  if (std::fwrite(&header, sizeof header, 1, fp) != 1) {
    std::fprintf(stderr, "ERROR! Targa header not written successfully!\n");
    return false;
  }
  ZelByteSwap_TGAHeaderInfo(&header, 1);

  for (uint64_t offset = 0; offset < total; offset += TGA_WRITE_PIECE_BYTES) {
    const uint64_t bytes = std::min(TGA_WRITE_PIECE_BYTES, total - offset);
    const unsigned char* in = image + offset;
    unsigned char* out = piece.get();
    if (aSwapRedBlue) {
      std::memcpy(out, in, bytes);
    } else {
      // Pieces hold whole texels: 8,192,000 is a multiple of 3 and of 4.
      for (uint64_t i = 0; i < bytes; i += texelBytes) {
        out[i] = in[i + 2];
        out[i + 1] = in[i + 1];
        out[i + 2] = in[i];
        if (texelBytes == 4) out[i + 3] = in[i + 3];
      }
    }
    const size_t written = std::fwrite(out, 1, bytes, fp);
    if (written < bytes) {
      std::fprintf(stderr, "ERROR! Texels not written successfully! Wrote %d instead of  %d\n",
                   int(written), int(bytes));
      return false;
    }
  }
  return true;
}
