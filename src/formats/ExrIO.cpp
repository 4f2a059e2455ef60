// OpenEXR height reading through the OpenEXR C library; see ExrIO.h for what is read and refused.
#include "ExrIO.h"

#include <OpenEXR/openexr.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned char kMagic[BW_EXR_MAGIC_BYTES] = {0x76, 0x2F, 0x31, 0x01};
constexpr int kMaxSide = 65535;
// Most bytes one chunk may unpack to (all its channels): far above any real scanline block or
// tile, far below what would hurt.
constexpr uint64_t kMaxChunkBytes = uint64_t(512) << 20;

// Where the library's reads come from, and the first message it reports.
struct Source {
  const unsigned char* data = nullptr;  // a file in memory, or
  int fd = -1;                          // an open file, or
  FILE* stream = nullptr;               // a pipe, read as far as the reads go
  int64_t size = 0;
  std::string message;
  // A pipe's bytes read so far, and the most it may give: the header's worth at first, then
  // what the picture it announces can need.
  std::vector<unsigned char> grown;
  uint64_t limit = uint64_t(16) << 20;
  bool overLimit = false;
};

// Reads from the pipe until `end` bytes are held or it ends; false past the limit.
bool Grow(Source* s, uint64_t end) {
  if (end > s->limit) {
    s->overLimit = true;
    return false;
  }
  while (s->grown.size() < end) {
    const size_t have = s->grown.size();
    s->grown.resize(size_t(std::max<uint64_t>(end, std::min<uint64_t>(s->limit, have + (uint64_t(1) << 16)))));
    const size_t got = std::fread(s->grown.data() + have, 1, s->grown.size() - have, s->stream);
    s->grown.resize(have + got);
    if (got == 0) break;
  }
  return true;
}

int64_t ReadSource(exr_const_context_t, void* user, void* buffer, uint64_t bytes, uint64_t offset,
                   exr_stream_error_func_ptr_t) {
  Source* s = static_cast<Source*>(user);
  if (s->stream) {
    if (!Grow(s, offset + bytes)) return -1;
    if (offset >= s->grown.size()) return 0;
    const uint64_t n = std::min<uint64_t>(bytes, s->grown.size() - offset);
    std::memcpy(buffer, s->grown.data() + offset, size_t(n));
    return int64_t(n);
  }
  if (offset >= uint64_t(s->size)) return 0;
  const uint64_t n = std::min<uint64_t>(bytes, uint64_t(s->size) - offset);
  if (s->data) {
    std::memcpy(buffer, s->data + offset, size_t(n));
    return int64_t(n);
  }
  uint64_t done = 0;
  while (done < n) {
    const ssize_t got = pread(s->fd, static_cast<unsigned char*>(buffer) + done, size_t(n - done), off_t(offset + done));
    if (got <= 0) break;
    done += uint64_t(got);
  }
  return int64_t(done);
}

int64_t SourceSize(exr_const_context_t, void* user) { return static_cast<const Source*>(user)->size; }

// Keeps the library's first message instead of letting it print.
void KeepMessage(exr_const_context_t ctxt, exr_result_t, const char* message) {
  void* user = nullptr;
  if (exr_get_user_data(ctxt, &user) == EXR_ERR_SUCCESS && user) {
    Source* s = static_cast<Source*>(user);
    if (s->message.empty() && message) s->message = message;
  }
}

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = "EXR: " + message;
  return false;
}

// A name from the file as it goes into a one-line message: control characters show as '?'.
std::string Printable(const char* name) {
  std::string text = name;
  std::replace_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
  return text;
}

// The library's message for a failed call, or its text for the code.
bool FailWith(std::string* error, const Source& source, exr_result_t code) {
  if (source.overLimit) return Fail(error, "the stream goes on past what its header announces");
  std::string text = source.message.empty() ? exr_get_default_error_message(code) : source.message;
  std::replace(text.begin(), text.end(), '\n', ' ');
  return Fail(error, text);
}

// An IEEE half-precision value as float; every half is exactly a float.
float HalfToFloat(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000) << 16;
  const uint32_t exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF;
  uint32_t bits;
  if (exponent == 0) {
    const float magnitude = float(mantissa) * (1.0f / 16777216.0f);  // mantissa * 2^-24, exact
    std::memcpy(&bits, &magnitude, 4);
    bits |= sign;
  } else if (exponent == 31) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float out;
  std::memcpy(&out, &bits, 4);
  return out;
}

