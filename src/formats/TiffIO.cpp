// TIFF reading and writing through libtiff; see TiffIO.h for what is read, refused and written.
#include "TiffIO.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <dlfcn.h>
#include <cstdarg>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Parallel.h"
#include "ImageProbe.h"

#include <libdeflate.h>

namespace {

constexpr int64_t kMaxSide = 65535;
constexpr uint32_t kStripRows = 32;
// libdeflate's level 7: on merged maps smaller strips than zlib's level 6 (which level 6 of
// libdeflate is not always), and two to four times faster.
constexpr int kZipLevel = 7;
// A strip whose bytes carry more than this many bits each (their order-0 entropy) is noise-like:
// matches are rare, every level leaves it at about its entropy (level 7 often a little above
// level 1), and level 1 gets there in a third of level 7's time.
constexpr int kNoiseZipLevel = 1;
constexpr double kNoiseBits = 6.8;
// Most bytes libtiff may allocate at once for its own tables.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t(256) << 20;
struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
// Largest tile buffer allowed whatever the image's size (a small image may have large tiles).
constexpr uint64_t kSmallTileBytes = uint64_t(1) << 20;

// libtiff, opened the first time a TIFF file is read, probed or written instead of when the
// program starts: it brings seven more libraries with it, which would add about half a
// millisecond to every start of the tool. It stays open until the process ends.
struct TiffLibrary {
  decltype(&TIFFClientOpenExt) ClientOpenExt;
  decltype(&TIFFClose) Close;
  decltype(&TIFFComputeStrip) ComputeStrip;
  decltype(&TIFFComputeTile) ComputeTile;
  decltype(&TIFFGetField) GetField;
  decltype(&TIFFGetFieldDefaulted) GetFieldDefaulted;
  decltype(&TIFFGetStrileByteCount) GetStrileByteCount;
  decltype(&TIFFIsCODECConfigured) IsCODECConfigured;
  decltype(&TIFFIsTiled) IsTiled;
  decltype(&TIFFOpenOptionsAlloc) OpenOptionsAlloc;
  decltype(&TIFFOpenOptionsFree) OpenOptionsFree;
  decltype(&TIFFOpenOptionsSetErrorHandlerExtR) OpenOptionsSetErrorHandlerExtR;
  decltype(&TIFFOpenOptionsSetMaxSingleMemAlloc) OpenOptionsSetMaxSingleMemAlloc;
  decltype(&TIFFOpenOptionsSetWarningHandlerExtR) OpenOptionsSetWarningHandlerExtR;
  decltype(&TIFFReadEncodedStrip) ReadEncodedStrip;
  decltype(&TIFFReadEncodedTile) ReadEncodedTile;
  decltype(&TIFFSetField) SetField;
  decltype(&TIFFWriteDirectory) WriteDirectory;
  decltype(&TIFFWriteRawStrip) WriteRawStrip;
};

// The library's functions, or null (with the reason in *why) when it cannot be opened.
const TiffLibrary* LoadTiff(std::string* why) {
  static std::string failure;
  static const TiffLibrary* const loaded = []() -> const TiffLibrary* {
    static TiffLibrary library;
    void* handle = dlopen(BW_TIFF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* reason = dlerror();
      failure = std::string("cannot load " BW_TIFF_LIBRARY) + (reason ? std::string(": ") + reason : "");
      return nullptr;
    }
    bool complete = true;
    const auto Load = [&](auto* slot, const char* name) {
      void* symbol = dlsym(handle, name);
      if (!symbol && complete) failure = std::string(BW_TIFF_LIBRARY " has no ") + name;
      complete = complete && symbol;
      std::memcpy(slot, &symbol, sizeof symbol);
    };
      Load(&library.ClientOpenExt, "TIFFClientOpenExt");
      Load(&library.Close, "TIFFClose");
      Load(&library.ComputeStrip, "TIFFComputeStrip");
      Load(&library.ComputeTile, "TIFFComputeTile");
      Load(&library.GetField, "TIFFGetField");
      Load(&library.GetFieldDefaulted, "TIFFGetFieldDefaulted");
      Load(&library.GetStrileByteCount, "TIFFGetStrileByteCount");
      Load(&library.IsCODECConfigured, "TIFFIsCODECConfigured");
      Load(&library.IsTiled, "TIFFIsTiled");
      Load(&library.OpenOptionsAlloc, "TIFFOpenOptionsAlloc");
      Load(&library.OpenOptionsFree, "TIFFOpenOptionsFree");
      Load(&library.OpenOptionsSetErrorHandlerExtR, "TIFFOpenOptionsSetErrorHandlerExtR");
      Load(&library.OpenOptionsSetMaxSingleMemAlloc, "TIFFOpenOptionsSetMaxSingleMemAlloc");
      Load(&library.OpenOptionsSetWarningHandlerExtR, "TIFFOpenOptionsSetWarningHandlerExtR");
      Load(&library.ReadEncodedStrip, "TIFFReadEncodedStrip");
      Load(&library.ReadEncodedTile, "TIFFReadEncodedTile");
      Load(&library.SetField, "TIFFSetField");
      Load(&library.WriteDirectory, "TIFFWriteDirectory");
      Load(&library.WriteRawStrip, "TIFFWriteRawStrip");
    return complete ? &library : nullptr;
  }();
  if (!loaded && why) *why = "TIFF: " + failure;
  return loaded;
}

// The loaded library; only called once an entry point has had LoadTiff succeed.
const TiffLibrary& Tiff() { return *LoadTiff(nullptr); }

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = "TIFF: " + message;
  return false;
}

