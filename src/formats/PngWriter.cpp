// PNG writing with parallel deflate; see PngWriter.h for the layout of the output.
#include "PngWriter.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Parallel.h"

namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Filtered bytes of one deflated segment, at least: large enough that the flush marker and the
// restart of the Huffman codes at each segment cost nothing measurable.
constexpr int64_t kSegmentBytes = int64_t(256) << 10;
// Segments compressed at the same time: enough to keep many CPUs busy.
constexpr int64_t kSegmentsPerBand = 32;
// zlib header for a 32 KiB window and the fastest compression level; (0x78 * 256 + 0x01) % 31
// is 0 as the format asks.
constexpr unsigned char kZlibHeader[2] = {0x78, 0x01};
constexpr int PAETH = 4;

void PutBigEndian32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

// A chunk of `length` data bytes: length, type, data, CRC of type and data.
std::vector<unsigned char> Chunk(const char* type, const unsigned char* data, uint32_t length) {
  std::vector<unsigned char> chunk(size_t(length) + 12);
  PutBigEndian32(chunk.data(), length);
  std::memcpy(chunk.data() + 4, type, 4);
  if (length > 0) std::memcpy(chunk.data() + 8, data, length);
  PutBigEndian32(chunk.data() + 8 + length, libdeflate_crc32(0, chunk.data() + 4, size_t(length) + 4));
  return chunk;
}

bool WriteAll(FILE* fp, const std::vector<unsigned char>& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
}

// The Paeth filter of one row: each byte minus whichever of its left, upper and upper-left
// neighbours (same sample, bytesPerTexel apart) is nearest left + upper - upper-left. Written
// without branches on the data so that it vectorises.
void PaethRow(const unsigned char* row, const unsigned char* up, int64_t bytes, int bytesPerTexel,
              unsigned char* out) {
  out[0] = PAETH;
  ++out;
  const int64_t first = std::min<int64_t>(bytesPerTexel, bytes);
  // No left neighbour: the prediction is the byte above.
  for (int64_t i = 0; i < first; ++i) out[i] = (unsigned char)(row[i] - up[i]);
  for (int64_t i = first; i < bytes; ++i) {
    const int a = row[i - bytesPerTexel], b = up[i], c = up[i - bytesPerTexel];
    const int pa = b > c ? b - c : c - b;          // |p - a|
    const int pb = a > c ? a - c : c - a;          // |p - b|
    const int pc = std::abs(a + b - c - c);        // |p - c|
    const int predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
    out[i] = (unsigned char)(row[i] - predicted);
  }
}

}  // namespace

bool BwPngWriter::Fail(std::string* error, const std::string& message) {
  failed_ = true;
  if (error) *error = "PNG: " + message;
  return false;
}