// Sample i of a decoded block of `type` samples, as float.
float SampleAt(const unsigned char* block, uint64_t i, int type) {
  if (type == EXR_PIXEL_HALF) {
    uint16_t h;
    std::memcpy(&h, block + i * 2, 2);
    return HalfToFloat(h);
  }
  if (type == EXR_PIXEL_UINT) {
    uint32_t u;
    std::memcpy(&u, block + i * 4, 4);
    return float(u);
  }
  float f;
  std::memcpy(&f, block + i * 4, 4);
  return f;
}

struct ContextCloser {
  void operator()(exr_context_t ctxt) const { exr_finish(&ctxt); }
};

// Decodes chunks of one channel into a block of its own sample type, one chunk after another.
class ChunkDecoder {
 public:
  ChunkDecoder(exr_const_context_t ctxt, const char* channel, int type) : ctxt_(ctxt), channel_(channel), type_(type) {}
  ~ChunkDecoder() {
    if (started_) exr_decoding_destroy(ctxt_, &pipeline_);
  }
  ChunkDecoder(const ChunkDecoder&) = delete;
  ChunkDecoder& operator=(const ChunkDecoder&) = delete;

  // The chunk's samples of the channel, cinfo.height rows of cinfo.width, in `block`.
  exr_result_t Decode(const exr_chunk_info_t& cinfo, std::vector<unsigned char>* block) {
    const int sampleBytes = type_ == EXR_PIXEL_HALF ? 2 : 4;
    block->resize(size_t(cinfo.width) * size_t(cinfo.height) * size_t(sampleBytes));
    exr_result_t r = started_ ? exr_decoding_update(ctxt_, 0, &cinfo, &pipeline_)
                              : exr_decoding_initialize(ctxt_, 0, &cinfo, &pipeline_);
    if (r != EXR_ERR_SUCCESS) return r;
    started_ = true;
    for (int c = 0; c < pipeline_.channel_count; ++c) {
      exr_coding_channel_info_t& ch = pipeline_.channels[c];
      if (std::strcmp(ch.channel_name, channel_) == 0) {
        ch.decode_to_ptr = block->data();
        ch.user_pixel_stride = sampleBytes;
        ch.user_line_stride = sampleBytes * cinfo.width;
        ch.user_bytes_per_element = int16_t(sampleBytes);
        ch.user_data_type = uint16_t(type_);
      } else {
        ch.decode_to_ptr = nullptr;
      }
    }
    if ((r = exr_decoding_choose_default_routines(ctxt_, 0, &pipeline_)) != EXR_ERR_SUCCESS) return r;
    return exr_decoding_run(ctxt_, 0, &pipeline_);
  }

 private:
  exr_const_context_t ctxt_;
  const char* channel_;
  int type_;
  exr_decode_pipeline_t pipeline_ = {};  // all zero, as the library asks
  bool started_ = false;
};

// Float heights bottom row first, grown a band of rows at a time as chunks are decoded.
class Heights {
 public:
  explicit Heights(int64_t width) : width_(width) {}
  // Room for `rows` more rows at the end; null when memory runs out.
  float* Append(int64_t rows) {
    const uint64_t need = uint64_t((filled_ + rows) * width_);  // below 2^32
    if (need > capacity_) {
      const uint64_t grown = std::max<uint64_t>(need, capacity_ * 2);
      void* p = std::realloc(data_.get(), size_t(grown * sizeof(float)));
      if (!p) return nullptr;
      data_.release();
      data_.reset(static_cast<float*>(p));
      capacity_ = grown;
    }
    float* out = data_.get() + filled_ * width_;
    filled_ += rows;
    return out;
  }
  BwArray<float> Take() { return std::move(data_); }

 private:
  int64_t width_;
  int64_t filled_ = 0;
  uint64_t capacity_ = 0;
  BwArray<float> data_;
};

// A chunk of w x h samples starting at line y (scanline files), or of w x h samples (tiles,
// which the library looked up by their indices).
bool CheckChunk(const exr_chunk_info_t& cinfo, int64_t y, int64_t w, int64_t h, bool tile, std::string* error) {
  if (cinfo.width != w || cinfo.height != h || (!tile && cinfo.start_y != y))
    return Fail(error, "a chunk does not match the data window");
  if (cinfo.unpacked_size > kMaxChunkBytes)
    return Fail(error, "a chunk of " + std::to_string(cinfo.unpacked_size) + " bytes is too large");
  return true;
}