// libtiff's first error message, kept instead of printed; warnings are dropped.
int KeepError(TIFF*, void* user, const char* module, const char* format, va_list args) {
  std::string* message = static_cast<std::string*>(user);
  if (message->empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    *message = (module && *module ? std::string(module) + ": " : std::string()) + text;
    std::replace(message->begin(), message->end(), '\n', ' ');
  }
  return 1;
}
int DropWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsFree {
  void operator()(TIFFOpenOptions* options) const { Tiff().OpenOptionsFree(options); }
};

std::unique_ptr<TIFFOpenOptions, OptionsFree> Options(std::string* message) {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(Tiff().OpenOptionsAlloc());
  if (!options) throw std::bad_alloc();
  Tiff().OpenOptionsSetErrorHandlerExtR(options.get(), KeepError, message);
  Tiff().OpenOptionsSetWarningHandlerExtR(options.get(), DropWarning, nullptr);
  Tiff().OpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxLibraryAllocation);
  return options;
}

struct TiffClose {
  void operator()(TIFF* tif) const { Tiff().Close(tif); }
};

// ---- Reading --------------------------------------------------------------------------------

// Where libtiff's reads come from: a file in memory, or a regular file read at offsets.
struct Source {
  const unsigned char* data = nullptr;
  int fd = -1;
  uint64_t base = 0;  // file offset of the TIFF's first byte (fd)
  uint64_t size = 0;
  uint64_t position = 0;
};

tmsize_t ReadSource(thandle_t handle, void* buffer, tmsize_t bytes) {
  Source* s = static_cast<Source*>(handle);
  if (bytes < 0 || s->position >= s->size) return 0;
  const uint64_t n = std::min<uint64_t>(uint64_t(bytes), s->size - s->position);
  uint64_t done = 0;
  if (s->data) {
    std::memcpy(buffer, s->data + s->position, size_t(n));
    done = n;
  }
  while (!s->data && done < n) {
    const ssize_t got = pread(s->fd, static_cast<unsigned char*>(buffer) + done, size_t(n - done),
                              off_t(s->base + s->position + done));
    if (got <= 0) break;
    done += uint64_t(got);
  }
  s->position += done;
  return tmsize_t(done);
}
tmsize_t NoWrite(thandle_t, void*, tmsize_t) { return -1; }
// Moves `position` as libtiff's seek callbacks do, `end` being the stream's end.
toff_t Seek(uint64_t* position, uint64_t end, toff_t offset, int whence) {
  const uint64_t from = whence == SEEK_CUR ? *position : whence == SEEK_END ? end : 0;
  if (offset > UINT64_MAX - from) return toff_t(-1);
  *position = from + offset;
  return *position;
}
toff_t SeekSource(thandle_t handle, toff_t offset, int whence) {
  Source* s = static_cast<Source*>(handle);
  return Seek(&s->position, s->size, offset, whence);
}
int CloseNothing(thandle_t) { return 0; }
toff_t SourceSize(thandle_t handle) { return static_cast<Source*>(handle)->size; }
int NoMap(thandle_t, void**, toff_t*) { return 0; }
void NoUnmap(thandle_t, void*, toff_t) {}

// How many times its stored size a strip or tile may decode to: the most each compression can
// expand (a 9-bit LZW code stands for at most 4096 bytes; deflate expands at most 1032 times;
// a PackBits run of 128 bytes takes 2; Huffman-coded JPEG spends at least one bit on each 8 x 8
// block of 8-bit samples of each component), and a generous bound for the others.
uint64_t MaxExpansion(uint16_t compression) {
  switch (compression) {
    case COMPRESSION_NONE: return 1;
    case COMPRESSION_PACKBITS: return 64;
    case COMPRESSION_JPEG: return 512;
    case COMPRESSION_LZW: return 3641;
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ADOBE_DEFLATE: return 1032;
    default: return 1 << 16;
  }
}