bool BwPngWriter::Begin(FILE* fp, int width, int height, int bits, int channels, std::string* error) {
  if (width < 1 || height < 1 || width > 65535 || height > 65535)
    return Fail(error, "cannot write an image of " + std::to_string(width) + " x " + std::to_string(height) +
                           " texels (1 to 65535 a side)");
  if ((bits != 8 && bits != 16) || channels < 1 || channels > 4)
    return Fail(error, "cannot write " + std::to_string(channels) + " channels of " + std::to_string(bits) + " bits");
  fp_ = fp;
  width_ = width;
  height_ = height;
  bits_ = bits;
  channels_ = channels;
  rowBytes_ = width_ * channels * (bits / 8);  // at most 65535 * 8
  segmentRows_ = std::max<int64_t>(1, kSegmentBytes / (rowBytes_ + 1));
  bandRows_ = std::min<int64_t>(height_, segmentRows_ * kSegmentsPerBand);
  rowsGiven_ = bandFill_ = 0;
  adler_ = 1;
  failed_ = false;
  try {
    segments_.assign(size_t(kSegmentsPerBand), Segment());
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
  // Band sizes: 65535 rows of 2^19 bytes at most, far below 2^63.
  band_ = BwAllocArray<unsigned char>(uint64_t(bandRows_ * rowBytes_));
  previous_ = BwAllocArray<unsigned char>(uint64_t(rowBytes_));
  filtered_ = BwAllocArray<unsigned char>(uint64_t(bandRows_ * (rowBytes_ + 1)));
  if (!band_ || !previous_ || !filtered_) return Fail(error, "out of memory");
  std::memset(previous_.get(), 0, size_t(rowBytes_));

  static const int kColourType[5] = {0, 0, 4, 2, 6};  // grey, grey + alpha, RGB, RGBA
  unsigned char ihdr[13];
  PutBigEndian32(ihdr, uint32_t(width));
  PutBigEndian32(ihdr + 4, uint32_t(height));
  ihdr[8] = (unsigned char)bits;
  ihdr[9] = (unsigned char)kColourType[channels];
  ihdr[10] = ihdr[11] = ihdr[12] = 0;  // deflate, adaptive filters, no interlacing
  if (std::fwrite(kSignature, 1, sizeof kSignature, fp_) != sizeof kSignature || !WriteAll(fp_, Chunk("IHDR", ihdr, 13)))
    return Fail(error, "write error");
  return true;
}

bool BwPngWriter::WriteRows(const void* rows, int64_t count, std::string* error) {
  if (failed_ || !fp_) return Fail(error, "writer not started");
  if (count < 0 || count > height_ - rowsGiven_) return Fail(error, "more rows than the image has");
  const unsigned char* in = static_cast<const unsigned char*>(rows);
  while (count > 0) {
    const int64_t take = std::min(count, bandRows_ - bandFill_);
    unsigned char* to = band_.get() + bandFill_ * rowBytes_;
    const int64_t bytes = take * rowBytes_;
    if (bits_ == 8) {
      std::memcpy(to, in, size_t(bytes));
    } else {
      // PNG samples are big-endian.
      for (int64_t i = 0; i < bytes; i += 2) {
        uint16_t v;
        std::memcpy(&v, in + i, 2);
        to[i] = (unsigned char)(v >> 8);
        to[i + 1] = (unsigned char)v;
      }
    }
    in += bytes;
    count -= take;
    bandFill_ += take;
    rowsGiven_ += take;
    if ((bandFill_ == bandRows_ || rowsGiven_ == height_) && !FlushBand(error)) return false;
  }
  return true;
}

bool BwPngWriter::End(std::string* error) {
  if (failed_ || !fp_) return Fail(error, "writer not started");
  if (rowsGiven_ != height_)
    return Fail(error, "image ended after " + std::to_string(rowsGiven_) + " of " + std::to_string(height_) + " rows");
  if (!WriteAll(fp_, Chunk("IEND", nullptr, 0))) return Fail(error, "write error");
  fp_ = nullptr;
  return true;
}

void BwPngWriter::FilterRows(int64_t begin, int64_t end) {
  const int bytesPerTexel = channels_ * bits_ / 8;
  for (int64_t r = begin; r < end; ++r) {
    const unsigned char* up = r == 0 ? previous_.get() : band_.get() + (r - 1) * rowBytes_;
    PaethRow(band_.get() + r * rowBytes_, up, rowBytes_, bytesPerTexel, filtered_.get() + r * (rowBytes_ + 1));
  }
}

// Deflates segment `index` of the band into its IDAT chunk (without the CRC when it is the
// image's last segment, whose chunk also gets the Adler-32 of the whole stream), with `z` made
// ready for raw deflate.
void BwPngWriter::CompressSegment(z_stream* z, int64_t index, int64_t segments, bool lastBand) {
  Segment& seg = segments_[size_t(index)];
  const int64_t filteredRow = rowBytes_ + 1;
  const int64_t firstRow = index * segmentRows_;
  const int64_t rows = std::min(segmentRows_, bandFill_ - firstRow);
  const unsigned char* in = filtered_.get() + firstRow * filteredRow;
  const uint64_t inBytes = uint64_t(rows * filteredRow);
  const bool firstOfImage = rowsGiven_ == bandFill_ && index == 0;
  const bool lastOfImage = lastBand && index == segments - 1;
  seg.ok = false;
  seg.inputBytes = inBytes;
  seg.adler = libdeflate_adler32(1, in, size_t(inBytes));
  if (deflateReset(z) != Z_OK) return;

  // Room for the chunk head, the zlib header, the deflated data with its flush marker, the
  // Adler-32 and the CRC; the buffer is kept from band to band.
  const size_t bound = size_t(deflateBound(z, uLong(inBytes))) + 64;
  try {
    if (seg.chunk.size() < 8 + 2 + bound + 4 + 4) seg.chunk.resize(8 + 2 + bound + 4 + 4);
  } catch (const std::bad_alloc&) {
    return;
  }
  unsigned char* data = seg.chunk.data() + 8;
  size_t head = 0;
  if (firstOfImage) {
    data[0] = kZlibHeader[0];
    data[1] = kZlibHeader[1];
    head = 2;
  }
  z->next_in = const_cast<unsigned char*>(in);
  z->avail_in = uInt(inBytes);
  z->next_out = data + head;
  z->avail_out = uInt(bound);
  const int flush = lastOfImage ? Z_FINISH : Z_SYNC_FLUSH;
  const int ret = deflate(z, flush);
  if ((lastOfImage ? ret != Z_STREAM_END : ret != Z_OK) || z->avail_in != 0 || z->avail_out == 0) return;
  const size_t length = head + (bound - z->avail_out);
  std::memcpy(seg.chunk.data() + 4, "IDAT", 4);
  PutBigEndian32(seg.chunk.data(), uint32_t(length));
  seg.length = 8 + length + 4;
  if (!lastOfImage) PutBigEndian32(seg.chunk.data() + 8 + length, libdeflate_crc32(0, seg.chunk.data() + 4, length + 4));
  seg.ok = true;
}

bool BwPngWriter::FlushBand(std::string* error) {
  const bool lastBand = rowsGiven_ == height_;
  BwParallelFor(bandFill_, 16, [this](int64_t begin, int64_t end) { FilterRows(begin, end); });
  const int64_t segments = (bandFill_ + segmentRows_ - 1) / segmentRows_;
  BwParallelFor(segments, 1, [this, segments, lastBand](int64_t begin, int64_t end) {
    // One stream for the segments of this range, reset between them: each segment is
    // deflated as if by a stream of its own.
    z_stream z;
    std::memset(&z, 0, sizeof z);
    // Raw deflate: the zlib header and checksum are written here, once for all segments. The
    // run-length strategy only refers to the byte before, so a segment needs no window of the
    // data before it: a zero byte before its first byte costs nothing measurable.
    const bool ready = deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_RLE) == Z_OK;
    for (int64_t s = begin; s < end; ++s) {
      segments_[size_t(s)].ok = false;
      if (ready) CompressSegment(&z, s, segments, lastBand);
    }
    if (!ready) return;
    deflateEnd(&z);
  });
  for (int64_t s = 0; s < segments; ++s) {
    Segment& seg = segments_[size_t(s)];
    if (!seg.ok) return Fail(error, "compression failed (out of memory?)");
    adler_ = uint32_t(adler32_combine(adler_, seg.adler, z_off_t(seg.inputBytes)));
    if (lastBand && s == segments - 1) {
      // The stream's checksum goes at the end of the last chunk's data, then the chunk's CRC.
      const size_t length = seg.length - 12;
      seg.length += 4;
      PutBigEndian32(seg.chunk.data() + 8 + length, adler_);
      PutBigEndian32(seg.chunk.data(), uint32_t(length + 4));
      PutBigEndian32(seg.chunk.data() + 12 + length, libdeflate_crc32(0, seg.chunk.data() + 4, length + 8));
    }
    if (std::fwrite(seg.chunk.data(), 1, seg.length, fp_) != seg.length) return Fail(error, "write error");
  }
  // The row above the next band's first row.
  std::memcpy(previous_.get(), band_.get() + (bandFill_ - 1) * rowBytes_, size_t(rowBytes_));
  bandFill_ = 0;
  return true;
}