bool Read(Source* source, const char* wanted, BwHeightImage* image, std::string* error) {
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = KeepMessage;
  init.user_data = source;
  init.read_fn = ReadSource;
  init.size_fn = source->stream ? nullptr : SourceSize;  // a pipe's size is not known
  init.max_image_width = init.max_image_height = kMaxSide;
  init.max_tile_width = init.max_tile_height = kMaxSide;
  init.flags = EXR_CONTEXT_FLAG_SILENT_HEADER_PARSE;
  exr_context_t raw = nullptr;
  // The name only labels the stream; the reads go through ReadSource.
  exr_result_t r = exr_start_read(&raw, "input", &init);
  std::unique_ptr<_priv_exr_context_t, ContextCloser> ctxt(raw);
  if (r != EXR_ERR_SUCCESS) return FailWith(error, *source, r);

  int parts = 0;
  exr_storage_t storage;
  if ((r = exr_get_count(raw, &parts)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
  if (parts != 1) return Fail(error, "multi-part files are not supported (" + std::to_string(parts) + " parts)");
  if ((r = exr_get_storage(raw, 0, &storage)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
  if (storage == EXR_STORAGE_DEEP_SCANLINE || storage == EXR_STORAGE_DEEP_TILED)
    return Fail(error, "deep images are not supported");

  const exr_attr_chlist_t* channels = nullptr;
  if ((r = exr_get_channels(raw, 0, &channels)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
  std::string names;
  const exr_attr_chlist_entry_t* chosen = nullptr;
  for (int c = 0; c < channels->num_channels; ++c) {
    const exr_attr_chlist_entry_t& e = channels->entries[c];
    names += (c ? ", " : "") + Printable(e.name.str);
    const char* want = wanted && *wanted ? wanted : (channels->num_channels == 1 ? e.name.str : "Y");
    if (std::strcmp(e.name.str, want) == 0) chosen = &e;
  }
  if (!chosen) {
    if (wanted && *wanted) return Fail(error, "no channel named " + std::string(wanted) + " (channels: " + names + ")");
    return Fail(error, "several channels and none named Y; name one of: " + names);
  }
  if (chosen->x_sampling != 1 || chosen->y_sampling != 1)
    return Fail(error, "channel " + Printable(chosen->name.str) + " is subsampled, which is not supported");
  const int type = chosen->pixel_type;
  if (type != EXR_PIXEL_HALF && type != EXR_PIXEL_FLOAT && type != EXR_PIXEL_UINT)
    return Fail(error, "unknown sample type");

  exr_attr_box2i_t window;
  if ((r = exr_get_data_window(raw, 0, &window)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
  const int64_t width = int64_t(window.max.x) - window.min.x + 1, height = int64_t(window.max.y) - window.min.y + 1;
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return Fail(error, "data window of " + std::to_string(width) + " x " + std::to_string(height) +
                           " texels is not supported (1 to 65535 a side)");

  if (source->stream) {
    // Every chunk with its offset and leader, holding at most twice its samples (the library
    // stores a chunk raw rather than let it grow), in every level a tiled file may have.
    uint64_t texelBytes = 0;
    for (int c = 0; c < channels->num_channels; ++c) texelBytes += channels->entries[c].pixel_type == EXR_PIXEL_HALF ? 2 : 4;
    int32_t chunks = 0;
    if ((r = exr_get_chunk_count(raw, 0, &chunks)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
    const uint64_t levels = storage == EXR_STORAGE_TILED ? 4 : 1;
    source->limit = source->grown.size() + uint64_t(std::max(chunks, 0)) * 40 +
                    2 * levels * uint64_t(width) * uint64_t(height) * texelBytes + (uint64_t(1) << 20);
  }

  Heights heights(width);
  ChunkDecoder decoder(raw, chosen->name.str, type);
  std::vector<unsigned char> block;
  exr_chunk_info_t cinfo;
  if (storage == EXR_STORAGE_SCANLINE) {
    int32_t lines = 0;
    if ((r = exr_get_scanlines_per_chunk(raw, 0, &lines)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
    if (lines < 1) return Fail(error, "bad scanlines per chunk");
    // The bottom chunk first, so that the heights grow bottom row first.
    for (int64_t first = (height - 1) / lines * lines; first >= 0; first -= lines) {
      const int64_t rows = std::min<int64_t>(lines, height - first);
      if ((r = exr_read_scanline_chunk_info(raw, 0, int(window.min.y + first), &cinfo)) != EXR_ERR_SUCCESS)
        return FailWith(error, *source, r);
      if (!CheckChunk(cinfo, window.min.y + first, width, rows, false, error)) return false;
      if ((r = decoder.Decode(cinfo, &block)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
      float* out = heights.Append(rows);
      if (!out) return Fail(error, "out of memory");
      for (int64_t row = rows - 1; row >= 0; --row, out += width)
        for (int64_t x = 0; x < width; ++x) out[x] = SampleAt(block.data(), uint64_t(row * width + x), type);
    }
  } else {
    uint32_t tileWidth = 0, tileHeight = 0;
    exr_tile_level_mode_t levels;
    exr_tile_round_mode_t round;
    if ((r = exr_get_tile_descriptor(raw, 0, &tileWidth, &tileHeight, &levels, &round)) != EXR_ERR_SUCCESS)
      return FailWith(error, *source, r);
    if (tileWidth < 1 || tileHeight < 1) return Fail(error, "bad tile size");
    const int64_t tilesX = (width + tileWidth - 1) / tileWidth, tilesY = (height + tileHeight - 1) / tileHeight;
    // A row of tiles at a time, bottom row first; its samples are kept until the row is
    // complete, so memory follows the tiles decoded.
    std::vector<std::vector<float>> tileRow(static_cast<size_t>(tilesX));
    for (int64_t ty = tilesY - 1; ty >= 0; --ty) {
      const int64_t y0 = ty * tileHeight, rows = std::min<int64_t>(tileHeight, height - y0);
      for (int64_t tx = 0; tx < tilesX; ++tx) {
        const int64_t x0 = tx * tileWidth, cols = std::min<int64_t>(tileWidth, width - x0);
        if ((r = exr_read_tile_chunk_info(raw, 0, int(tx), int(ty), 0, 0, &cinfo)) != EXR_ERR_SUCCESS)
          return FailWith(error, *source, r);
        if (!CheckChunk(cinfo, 0, cols, rows, true, error)) return false;
        if ((r = decoder.Decode(cinfo, &block)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
        std::vector<float>& tile = tileRow[size_t(tx)];
        tile.resize(size_t(cols * rows));
        for (int64_t i = 0; i < cols * rows; ++i) tile[size_t(i)] = SampleAt(block.data(), uint64_t(i), type);
      }
      float* out = heights.Append(rows);
      if (!out) return Fail(error, "out of memory");
      for (int64_t row = rows - 1; row >= 0; --row, out += width)
        for (int64_t tx = 0; tx < tilesX; ++tx) {
          const int64_t cols = std::min<int64_t>(tileWidth, width - tx * tileWidth);
          std::memcpy(out + tx * tileWidth, tileRow[size_t(tx)].data() + row * cols, size_t(cols) * sizeof(float));
        }
    }
  }
  image->width = int(width);
  image->height = int(height);
  image->heights = heights.Take();
  return true;
}

bool ReadCaught(Source* source, const char* channel, BwHeightImage* image, std::string* error) {
  try {
    return Read(source, channel, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

}  // namespace

bool BwIsExr(const unsigned char* head, size_t n) {
  return n >= BW_EXR_MAGIC_BYTES && std::memcmp(head, kMagic, BW_EXR_MAGIC_BYTES) == 0;
}

bool BwReadExrMemory(const unsigned char* data, size_t size, const char* channel, BwHeightImage* image,
                     std::string* error) {
  if (!BwIsExr(data, size)) return Fail(error, "not an OpenEXR file (bad magic number)");
  Source source;
  source.data = data;
  source.size = int64_t(size);
  return ReadCaught(&source, channel, image, error);
}

bool BwReadExr(const char* path, const char* channel, BwHeightImage* image, std::string* error) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(error, std::string("cannot open ") + path);
  struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
  } closer{fd};
  struct stat info;
  unsigned char head[BW_EXR_MAGIC_BYTES];
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    // Not a regular file (a pipe, a device): read it whole.
    FILE* fp = fdopen(dup(fd), "rb");
    if (!fp) return Fail(error, std::string("cannot read ") + path);
    const bool ok = BwReadExrFile(fp, channel, image, error);
    std::fclose(fp);
    return ok;
  }
  if (pread(fd, head, sizeof head, 0) != ssize_t(sizeof head) || !BwIsExr(head, sizeof head))
    return Fail(error, "not an OpenEXR file (bad magic number)");
  Source source;
  source.fd = fd;
  source.size = int64_t(info.st_size);
  return ReadCaught(&source, channel, image, error);
}

bool BwReadExrFile(FILE* fp, const char* channel, BwHeightImage* image, std::string* error) {
  return BwReadExrStream(fp, nullptr, 0, channel, image, error);
}

bool BwReadExrStream(FILE* fp, const unsigned char* head, size_t headBytes, const char* channel,
                     BwHeightImage* image, std::string* error) {
  try {
    Source source;
    source.stream = fp;
    source.grown.assign(head, head + headBytes);
    if (!Grow(&source, BW_EXR_MAGIC_BYTES) || !BwIsExr(source.grown.data(), source.grown.size()))
      return Fail(error, "not an OpenEXR file (bad magic number)");
    return ReadCaught(&source, channel, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}