// The unsigned integer of n bytes at p in the file's byte order.
uint64_t Unsigned(const unsigned char* p, int n, bool bigEndian) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint64_t(p[bigEndian ? n - 1 - i : i]) << (8 * i);
  return v;
}

// The file offset of the first directory, from the first n bytes of a TIFF or BigTIFF file
// (at least BW_TIFF_MAGIC_BYTES); 0 when they are too few to say.
uint64_t FirstDirectory(const unsigned char* head, size_t n) {
  const bool bigEndian = head[0] == 'M', big = head[bigEndian ? 3 : 2] == 43;
  if (n < (big ? 16u : 8u)) return 0;
  return big ? Unsigned(head + 8, 8, bigEndian) : Unsigned(head + 4, 4, bigEndian);
}

// Reads n bytes at `offset` of the source, leaving libtiff's position alone.
bool ReadAt(Source* s, uint64_t offset, unsigned char* out, size_t n) {
  const uint64_t position = s->position;
  s->position = offset;
  const bool whole = ReadSource(s, out, tmsize_t(n)) == tmsize_t(n);
  s->position = position;
  return whole;
}

// The value of the first directory's orientation entry as stored, or UINT64_MAX when it is not a
// number; false without one. libtiff drops a value outside 1 to 8 as if the entry were absent.
bool StoredOrientation(Source* s, uint64_t* value) {
  unsigned char head[16];
  if (!ReadAt(s, 0, head, 8)) return false;
  const bool bigEndian = head[0] == 'M', big = head[bigEndian ? 3 : 2] == 43;
  if (big && !ReadAt(s, 8, head + 8, 8)) return false;
  const uint64_t directory = FirstDirectory(head, sizeof head);
  const int countBytes = big ? 8 : 2, entryBytes = big ? 20 : 12;
  unsigned char count[8];
  if (!ReadAt(s, directory, count, size_t(countBytes))) return false;
  // libtiff has read this directory already: its entries lie in the file.
  std::vector<unsigned char> entries(size_t(std::min<uint64_t>(Unsigned(count, countBytes, bigEndian), 65535)) *
                                     size_t(entryBytes));
  if (!ReadAt(s, directory + uint64_t(countBytes), entries.data(), entries.size())) return false;
  for (size_t at = 0; at < entries.size(); at += size_t(entryBytes)) {
    const unsigned char* e = entries.data() + at;
    if (Unsigned(e, 2, bigEndian) != TIFFTAG_ORIENTATION) continue;
    const uint64_t type = Unsigned(e + 2, 2, bigEndian);
    const int bytes = type == TIFF_BYTE ? 1 : type == TIFF_SHORT ? 2 : type == TIFF_LONG ? 4 : 0;
    *value = bytes ? Unsigned(e + (big ? 12 : 8), bytes, bigEndian) : UINT64_MAX;
    return true;
  }
  return false;
}

// Holds the texels decoded so far, growing as more arrive: twice as large each time, up to the
// image, so that the copies cost at most one more pass and the memory at most twice the image.
class GrowingTexels {
 public:
  GrowingTexels(uint64_t imageBytes, uint64_t firstBytes) : imageBytes_(imageBytes), first_(firstBytes) {}
  // Room for the first `bytes` bytes, keeping the `kept` bytes decoded so far; false without memory.
  bool Reserve(uint64_t bytes, uint64_t kept) {
    if (bytes <= capacity_) return true;
    const uint64_t grown = std::min(imageBytes_, std::max({bytes, capacity_ * 2, first_}));
    BwArray<unsigned char> larger = BwAllocArray<unsigned char>(grown);
    if (!larger) return false;
    if (kept > 0) std::memcpy(larger.get(), texels_.get(), size_t(kept));
    texels_ = std::move(larger);
    capacity_ = grown;
    return true;
  }
  unsigned char* Data() { return texels_.get(); }
  BwArray<unsigned char> Take() { return std::move(texels_); }

 private:
  uint64_t imageBytes_, first_, capacity_ = 0;
  BwArray<unsigned char> texels_;
};

std::unique_ptr<TIFF, TiffClose> OpenSource(Source* source, std::string* message,
                                            std::unique_ptr<TIFFOpenOptions, OptionsFree>* options) {
  *options = Options(message);
  // "m": no file mapping; every read goes through ReadSource.
  return std::unique_ptr<TIFF, TiffClose>(Tiff().ClientOpenExt("input", "rm", source, ReadSource, NoWrite, SeekSource,
                                                            CloseNothing, SourceSize, NoMap, NoUnmap, options->get()));
}

