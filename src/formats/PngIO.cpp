// PNG reading through libspng; see PngIO.h for what is read and refused.
#include "PngIO.h"
#include "ImageProbe.h"

#include <libdeflate.h>
#include <spng.h>
#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr unsigned char kSignature[BW_PNG_SIGNATURE_BYTES] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Largest width and height: what a Targa file can hold as well.
constexpr uint32_t kMaxSide = 65535;
// A deflate stream expands at most 1032 times (a 258-byte match from a 2-bit code).
constexpr uint64_t kMaxDeflateRatio = 1032;
// Ancillary chunks libspng keeps in memory: one at most, and all together.
constexpr size_t kMaxChunkBytes = size_t(16) << 20;
constexpr size_t kMaxCachedBytes = size_t(64) << 20;
// Text and sPLT chunks libspng keeps, of each kind (its own limit, which it does not let a
// caller change).
constexpr int kMaxChunkCount = 1000;

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = "PNG: " + message;
  return false;
}

// Names the first chunk that is cut short or fails its CRC. Only called once libspng has
// refused the file, to say where.
std::string FindBrokenChunk(const unsigned char* data, size_t size) {
  size_t pos = BW_PNG_SIGNATURE_BYTES;
  while (pos < size) {
    if (size - pos < 8) return "file ends inside a chunk header";
    const uint64_t length = BwLoadBE32(data + pos);
    const std::string type(reinterpret_cast<const char*>(data + pos + 4), 4);
    const bool printable = std::all_of(type.begin(), type.end(), [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
    const std::string name = printable ? "the " + type + " chunk" : "a chunk with a bad type";
    if (length > size - pos - 8 || size - pos - 8 - length < 4) return "file ends inside " + name;
    const uint32_t crc = uint32_t(crc32(0, data + pos + 4, uInt(length + 4)));
    if (crc != BwLoadBE32(data + pos + 8 + length)) return "bad CRC in " + name;
    if (type == "IEND") return "";
    pos += 12 + length;
  }
  return "file ends before the IEND chunk";
}

// Which of libspng's limits on ancillary chunks a file broke: the size of one, the size of all
// it keeps together, or how many of one kind there are.
std::string DescribeChunkLimit(const unsigned char* data, size_t size) {
  std::map<std::string, int> counts;
  uint64_t total = 0;
  for (size_t pos = BW_PNG_SIGNATURE_BYTES; size - pos >= 12 && pos < size;) {
    const uint64_t length = BwLoadBE32(data + pos);
    const std::string type(reinterpret_cast<const char*>(data + pos + 4), 4);
    const bool ancillary = (data[pos + 4] & 0x20) != 0;
    if (ancillary && length > kMaxChunkBytes)
      return "the " + type + " chunk holds " + std::to_string(length) + " bytes, more than the " +
             std::to_string(kMaxChunkBytes >> 20) + " MiB an ancillary chunk may";
    if (ancillary) total += length, ++counts[type];
    if (length > size - pos - 12) break;
    pos += 12 + length;
  }
  if (total > kMaxCachedBytes)
    return "the ancillary chunks hold more than " + std::to_string(kMaxCachedBytes >> 20) + " MiB together";
  const auto most = std::max_element(counts.begin(), counts.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  if (most != counts.end() && most->second > kMaxChunkCount)
    return "more than " + std::to_string(kMaxChunkCount) + " " + most->first + " chunks (" +
           std::to_string(most->second) + ")";
  return "too many ancillary chunks";
}

// One line for a libspng error code, naming the chunk where that helps.
std::string Describe(int code, const unsigned char* data, size_t size) {
  switch (code) {
    case SPNG_ESIGNATURE:
      return "not a PNG file (bad signature)";
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
      if (size < 24) break;
      return "image of " + std::to_string(BwLoadBE32(data + 16)) + " x " +
             std::to_string(BwLoadBE32(data + 20)) + " texels is too large (at most " +
             std::to_string(kMaxSide) + " x " + std::to_string(kMaxSide) + ")";
    case SPNG_ECHUNK_LIMITS:
      return DescribeChunkLimit(data, size);
    default:
      break;
  }
  // libspng inflates a chunk's data before it reads its CRC: a damaged chunk is reported as
  // bad zlib data unless its CRC is checked here first.
  const std::string broken = FindBrokenChunk(data, size);
  if (!broken.empty()) return broken;
  if (code == SPNG_EZLIB || code == SPNG_EIDAT_STREAM) return "bad zlib data in the IDAT chunks";
  if (code == SPNG_EIDAT_TOO_SHORT) return "image data ends before the last row";
  return spng_strerror(code);
}

// The libspng output format for a PNG colour type and depth, and what it yields.
struct Layout {
  int format;
  int flags;
  int channels;
  int bits;
};

Layout ChooseLayout(const spng_ihdr& ihdr, bool hasTrns) {
  const int deep = ihdr.bit_depth == 16;
  switch (ihdr.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
      if (deep) return hasTrns ? Layout{SPNG_FMT_GA16, SPNG_DECODE_TRNS, 2, 16} : Layout{SPNG_FMT_PNG, 0, 1, 16};
      if (hasTrns) return {SPNG_FMT_GA8, SPNG_DECODE_TRNS, 2, 8};
      return {ihdr.bit_depth == 8 ? SPNG_FMT_PNG : SPNG_FMT_G8, 0, 1, 8};
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
      return {SPNG_FMT_PNG, 0, 2, deep ? 16 : 8};
    case SPNG_COLOR_TYPE_TRUECOLOR:
      if (deep) return hasTrns ? Layout{SPNG_FMT_RGBA16, SPNG_DECODE_TRNS, 4, 16} : Layout{SPNG_FMT_PNG, 0, 3, 16};
      // The file's own layout where no conversion is needed: libspng copies it fastest.
      return hasTrns ? Layout{SPNG_FMT_RGBA8, SPNG_DECODE_TRNS, 4, 8} : Layout{SPNG_FMT_PNG, 0, 3, 8};
    case SPNG_COLOR_TYPE_INDEXED:
      return hasTrns ? Layout{SPNG_FMT_RGBA8, SPNG_DECODE_TRNS, 4, 8} : Layout{SPNG_FMT_RGB8, 0, 3, 8};
    default:  // SPNG_COLOR_TYPE_TRUECOLOR_ALPHA; libspng has refused any other type
      return {SPNG_FMT_PNG, 0, 4, deep ? 16 : 8};
  }
}

// Samples per texel of a PNG colour type as stored in the file.
int StoredSamples(int colorType) {
  switch (colorType) {
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR: return 3;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA: return 4;
    default: return 1;
  }
}

// Undoing the row filters. Row bytes are filtered against the byte `texelBytes` to the left
// (a), the byte above (b) and the one above and to the left (c); a and c are 0 in the first
// texel, b and c in the top row.
enum Filter { NONE = 0, SUB = 1, UP = 2, AVERAGE = 3, PAETH = 4 };

// Bytes readable and writable past the end of a row: texels are loaded and stored eight bytes
// at a time.
constexpr int64_t kRowSlack = 8;

#if defined(__SSE2__)
// The first bytes of a texel as 16-bit lanes (the lanes past the texel are ignored).
__m128i LoadTexel(const unsigned char* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

__m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// Sub, average and Paeth depend on the texel just made, so they run a texel at a time, its
// bytes side by side in 16-bit lanes; each store runs past the texel into the next.
template <int Bytes, int Kind>
void UnfilterTexels(const unsigned char* in, const unsigned char* up, int64_t rowBytes, unsigned char* out) {
  const __m128i low = _mm_set1_epi16(0xFF);
  __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
  for (int64_t x = 0; x < rowBytes; x += Bytes) {
    const __m128i d = LoadTexel(in + x);
    const __m128i b = LoadTexel(up + x);
    __m128i predicted;
    if (Kind == SUB) {
      predicted = a;
    } else if (Kind == AVERAGE) {
      predicted = _mm_srli_epi16(_mm_add_epi16(a, b), 1);
    } else {
      // The nearest of a, b, c to a + b - c, ties going to a, then b.
      const __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a, c);
      const __m128i pc = Abs16(_mm_add_epi16(pa, pb));
      const __m128i absA = Abs16(pa), absB = Abs16(pb);
      const __m128i least = _mm_min_epi16(_mm_min_epi16(absA, absB), pc);
      const __m128i takeA = _mm_cmpeq_epi16(absA, least), takeB = _mm_cmpeq_epi16(absB, least);
      const __m128i bOrC = _mm_or_si128(_mm_and_si128(takeB, b), _mm_andnot_si128(takeB, c));
      predicted = _mm_or_si128(_mm_and_si128(takeA, a), _mm_andnot_si128(takeA, bOrC));
    }
    a = _mm_and_si128(_mm_add_epi16(d, predicted), low);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(a, a));
    c = b;
  }
}
#else
template <int Bytes, int Kind>
void UnfilterTexels(const unsigned char* in, const unsigned char* up, int64_t rowBytes, unsigned char* out) {
  for (int64_t i = 0; i < rowBytes; ++i) {
    const int a = i >= Bytes ? out[i - Bytes] : 0, b = up[i], c = i >= Bytes ? up[i - Bytes] : 0;
    int predicted = a;
    if (Kind == AVERAGE) {
      predicted = (a + b) >> 1;
    } else if (Kind == PAETH) {
      const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - c - c);
      predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
    out[i] = (unsigned char)(in[i] + predicted);
  }
}
#endif

template <int Bytes>
void UnfilterTexels(int filter, const unsigned char* in, const unsigned char* up, int64_t rowBytes,
                    unsigned char* out) {
  if (filter == SUB) UnfilterTexels<Bytes, SUB>(in, up, rowBytes, out);
  if (filter == AVERAGE) UnfilterTexels<Bytes, AVERAGE>(in, up, rowBytes, out);
  if (filter == PAETH) UnfilterTexels<Bytes, PAETH>(in, up, rowBytes, out);
}

// Undoes one row's filter: `in` the filtered bytes, `up` the row above as made, `out` the row;
// each with kRowSlack bytes after it. False for an unknown filter.
bool UnfilterRow(int filter, const unsigned char* in, const unsigned char* up, int64_t rowBytes, int texelBytes,
                 unsigned char* out) {
  if (filter == NONE) {
    std::memcpy(out, in, size_t(rowBytes));
    return true;
  }
  if (filter == UP) {
    for (int64_t i = 0; i < rowBytes; ++i) out[i] = (unsigned char)(in[i] + up[i]);
    return true;
  }
  if (filter != SUB && filter != AVERAGE && filter != PAETH) return false;
  switch (texelBytes) {
    case 1: UnfilterTexels<1>(filter, in, up, rowBytes, out); break;
    case 2: UnfilterTexels<2>(filter, in, up, rowBytes, out); break;
    case 3: UnfilterTexels<3>(filter, in, up, rowBytes, out); break;
    case 4: UnfilterTexels<4>(filter, in, up, rowBytes, out); break;
    case 6: UnfilterTexels<6>(filter, in, up, rowBytes, out); break;
    default: UnfilterTexels<8>(filter, in, up, rowBytes, out); break;
  }
  return true;
}

struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The image of a PNG file that holds nothing unusual after its header chunks (which libspng has
// read and checked): one run of IDAT chunks with good CRCs, one zlib stream in them that inflates
// to exactly the filtered rows, filters 0 to 4, then IEND and the end of the file. The whole
// stream is inflated at once, much faster than row by row. False for anything else, and the
// file is then read the ordinary way, which names what is wrong with it; so every file either
// reads here as it would there or is left to it. With `writable` (data itself, which may be
// changed) several IDAT chunks' data are joined in place, and put back if the file is left
// to libspng; else they are joined in a copy.
bool DecodeWhole(const unsigned char* data, unsigned char* writable, size_t size, const spng_ihdr& ihdr,
                 const Layout& layout, BwArray<unsigned char>* texels) {
  size_t pos = BW_PNG_SIGNATURE_BYTES;
  while (size - pos >= 12 && std::memcmp(data + pos + 4, "IDAT", 4) != 0) {
    const uint64_t length = BwLoadBE32(data + pos);
    if (length > size - pos - 12) return false;
    pos += 12 + length;
  }
  // The IDAT chunks' data, joined when there are several.
  std::vector<std::pair<size_t, size_t>> pieces;  // offset and length in the file
  uint64_t compressedBytes = 0;
  for (; size - pos >= 12 && std::memcmp(data + pos + 4, "IDAT", 4) == 0; pos += 12 + pieces.back().second) {
    const uint64_t length = BwLoadBE32(data + pos);
    if (length > size - pos - 12) return false;
    const uint32_t crc = libdeflate_crc32(0, data + pos + 4, size_t(length) + 4);
    if (crc != BwLoadBE32(data + pos + 8 + length)) return false;
    pieces.emplace_back(pos + 8, size_t(length));
    compressedBytes += length;
  }
  static const unsigned char kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  if (pieces.empty() || size - pos != 12 || std::memcmp(data + pos, kIend, 12) != 0) return false;
  // Each row is its filter byte and its bytes; the rows are made in place, top row first, each
  // moving down by the filter bytes before it, then turned over to go bottom row first.
  const int64_t width = ihdr.width, height = ihdr.height;
  const int texelBytes = layout.channels * layout.bits / 8;
  const int64_t rowBytes = width * texelBytes;
  const uint64_t filteredBytes = uint64_t(height) * uint64_t(rowBytes + 1);
  BwArray<unsigned char> rows = BwAllocArray<unsigned char>(filteredBytes + kRowSlack);
  std::unique_ptr<libdeflate_decompressor, DecompressorFree> inflater(libdeflate_alloc_decompressor());
  if (!rows || !inflater) return false;

  BwArray<unsigned char> joined;
  const unsigned char* stream = data + pieces[0].first;
  // In place, each chunk's data moves down over the CRC and head between it and the one
  // before; those 12 bytes are kept to put the file back as it was.
  std::vector<unsigned char> between;
  struct PutBack {
    unsigned char* file;
    const std::vector<std::pair<size_t, size_t>>& pieces;
    const std::vector<unsigned char>& between;
    ~PutBack() {
      if (!file || between.empty()) return;
      size_t end = pieces[0].first;  // the end of the joined data
      for (const auto& piece : pieces) end += piece.second;
      for (size_t i = pieces.size(); i-- > 1;) {
        end -= pieces[i].second;
        std::memmove(file + pieces[i].first, file + end, pieces[i].second);
        std::memcpy(file + pieces[i].first - 12, between.data() + (i - 1) * 12, 12);
      }
    }
  } putBack{nullptr, pieces, between};
  if (pieces.size() > 1 && writable) {
    between.resize((pieces.size() - 1) * 12);
    size_t at = pieces[0].first + pieces[0].second;
    for (size_t i = 1; i < pieces.size(); ++i) {
      std::memcpy(between.data() + (i - 1) * 12, writable + pieces[i].first - 12, 12);
      std::memmove(writable + at, writable + pieces[i].first, pieces[i].second);
      at += pieces[i].second;
    }
    putBack.file = writable;
  } else if (pieces.size() > 1) {
    if (!(joined = BwAllocArray<unsigned char>(compressedBytes))) return false;
    size_t at = 0;
    for (const auto& piece : pieces) std::memcpy(joined.get() + at, data + piece.first, piece.second), at += piece.second;
    stream = joined.get();
  }
  size_t used = 0;
  if (libdeflate_zlib_decompress_ex(inflater.get(), stream, size_t(compressedBytes), rows.get(), size_t(filteredBytes),
                                    &used, nullptr) != LIBDEFLATE_SUCCESS ||
      used != compressedBytes)
    return false;
  joined.reset();

  // This row and the one above, as made (zeros above the top row).
  const int64_t madeStride = rowBytes + kRowSlack;
  std::vector<unsigned char> made(size_t(madeStride) * 2, 0);
  for (int64_t y = 0; y < height; ++y) {
    unsigned char* row = made.data() + (y % 2) * madeStride;
    const unsigned char* above = made.data() + ((y + 1) % 2) * madeStride;
    const unsigned char* in = rows.get() + y * (rowBytes + 1);
    if (!UnfilterRow(in[0], in + 1, above, rowBytes, texelBytes, row)) return false;
    BwCopyDecodedTexels(row, rows.get() + y * rowBytes, uint64_t(width), layout.channels, layout.bits, true);
  }
  BwFlipRows(rows.get(), uint64_t(rowBytes), uint64_t(height));
  *texels = std::move(rows);
  putBack.file = nullptr;  // the file is not read again
  return true;
}

// A PNG file read as it streams: libspng takes the bytes as it needs them, so it reads no
// further than the end of the image's chunks. What was read is kept to name a fault found.
struct Stream {
  FILE* fp;
  std::vector<unsigned char> seen;  // the bytes read so far, the first ones given beforehand
  size_t served = 0;                // of them, how many libspng has had
  // Most bytes the file may take: the header at first, then what its image can need.
  uint64_t limit = uint64_t(1) << 20;
  bool overLimit = false;
};

int ReadStream(spng_ctx*, void* user, void* dest, size_t length) {
  Stream* s = static_cast<Stream*>(user);
  unsigned char* out = static_cast<unsigned char*>(dest);
  const size_t given = std::min(length, s->seen.size() - s->served);
  if (s->served + length > s->limit) {
    s->overLimit = true;
    return SPNG_IO_ERROR;
  }
  std::memcpy(out, s->seen.data() + s->served, given);
  s->served += given;
  const size_t read = std::fread(out + given, 1, length - given, s->fp);
  s->seen.insert(s->seen.end(), out + given, out + given + read);
  s->served += read;
  return given + read == length ? 0 : std::ferror(s->fp) ? SPNG_IO_ERROR : SPNG_IO_EOF;
}

// Decodes the PNG file held in data[0, size), or, with a stream, the one it delivers (data and
// size then grow as it is read). `writable`, when given, is data, which may be changed while
// it is read.
bool Decode(const unsigned char* data, size_t size, Stream* stream, BwDecodedImage* image, std::string* error,
            unsigned char* writable = nullptr) {
  const auto bytes = [&] { return stream ? stream->seen.data() : data; };
  const auto count = [&] { return stream ? stream->seen.size() : size; };
  if (!BwIsPng(bytes(), count())) return Fail(error, Describe(SPNG_ESIGNATURE, bytes(), count()));
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(0));
  if (!ctx) return Fail(error, "out of memory");
  spng_ctx* c = ctx.get();
  int ret = spng_set_image_limits(c, kMaxSide, kMaxSide);
  if (!ret) ret = spng_set_chunk_limits(c, kMaxChunkBytes, kMaxCachedBytes);
  if (!ret) ret = spng_set_crc_action(c, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
  if (!ret) ret = stream ? spng_set_png_stream(c, ReadStream, stream) : spng_set_png_buffer(c, data, size);
  if (ret) return Fail(error, spng_strerror(ret));
  // From here on a failure is described from the bytes read so far.
  std::string overLimit = "the stream goes on past where an IHDR chunk could be";
  const auto describe = [&](int code) {
    return stream && stream->overLimit ? overLimit : Describe(code, bytes(), count());
  };

  spng_ihdr ihdr;
  if ((ret = spng_get_ihdr(c, &ihdr)) != 0) return Fail(error, describe(ret));
  const uint64_t width = ihdr.width, height = ihdr.height;
  // Sides below 2^16, at most 64 bits a texel: the products stay below 2^38. (A stream's size
  // is not known beforehand; it is read only as far as the image goes.)
  const uint64_t storedBytes = height * ((width * uint64_t(StoredSamples(ihdr.color_type)) * ihdr.bit_depth + 7) / 8);
  if (!stream && storedBytes > kMaxDeflateRatio * uint64_t(size))
    return Fail(error, "image of " + std::to_string(width) + " x " + std::to_string(height) +
                           " texels holds more data than the file could");
  // A stream that goes on past twice the stored image and every ancillary chunk libspng keeps
  // is not a PNG file of that image (an endless pipe behind a signature, say).
  if (stream) stream->limit = 2 * storedBytes + kMaxCachedBytes + (uint64_t(1) << 20);
  overLimit = "the stream goes on past what an image of " + std::to_string(width) + " x " +
              std::to_string(height) + " texels could need";

  spng_trns trns;
  ret = spng_get_trns(c, &trns);
  if (ret != 0 && ret != SPNG_ECHUNKAVAIL) return Fail(error, describe(ret));
  const Layout layout = ChooseLayout(ihdr, ret == 0);

  const uint64_t rowBytes = width * uint64_t(layout.channels * layout.bits / 8);
  const uint64_t total = rowBytes * height;
  size_t spngTotal = 0;
  if ((ret = spng_decoded_image_size(c, layout.format, &spngTotal)) != 0) return Fail(error, describe(ret));
  if (spngTotal != total) return Fail(error, "unexpected decoded size");
  // Samples as the file stores them, in a file held whole: inflated at once; anything else (or a
  // whole file that path turns down) row by row through libspng.
  BwArray<unsigned char> texels;
  const bool whole = !stream && layout.format == SPNG_FMT_PNG && ihdr.bit_depth >= 8 &&
                     ihdr.interlace_method == SPNG_INTERLACE_NONE &&
                     DecodeWhole(data, writable, size, ihdr, layout, &texels);
  if (!whole) {
    texels = BwAllocArray<unsigned char>(total);
    if (!texels)
      return Fail(error, "not enough memory for an image of " + std::to_string(width) + " x " +
                             std::to_string(height) + " texels");

    if ((ret = spng_decode_image(c, nullptr, 0, layout.format, layout.flags | SPNG_DECODE_PROGRESSIVE)) != 0)
      return Fail(error, describe(ret));
    // Rows arrive top row first (for interlaced images once per pass, each pass adding texels to
    // rows already begun); each goes straight to its place counted from the bottom.
    const bool interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
    do {
      spng_row_info row;
      if ((ret = spng_get_row_info(c, &row)) != 0) break;
      if (row.row_num >= height) return Fail(error, "row out of range");
      unsigned char* out = texels.get() + (height - 1 - row.row_num) * rowBytes;
      ret = spng_decode_row(c, out, size_t(rowBytes));
      if ((ret == 0 || ret == SPNG_EOI) && !interlaced)
        BwCopyDecodedTexels(out, out, width, layout.channels, layout.bits, false);
    } while (ret == 0);
    if (ret != SPNG_EOI) return Fail(error, describe(ret));
    // The chunks after the image data, up to IEND, with their CRCs.
    if ((ret = spng_decode_chunks(c)) != 0) return Fail(error, describe(ret));
    if (interlaced) BwCopyDecodedTexels(texels.get(), texels.get(), width * height, layout.channels, layout.bits, false);
  }

  image->width = int(width);
  image->height = int(height);
  image->channels = layout.channels;
  image->bits = layout.bits;
  image->data = std::move(texels);
  return true;
}

}  // namespace

bool BwIsPng(const unsigned char* head, size_t n) {
  return n >= BW_PNG_SIGNATURE_BYTES && std::memcmp(head, kSignature, BW_PNG_SIGNATURE_BYTES) == 0;
}

bool BwReadPngMemory(const unsigned char* data, size_t size, BwDecodedImage* image, std::string* error) {
  try {
    return Decode(data, size, nullptr, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

bool BwReadPng(FILE* fp, BwDecodedImage* image, std::string* error) {
  // The whole file first: its size bounds the image it can hold before anything large is
  // allocated, and a pipe is read like a regular file. A regular file goes into a buffer of its
  // size (large pages, not filled beforehand); if it turns out longer, the rest is appended.
  try {
    struct stat info;
    const off_t here = ftello(fp);
    if (fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode) && here >= 0 && info.st_size > here) {
      const size_t expected = size_t(info.st_size - here);
      BwArray<unsigned char> file = BwAllocArray<unsigned char>(expected);
      if (!file) return Fail(error, "out of memory");
      const size_t got = std::fread(file.get(), 1, expected, fp);
      if (got == expected && std::fgetc(fp) != EOF) {
        std::vector<unsigned char> bytes(file.get(), file.get() + got);
        file.reset();
        if (fseeko(fp, here + off_t(got), SEEK_SET) != 0 || !BwReadToEnd(fp, &bytes))
          return Fail(error, "read error");
        return Decode(bytes.data(), bytes.size(), nullptr, image, error);
      }
      if (std::ferror(fp)) return Fail(error, "read error");
      return Decode(file.get(), got, nullptr, image, error, file.get());
    }
    std::vector<unsigned char> bytes;
    if (!BwReadToEnd(fp, &bytes)) return Fail(error, "read error");
    return Decode(bytes.data(), bytes.size(), nullptr, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

bool BwReadPngStream(FILE* fp, const unsigned char* head, size_t headBytes, BwDecodedImage* image,
                     std::string* error) {
  try {
    Stream stream{fp, std::vector<unsigned char>(head, head + headBytes)};
    return Decode(nullptr, 0, &stream, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

// The IHDR chunk follows the signature: length 13, "IHDR", width, height (big-endian), bit
// depth, colour type.
bool BwProbePng(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  if (n < 26 || std::memcmp(head + 12, "IHDR", 4) != 0) return false;
  if (!BwSetProbeSize(BwLoadBE32(head + 16), BwLoadBE32(head + 20), probe)) return false;
  const int depth = head[24];
  const int colourType = head[25];
  // Palettes become colour; a tRNS chunk, which may come later, adds an alpha channel, so the
  // channels counted are those with alpha.
  static const int kChannels[7] = {2, 0, 4, 4, 2, 0, 4};
  if (colourType > 6 || kChannels[colourType] == 0) return false;
  const uint64_t channels = uint64_t(kChannels[colourType]);
  const uint64_t sampleBytes = depth == 16 ? 2 : 1;
  // Sides below 2^16, at most 4 channels of 2 bytes: below 2^35.
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * channels * sampleBytes + fileBytes;
  return true;
}