bool Read(Source* source, BwDecodedImage* image, std::string* error) {
  std::string message;
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options;
  const std::unique_ptr<TIFF, TiffClose> tif = OpenSource(source, &message, &options);
  const auto failed = [&](const std::string& what) { return Fail(error, message.empty() ? what : message); };
  if (!tif) return failed("not a readable TIFF file");
  TIFF* t = tif.get();
  uint32_t width = 0, height = 0;
  uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
  uint16_t photometric = 0, compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
  if (!Tiff().GetField(t, TIFFTAG_IMAGEWIDTH, &width) || !Tiff().GetField(t, TIFFTAG_IMAGELENGTH, &height))
    return failed("no image size");
  if (!Tiff().GetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) return failed("no photometric interpretation");
  Tiff().GetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  Tiff().GetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  Tiff().GetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  Tiff().GetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  Tiff().GetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return Fail(error, "size " + std::to_string(width) + " x " + std::to_string(height) +
                           " is not supported (1 to 65535 a side)");
  if (bits != 8 && bits != 16) return Fail(error, std::to_string(bits) + "-bit samples are not supported (8 or 16)");
  if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
    return Fail(error, "sample format " + std::to_string(format) + " is not supported (unsigned integers only)");
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK, rgb = photometric == PHOTOMETRIC_RGB;
  if (!(grey && (samples == 1 || samples == 2)) && !(rgb && (samples == 3 || samples == 4)))
    return Fail(error, "photometric interpretation " + std::to_string(photometric) + " with " +
                           std::to_string(samples) + " samples is not supported (grey or RGB, with or without alpha)");
  if (planar != PLANARCONFIG_CONTIG) return Fail(error, "separate sample planes are not supported");
  uint64_t stored = 0;
  if (!Tiff().GetField(t, TIFFTAG_ORIENTATION, &orientation) && StoredOrientation(source, &stored))
    return Fail(error, stored == UINT64_MAX ? std::string("the orientation is not a number")
                                            : "orientation " + std::to_string(stored) + " is not valid (1 to 8)");
  if (orientation != ORIENTATION_TOPLEFT && orientation != ORIENTATION_BOTLEFT)
    return Fail(error, "orientation " + std::to_string(orientation) + " is not supported (top-left or bottom-left)");
  if (!Tiff().IsCODECConfigured(compression))
    return Fail(error, "compression " + std::to_string(compression) + " is not supported");

  // 16-bit sides, at most four 2-byte samples: below 2^35, no overflow in 64 bits.
  const uint64_t texelBytes = uint64_t(samples) * (bits / 8), rowBytes = uint64_t(width) * texelBytes;
  const uint64_t imageBytes = rowBytes * height;
  const uint64_t expansion = MaxExpansion(compression);
  if (imageBytes / expansion > source->size)
    return Fail(error, "an image of " + std::to_string(imageBytes) + " bytes cannot be held in a file of " +
                           std::to_string(source->size) + " bytes");
  const bool tiled = Tiff().IsTiled(t) != 0;
  uint32_t blockWidth = width, blockHeight = kStripRows;
  if (tiled) {
    if (!Tiff().GetField(t, TIFFTAG_TILEWIDTH, &blockWidth) || !Tiff().GetField(t, TIFFTAG_TILELENGTH, &blockHeight))
      return failed("no tile size");
  } else {
    Tiff().GetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &blockHeight);
  }
  blockHeight = std::min(blockHeight, height);
  if (blockWidth < 1 || blockHeight < 1 || (tiled && blockWidth > kMaxSide))
    return Fail(error, "bad " + std::string(tiled ? "tile" : "strip") + " size");
  // A block holds at most a band of rows as wide as a tile or the image: below 2^35 bytes, and a
  // band at most the image's height, whose size was checked above.
  const uint64_t blockRowBytes = uint64_t(tiled ? blockWidth : width) * texelBytes;
  const uint64_t blockBytes = blockRowBytes * blockHeight;
  // A tile is decoded whole into a buffer of its own: no larger than the image, or small.
  if (tiled && blockBytes > std::max(imageBytes, kSmallTileBytes)) return Fail(error, "tiles larger than the image");
  BwArray<unsigned char> tile = BwAllocArray<unsigned char>(tiled ? blockBytes : 0);
  // Rows are decoded in the order the file stores them, band after band, into a buffer that grows
  // as they arrive (first to what the file could hold uncompressed, four times its size).
  GrowingTexels texels(imageBytes, std::min<uint64_t>(source->size, UINT64_MAX / 4) * 4);
  if (!tile) return Fail(error, "out of memory");
  const uint64_t blocksAcross = tiled ? (uint64_t(width) + blockWidth - 1) / blockWidth : 1;
  for (uint64_t y0 = 0; y0 < height; y0 += blockHeight) {
    const uint64_t rows = std::min<uint64_t>(blockHeight, height - y0);
    for (uint64_t bx = 0; bx < blocksAcross; ++bx) {
      const uint64_t x0 = bx * blockWidth, cols = std::min<uint64_t>(tiled ? blockWidth : width, width - x0);
      // A strip decodes to its rows only, straight into place; a tile always to the whole tile.
      const uint64_t want = tiled ? blockBytes : rows * rowBytes;
      const uint32_t index = tiled ? Tiff().ComputeTile(t, uint32_t(x0), uint32_t(y0), 0, 0)
                                   : Tiff().ComputeStrip(t, uint32_t(y0), 0);
      if (want / expansion > Tiff().GetStrileByteCount(t, index))
        return Fail(error, std::string(tiled ? "a tile" : "a strip") + " of " +
                               std::to_string(Tiff().GetStrileByteCount(t, index)) + " bytes cannot hold " +
                               std::to_string(want) + " bytes of texels");
      if (!texels.Reserve((y0 + rows) * rowBytes, y0 * rowBytes)) return Fail(error, "out of memory");
      unsigned char* band = texels.Data() + y0 * rowBytes;
      const tmsize_t got = tiled ? Tiff().ReadEncodedTile(t, index, tile.get(), tmsize_t(want))
                                 : Tiff().ReadEncodedStrip(t, index, band, tmsize_t(want));
      if (got < 0 || uint64_t(got) != want)
        return failed(std::string(tiled ? "a tile" : "a strip") + " could not be read whole");
      for (uint64_t r = 0; r < rows; ++r) {
        unsigned char* out = band + r * rowBytes + x0 * texelBytes;
        const unsigned char* in = tiled ? tile.get() + r * blockRowBytes : out;
        BwCopyDecodedTexels(in, out, cols, samples, bits, false);
      }
    }
  }
  // Rows go bottom row first: a file storing the top row first has its rows turned over.
  BwArray<unsigned char> data = texels.Take();
  if (orientation != ORIENTATION_BOTLEFT) BwFlipRows(data.get(), rowBytes, height);
  image->width = int(width);
  image->height = int(height);
  image->channels = samples;
  image->bits = bits;
  image->data = std::move(data);
  return true;
}

bool ReadCaught(Source* source, BwDecodedImage* image, std::string* error) {
  if (!LoadTiff(error)) return false;
  try {
    return Read(source, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

}  // namespace

bool BwIsTiff(const unsigned char* head, size_t n) {
  if (n < BW_TIFF_MAGIC_BYTES) return false;
  const bool little = head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0;
  const bool big = head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
  return little || big;
}

bool BwReadTiffMemory(const unsigned char* data, size_t size, BwDecodedImage* image, std::string* error) {
  if (!BwIsTiff(data, size)) return Fail(error, "not a TIFF file (no byte-order mark)");
  Source source;
  source.data = data;
  source.size = size;
  return ReadCaught(&source, image, error);
}

bool BwReadTiff(FILE* fp, BwDecodedImage* image, std::string* error) {
  struct stat info;
  const off_t start = ftello(fp);
  if (start >= 0 && fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= start) {
    unsigned char head[BW_TIFF_MAGIC_BYTES];
    if (pread(fileno(fp), head, sizeof head, start) != ssize_t(sizeof head) || !BwIsTiff(head, sizeof head))
      return Fail(error, "not a TIFF file (no byte-order mark)");
    Source source;
    source.fd = fileno(fp);
    source.base = uint64_t(start);
    source.size = uint64_t(info.st_size - start);
    return ReadCaught(&source, image, error);
  }
  return BwReadTiffStream(fp, nullptr, 0, image, error);
}

bool BwReadTiffStream(FILE* fp, const unsigned char* head, size_t headBytes, BwDecodedImage* image,
                      std::string* error) {
  try {
    std::vector<unsigned char> bytes(head, head + headBytes);
    if (!BwReadUpTo(fp, &bytes, 16)) return Fail(error, "read error");
    if (!BwIsTiff(bytes.data(), bytes.size())) return Fail(error, "not a TIFF file (no byte-order mark)");
    // The directory, its values, then as far as the picture could need: twice its texels.
    const uint64_t directory = FirstDirectory(bytes.data(), bytes.size());
    if (directory > BW_TIFF_STREAM_DIRECTORY_BYTES)
      return Fail(error, "from a stream the first directory must lie within the first " +
                             std::to_string(BW_TIFF_STREAM_DIRECTORY_BYTES) + " bytes, not at byte " +
                             std::to_string(directory) + " (give the file by name)");
    const uint64_t picture = directory + BW_TIFF_STREAM_DIRECTORY_BYTES;
    if (!BwReadUpTo(fp, &bytes, picture)) return Fail(error, "read error");
    int width = 0, height = 0, texelBytes = 0;
    if (BwProbeTiffMemory(bytes.data(), bytes.size(), &width, &height, &texelBytes) &&
        !BwReadUpTo(fp, &bytes, picture + 2 * uint64_t(width) * uint64_t(height) * uint64_t(texelBytes)))
      return Fail(error, "read error");
    return BwReadTiffMemory(bytes.data(), bytes.size(), image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

namespace {

bool Probe(Source& source, int* width, int* height, int* texelBytes) {
  if (!LoadTiff(nullptr)) return false;
  try {
    std::string message;
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options;
    const std::unique_ptr<TIFF, TiffClose> tif = OpenSource(&source, &message, &options);
    uint32_t w = 0, h = 0;
    uint16_t samples = 1, bits = 1;
    if (!tif || !Tiff().GetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) || !Tiff().GetField(tif.get(), TIFFTAG_IMAGELENGTH, &h))
      return false;
    Tiff().GetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    Tiff().GetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || samples > 4 || (bits != 8 && bits != 16)) return false;
    *width = int(w);
    *height = int(h);
    *texelBytes = samples * bits / 8;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

bool BwProbeTiffMemory(const unsigned char* data, size_t size, int* width, int* height, int* texelBytes) {
  if (!BwIsTiff(data, size)) return false;
  Source source;
  source.data = data;
  source.size = size;
  return Probe(source, width, height, texelBytes);
}

bool BwProbeTiffFile(int fd, uint64_t size, int* width, int* height, int* texelBytes) {
  Source source;
  source.fd = fd;
  source.size = size;
  return Probe(source, width, height, texelBytes);
}

// ---- Writing --------------------------------------------------------------------------------

namespace {

// Where libtiff's writes go: straight into a regular file, or into memory for anything else.
struct Sink {
  FILE* fp = nullptr;
  bool seekable = false;
  int64_t start = 0;      // stream position of the file's first byte
  uint64_t position = 0;  // libtiff's position, from the file's first byte
  uint64_t streamAt = 0;  // the stream's position, from the file's first byte
  uint64_t end = 0;       // bytes the file holds so far
  std::vector<unsigned char> held;
  bool failed = false;
};

tmsize_t WriteSink(thandle_t handle, void* buffer, tmsize_t bytes) {
  Sink* s = static_cast<Sink*>(handle);
  if (s->failed || bytes < 0) return -1;
  const uint64_t n = uint64_t(bytes);
  try {
    if (!s->seekable) {
      if (s->position + n > s->held.size()) s->held.resize(size_t(s->position + n));
      std::memcpy(s->held.data() + s->position, buffer, size_t(n));
    } else {
      if (s->streamAt != s->position && fseeko(s->fp, off_t(s->start) + off_t(s->position), SEEK_SET) != 0)
        s->failed = true;
      if (!s->failed && std::fwrite(buffer, 1, size_t(n), s->fp) != n) s->failed = true;
      s->streamAt = s->position + n;
    }
  } catch (const std::bad_alloc&) {
    s->failed = true;
  }
  if (s->failed) return -1;
  s->position += n;
  s->end = std::max(s->end, s->position);
  return bytes;
}
// libtiff reads nothing back while it writes one directory; a read finds nothing.
tmsize_t ReadNothing(thandle_t, void*, tmsize_t) { return 0; }
toff_t SeekSink(thandle_t handle, toff_t offset, int whence) {
  Sink* s = static_cast<Sink*>(handle);
  return Seek(&s->position, s->end, offset, whence);
}
toff_t SinkSize(thandle_t handle) { return static_cast<Sink*>(handle)->end; }

}  // namespace

struct BwTiffWriter::State {
  Sink sink;
  std::string message;
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options;
  TIFF* tif = nullptr;
  int64_t width = 0, height = 0;
  int bits = 8, channels = 3;
  int64_t rowBytes = 0;
  int64_t bandRows = 0;
  int64_t rowsGiven = 0;  // rows taken so far
  int64_t bandFill = 0;   // rows waiting in the band
  std::vector<unsigned char> band;
  std::vector<std::vector<unsigned char>> strips;

  ~State() {
    if (tif) {
      sink.failed = true;  // an abandoned file: nothing more to write
      Tiff().Close(tif);
    }
  }
  bool Failed(std::string* error, const std::string& what) { return Fail(error, message.empty() ? what : message); }
};

BwTiffWriter::BwTiffWriter() = default;
BwTiffWriter::~BwTiffWriter() = default;

int64_t BwTiffWriter::BandRows() const { return state_ ? state_->bandRows : 0; }

bool BwTiffWriter::Begin(FILE* fp, int width, int height, int bits, int channels, std::string* error) {
  state_.reset();
  if (!fp) return Fail(error, "no output stream");
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return Fail(error, "image size " + std::to_string(width) + " x " + std::to_string(height) + " is outside 1 to 65535");
  if ((bits != 8 && bits != 16) || channels < 1 || channels > 4) return Fail(error, "unsupported texel layout");
  if (!LoadTiff(error)) return false;
  try {
    auto state = std::make_unique<State>();
    State& s = *state;
    s.width = width;
    s.height = height;
    s.bits = bits;
    s.channels = channels;
    s.rowBytes = int64_t(width) * channels * (bits / 8);
    s.bandRows = int64_t(kStripRows) * std::max(8, BwThreadCount());
    s.band.resize(size_t(std::min<int64_t>(s.bandRows, height) * s.rowBytes));
    s.sink.fp = fp;
    s.sink.start = ftello(fp);
    struct stat st;
    s.sink.seekable = s.sink.start >= 0 && fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
    s.sink.start = std::max<int64_t>(s.sink.start, 0);
    s.options = Options(&s.message);
    // Little-endian; BigTIFF where the texels alone could pass the 4 GiB of a classic file.
    const bool big = uint64_t(s.rowBytes) * uint64_t(height) > (uint64_t(3) << 30);
    s.tif = Tiff().ClientOpenExt("output", big ? "wl8" : "wl", &s.sink, ReadNothing, WriteSink, SeekSink, CloseNothing,
                              SinkSize, NoMap, NoUnmap, s.options.get());
    if (!s.tif) return s.Failed(error, "could not start the file");
    TIFF* t = s.tif;
    const bool set = Tiff().SetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(width)) && Tiff().SetField(t, TIFFTAG_IMAGELENGTH, uint32_t(height)) &&
                     Tiff().SetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(bits)) &&
                     Tiff().SetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(channels)) &&
                     Tiff().SetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK)) &&
                     Tiff().SetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) &&
                     Tiff().SetField(t, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT)) &&
                     Tiff().SetField(t, TIFFTAG_SAMPLEFORMAT, uint16_t(SAMPLEFORMAT_UINT)) &&
                     Tiff().SetField(t, TIFFTAG_ROWSPERSTRIP, kStripRows) &&
                     Tiff().SetField(t, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE)) &&
                     Tiff().SetField(t, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL));
    if (channels == 2 || channels == 4) {
      const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
      if (!Tiff().SetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &alpha)) return s.Failed(error, "could not set the tags");
    }
    if (!set) return s.Failed(error, "could not set the tags");
    state_ = std::move(state);
    return true;
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

bool BwTiffWriter::WriteRows(const void* rows, int64_t count, std::string* error) {
  if (!state_) return Fail(error, "the image was not begun");
  State& s = *state_;
  if (count > s.height - s.rowsGiven) return Fail(error, "more rows than the image holds");
  const unsigned char* in = static_cast<const unsigned char*>(rows);
  while (count > 0) {
    const int64_t take = std::min(count, s.bandRows - s.bandFill);
    std::memcpy(s.band.data() + s.bandFill * s.rowBytes, in, size_t(take * s.rowBytes));
    in += take * s.rowBytes;
    count -= take;
    s.bandFill += take;
    s.rowsGiven += take;
    if ((s.bandFill == s.bandRows || s.rowsGiven == s.height) && !FlushBand(error)) return false;
  }
  return true;
}

namespace {

// The order-0 entropy of n bytes, in bits a byte.
double EntropyBits(const unsigned char* bytes, size_t n) {
  // Four tables, so that runs of one value do not wait on their own increments.
  uint32_t counts[4][256] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (int k = 0; k < 4; ++k) ++counts[k][bytes[i + k]];
  for (; i < n; ++i) ++counts[0][bytes[i]];
  double bits = 0.0;
  for (int v = 0; v < 256; ++v) {
    const double c = double(counts[0][v] + counts[1][v] + counts[2][v] + counts[3][v]);
    if (c > 0.0) bits -= c * std::log2(c / double(n));
  }
  return n ? bits / double(n) : 0.0;
}

}  // namespace

bool BwTiffWriter::FlushBand(std::string* error) {
  State& s = *state_;
  const int64_t first = s.rowsGiven - s.bandFill;  // first row of the band, a multiple of kStripRows
  const int64_t strips = (s.bandFill + kStripRows - 1) / kStripRows;
  const int64_t samples = s.width * s.channels;
  s.strips.resize(size_t(strips));
  std::vector<char> ok(size_t(strips), 0);
  BwParallelFor(strips, 1, [&](int64_t begin, int64_t end) {
    std::vector<unsigned char> differences;
    // Each level's compressor is made when a strip first asks for it (noise asks only for one).
    std::unique_ptr<libdeflate_compressor, CompressorFree> deflater, noise;
    const auto compressor = [](std::unique_ptr<libdeflate_compressor, CompressorFree>* c, int level) {
      if (!*c) c->reset(libdeflate_alloc_compressor(level));
      return c->get();
    };
    for (int64_t i = begin; i < end; ++i) {
      const int64_t rows = std::min<int64_t>(kStripRows, s.bandFill - i * kStripRows);
      const unsigned char* raw = s.band.data() + i * kStripRows * s.rowBytes;
      differences.assign(raw, raw + rows * s.rowBytes);
      // The horizontal predictor: each sample less the same sample of the texel to its left,
      // modulo 2^bits; 16-bit samples stored little-endian.
      for (int64_t r = 0; r < rows; ++r) {
        unsigned char* row = differences.data() + r * s.rowBytes;
        if (s.bits == 8) {
          for (int64_t k = samples - 1; k >= s.channels; --k) row[k] = uint8_t(row[k] - row[k - s.channels]);
        } else {
          const unsigned char* values = raw + r * s.rowBytes;
          const auto value = [values](int64_t k) {
            uint16_t v;
            std::memcpy(&v, values + 2 * k, 2);
            return v;
          };
          for (int64_t k = samples - 1; k >= 0; --k) {
            const uint16_t d = uint16_t(value(k) - (k >= s.channels ? value(k - s.channels) : 0));
            row[2 * k] = uint8_t(d & 0xFF);
            row[2 * k + 1] = uint8_t(d >> 8);
          }
        }
      }
      std::vector<unsigned char>& strip = s.strips[size_t(i)];
      libdeflate_compressor* const chosen = EntropyBits(differences.data(), differences.size()) > kNoiseBits
                                                ? compressor(&noise, kNoiseZipLevel)
                                                : compressor(&deflater, kZipLevel);
      if (!chosen) return;
      strip.resize(libdeflate_zlib_compress_bound(chosen, differences.size()));
      const size_t size =
          libdeflate_zlib_compress(chosen, differences.data(), differences.size(), strip.data(), strip.size());
      ok[size_t(i)] = size != 0;
      strip.resize(size);
    }
  });
  for (int64_t i = 0; i < strips; ++i) {
    std::vector<unsigned char>& strip = s.strips[size_t(i)];
    if (!ok[size_t(i)]) return Fail(error, "could not compress a strip");
    if (Tiff().WriteRawStrip(s.tif, uint32_t(first / kStripRows + i), strip.data(), tmsize_t(strip.size())) !=
            tmsize_t(strip.size()) ||
        s.sink.failed)
      return s.Failed(error, "could not write texel data");
  }
  s.bandFill = 0;
  return true;
}

bool BwTiffWriter::End(std::string* error) {
  if (!state_) return Fail(error, "the image was not begun");
  State& s = *state_;
  if (s.rowsGiven != s.height) return Fail(error, "the image is incomplete");
  bool ok = Tiff().WriteDirectory(s.tif) != 0;
  Tiff().Close(s.tif);
  s.tif = nullptr;
  if (!ok || s.sink.failed) return s.Failed(error, "could not write the directory");
  if (!s.sink.seekable) ok = std::fwrite(s.sink.held.data(), 1, s.sink.held.size(), s.sink.fp) == s.sink.held.size();
  if (ok && s.sink.seekable) ok = fseeko(s.sink.fp, off_t(s.sink.start) + off_t(s.sink.end), SEEK_SET) == 0;
  ok = ok && std::fflush(s.sink.fp) == 0;
  state_.reset();
  return ok || Fail(error, "could not write texel data");
}

// The first image directory, wherever it lies among the n bytes; the reader holds the decoded
// texels and, from memory, the file.
bool BwProbeTiff(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  int size[3] = {};  // width, height, bytes a texel
  if (!BwProbeTiffMemory(head, n, &size[0], &size[1], &size[2]) || !BwSetProbeSize(size[0], size[1], probe)) return false;
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * uint64_t(size[2]) + fileBytes;
  return true;
}
