// OpenEXR reading and writing through the OpenEXR C library; see ExrIO.h for what is read,
// refused and written.
#include "ExrIO.h"

#include <OpenEXR/openexr.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Parallel.h"
#include "ImageProbe.h"

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

// Every half as float, looked up rather than worked out: a chunk's samples are converted in
// one pass over each plane.
const float* HalfFloats() {
  static const std::vector<float> table = [] {
    std::vector<float> floats(1 << 16);
    for (uint32_t h = 0; h < floats.size(); ++h) floats[h] = BwHalfToFloat(uint16_t(h));
    return floats;
  }();
  return table.data();
}

// Samples [first, first + count) of a decoded plane of `type` samples as floats into out, one
// every `stride` floats.
void PlaneToFloats(const unsigned char* plane, int type, uint64_t first, uint64_t count, float* out, int stride) {
  if (type == EXR_PIXEL_HALF) {
    const float* halves = HalfFloats();
    for (uint64_t i = 0; i < count; ++i) {
      uint16_t h;
      std::memcpy(&h, plane + (first + i) * 2, 2);
      out[i * uint64_t(stride)] = halves[h];
    }
  } else if (type == EXR_PIXEL_UINT) {
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t u;
      std::memcpy(&u, plane + (first + i) * 4, 4);
      out[i * uint64_t(stride)] = float(u);
    }
  } else {
    for (uint64_t i = 0; i < count; ++i) std::memcpy(out + i * uint64_t(stride), plane + (first + i) * 4, 4);
  }
}

struct ContextCloser {
  void operator()(exr_context_t ctxt) const { exr_finish(&ctxt); }
};

// A channel to read: its name, sample type and bytes a sample.
struct Wanted {
  const char* name;
  int type;
  int sampleBytes;
};

// Decodes chunks of the wanted channels, each into a plane of its own sample type, one chunk
// after another.
class ChunkDecoder {
 public:
  ChunkDecoder(exr_const_context_t ctxt, const std::vector<Wanted>& wanted) : ctxt_(ctxt), wanted_(wanted) {}
  ~ChunkDecoder() {
    if (started_) exr_decoding_destroy(ctxt_, &pipeline_);
  }
  ChunkDecoder(const ChunkDecoder&) = delete;
  ChunkDecoder& operator=(const ChunkDecoder&) = delete;

  // The chunk's samples, cinfo.height rows of cinfo.width for each wanted channel in turn.
  exr_result_t Decode(const exr_chunk_info_t& cinfo, std::vector<unsigned char>* block) {
    const size_t texels = size_t(cinfo.width) * size_t(cinfo.height);
    size_t bytes = 0;
    for (const Wanted& w : wanted_) bytes += texels * size_t(w.sampleBytes);
    block->resize(bytes);
    exr_result_t r = started_ ? exr_decoding_update(ctxt_, 0, &cinfo, &pipeline_)
                              : exr_decoding_initialize(ctxt_, 0, &cinfo, &pipeline_);
    if (r != EXR_ERR_SUCCESS) return r;
    started_ = true;
    for (int c = 0; c < pipeline_.channel_count; ++c) {
      exr_coding_channel_info_t& ch = pipeline_.channels[c];
      ch.decode_to_ptr = nullptr;
      size_t at = 0;
      for (const Wanted& w : wanted_) {
        if (std::strcmp(ch.channel_name, w.name) == 0) {
          ch.decode_to_ptr = block->data() + at;
          ch.user_pixel_stride = w.sampleBytes;
          ch.user_line_stride = w.sampleBytes * cinfo.width;
          ch.user_bytes_per_element = int16_t(w.sampleBytes);
          ch.user_data_type = uint16_t(w.type);
        }
        at += texels * size_t(w.sampleBytes);
      }
    }
    if ((r = exr_decoding_choose_default_routines(ctxt_, 0, &pipeline_)) != EXR_ERR_SUCCESS) return r;
    return exr_decoding_run(ctxt_, 0, &pipeline_);
  }

  // Texels [first, first + count) of a decoded block of `texels` texels, the wanted channels of
  // each as floats in turn, into out.
  void Texels(const std::vector<unsigned char>& block, uint64_t texels, uint64_t first, uint64_t count,
              float* out) const {
    uint64_t at = 0;
    for (size_t k = 0; k < wanted_.size(); ++k) {
      PlaneToFloats(block.data() + at, wanted_[k].type, first, count, out + k, int(wanted_.size()));
      at += texels * uint64_t(wanted_[k].sampleBytes);
    }
  }

 private:
  exr_const_context_t ctxt_;
  const std::vector<Wanted>& wanted_;
  exr_decode_pipeline_t pipeline_ = {};  // all zero, as the library asks
  bool started_ = false;
};

// Float samples bottom row first, grown a band of rows at a time as chunks are decoded.
class Samples {
 public:
  explicit Samples(int64_t rowFloats) : rowFloats_(rowFloats) {}
  // Room for `rows` more rows at the end; null when memory runs out.
  float* Append(int64_t rows) {
    const uint64_t need = uint64_t((filled_ + rows) * rowFloats_);  // below 2^34
    if (need > capacity_) {
      const uint64_t grown = std::max<uint64_t>(need, capacity_ * 2);
      void* p = std::realloc(data_.get(), size_t(grown * sizeof(float)));
      if (!p) return nullptr;
      data_.release();
      data_.reset(static_cast<float*>(p));
      capacity_ = grown;
    }
    float* out = data_.get() + filled_ * rowFloats_;
    filled_ += rows;
    return out;
  }
  BwArray<float> Take() { return std::move(data_); }

 private:
  int64_t rowFloats_;
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

const exr_attr_chlist_entry_t* FindChannel(const exr_attr_chlist_t* channels, const std::string& name) {
  for (int c = 0; c < channels->num_channels; ++c)
    if (name == channels->entries[c].name.str) return &channels->entries[c];
  return nullptr;
}

// The channels `request` asks for, in output order; false with the message when they are not
// all there.
bool ChooseChannels(const exr_attr_chlist_t* channels, const BwExrRequest& request,
                    std::vector<const exr_attr_chlist_entry_t*>* chosen, std::string* error) {
  std::string names;
  for (int c = 0; c < channels->num_channels; ++c)
    names += (c ? ", " : "") + Printable(channels->entries[c].name.str);
  const std::string named = request.channel ? request.channel : "";
  if (!request.normals) {
    const exr_attr_chlist_entry_t* e =
        FindChannel(channels, !named.empty() ? named : channels->num_channels == 1 ? channels->entries[0].name.str : "Y");
    if (e) {
      chosen->push_back(e);
      return true;
    }
    if (!named.empty()) return Fail(error, "no channel named " + named + " (channels: " + names + ")");
    return Fail(error, "several channels and none named Y; name one of: " + names);
  }
  const std::string prefix = named.empty() ? "" : named + ".";
  static const char* const kSets[][3] = {{"R", "G", "B"}, {"X", "Y", "Z"}, {"x", "y", "z"}};
  for (const auto& set : kSets) {
    chosen->clear();
    for (const char* axis : set)
      if (const exr_attr_chlist_entry_t* e = FindChannel(channels, prefix + axis)) chosen->push_back(e);
    if (chosen->size() == 3) {
      if (const exr_attr_chlist_entry_t* alpha = FindChannel(channels, prefix + "A")) chosen->push_back(alpha);
      return true;
    }
    if (named.empty()) break;  // without a layer only R, G, B
  }
  chosen->clear();
  if (named.empty()) return Fail(error, "no channels R, G, B for a normal map (channels: " + names + ")");
  return Fail(error, "no layer " + named + " with channels " + prefix + "R, G, B or X, Y, Z or x, y, z (channels: " +
                         names + ")");
}

// Maps normals stored as 0 to 1 to -1 to 1, and empties texels stored as x, y and z all 0 or
// with a value that is not finite (as stored, or once mapped: a huge value doubled).
void FinishNormals(float* texels, int64_t count, int channels, bool unorm) {
  for (int64_t i = 0; i < count; ++i) {
    float* t = texels + i * channels;
    const bool zero = t[0] == 0.0f && t[1] == 0.0f && t[2] == 0.0f;
    for (int k = 0; k < 3; ++k) t[k] = unorm ? t[k] * 2.0f - 1.0f : t[k];
    const bool empty = zero || !std::isfinite(t[0]) || !std::isfinite(t[1]) || !std::isfinite(t[2]);
    for (int k = 0; k < 3; ++k) t[k] = empty ? 0.0f : t[k];
  }
}

bool Read(Source* source, const BwExrRequest& request, BwExrImage* image, std::string* error) {
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
  std::vector<const exr_attr_chlist_entry_t*> chosen;
  if (!ChooseChannels(channels, request, &chosen, error)) return false;
  std::vector<Wanted> wanted;
  for (const exr_attr_chlist_entry_t* e : chosen) {
    if (e->x_sampling != 1 || e->y_sampling != 1)
      return Fail(error, "channel " + Printable(e->name.str) + " is subsampled, which is not supported");
    const int type = e->pixel_type;
    if (type != EXR_PIXEL_HALF && type != EXR_PIXEL_FLOAT && type != EXR_PIXEL_UINT)
      return Fail(error, "unknown sample type");
    wanted.push_back(Wanted{e->name.str, type, type == EXR_PIXEL_HALF ? 2 : 4});
  }
  const int n = int(wanted.size());

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

  Samples samples(width * n);
  ChunkDecoder decoder(raw, wanted);
  std::vector<unsigned char> block;
  exr_chunk_info_t cinfo;
  if (storage == EXR_STORAGE_SCANLINE) {
    int32_t lines = 0;
    if ((r = exr_get_scanlines_per_chunk(raw, 0, &lines)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
    if (lines < 1) return Fail(error, "bad scanlines per chunk");
    // The bottom chunk first, so that the samples grow bottom row first.
    for (int64_t first = (height - 1) / lines * lines; first >= 0; first -= lines) {
      const int64_t rows = std::min<int64_t>(lines, height - first);
      if ((r = exr_read_scanline_chunk_info(raw, 0, int(window.min.y + first), &cinfo)) != EXR_ERR_SUCCESS)
        return FailWith(error, *source, r);
      if (!CheckChunk(cinfo, window.min.y + first, width, rows, false, error)) return false;
      if ((r = decoder.Decode(cinfo, &block)) != EXR_ERR_SUCCESS) return FailWith(error, *source, r);
      float* out = samples.Append(rows);
      if (!out) return Fail(error, "out of memory");
      for (int64_t row = rows - 1; row >= 0; --row, out += width * n)
        decoder.Texels(block, uint64_t(rows * width), uint64_t(row * width), uint64_t(width), out);
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
        tile.resize(size_t(cols * rows * n));
        decoder.Texels(block, uint64_t(cols * rows), 0, uint64_t(cols * rows), tile.data());
      }
      float* out = samples.Append(rows);
      if (!out) return Fail(error, "out of memory");
      for (int64_t row = rows - 1; row >= 0; --row, out += width * n)
        for (int64_t tx = 0; tx < tilesX; ++tx) {
          const int64_t cols = std::min<int64_t>(tileWidth, width - tx * tileWidth);
          std::memcpy(out + tx * tileWidth * n, tileRow[size_t(tx)].data() + row * cols * n,
                      size_t(cols * n) * sizeof(float));
        }
    }
  }
  image->width = int(width);
  image->height = int(height);
  image->channels = n;
  image->samples = samples.Take();
  if (request.normals) FinishNormals(image->samples.get(), width * height, n, request.unorm);
  return true;
}

bool ReadCaught(Source* source, const BwExrRequest& request, BwExrImage* image, std::string* error) {
  try {
    return Read(source, request, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

}  // namespace

bool BwIsExr(const unsigned char* head, size_t n) {
  return n >= BW_EXR_MAGIC_BYTES && std::memcmp(head, kMagic, BW_EXR_MAGIC_BYTES) == 0;
}

bool BwReadExrMemory(const unsigned char* data, size_t size, const BwExrRequest& request, BwExrImage* image,
                     std::string* error) {
  if (!BwIsExr(data, size)) return Fail(error, "not an OpenEXR file (bad magic number)");
  Source source;
  source.data = data;
  source.size = int64_t(size);
  return ReadCaught(&source, request, image, error);
}

bool BwReadExr(const char* path, const BwExrRequest& request, BwExrImage* image, std::string* error) {
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
    const bool ok = BwReadExrFile(fp, request, image, error);
    std::fclose(fp);
    return ok;
  }
  if (pread(fd, head, sizeof head, 0) != ssize_t(sizeof head) || !BwIsExr(head, sizeof head))
    return Fail(error, "not an OpenEXR file (bad magic number)");
  Source source;
  source.fd = fd;
  source.size = int64_t(info.st_size);
  return ReadCaught(&source, request, image, error);
}

bool BwReadExrFile(FILE* fp, const BwExrRequest& request, BwExrImage* image, std::string* error) {
  return BwReadExrStream(fp, nullptr, 0, request, image, error);
}

bool BwReadExrStream(FILE* fp, const unsigned char* head, size_t headBytes, const BwExrRequest& request,
                     BwExrImage* image, std::string* error) {
  try {
    Source source;
    source.stream = fp;
    source.grown.assign(head, head + headBytes);
    if (!Grow(&source, BW_EXR_MAGIC_BYTES) || !BwIsExr(source.grown.data(), source.grown.size()))
      return Fail(error, "not an OpenEXR file (bad magic number)");
    return ReadCaught(&source, request, image, error);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

// ---- Writing -----------------------------------------------------------------------------

namespace {

constexpr int kTileSide = 64;
constexpr int64_t kBandRows = 256;
// zlib level the header records for readers that compress again; our own chunks are deflated
// by ZipChunk.
constexpr int kZipLevel = 4;

// Where the library's writes go: straight into a regular file, or into memory for anything
// else; and the library's first message.
struct Sink {
  FILE* fp = nullptr;
  bool seekable = false;
  int64_t start = 0;      // stream position of the file's first byte
  uint64_t position = 0;  // where the stream is, from the file's first byte
  uint64_t end = 0;       // bytes the file holds so far
  std::vector<unsigned char> held;
  bool failed = false;
  std::string message;
};

int64_t WriteSink(exr_const_context_t, void* user, const void* buffer, uint64_t bytes, uint64_t offset,
                  exr_stream_error_func_ptr_t) {
  Sink* s = static_cast<Sink*>(user);
  if (s->failed) return -1;
  try {
    if (!s->seekable) {
      if (offset + bytes > s->held.size()) s->held.resize(size_t(offset + bytes));
      std::memcpy(s->held.data() + offset, buffer, size_t(bytes));
    } else {
      if (offset != s->position && fseeko(s->fp, off_t(s->start) + off_t(offset), SEEK_SET) != 0) s->failed = true;
      if (!s->failed && std::fwrite(buffer, 1, size_t(bytes), s->fp) != bytes) s->failed = true;
      s->position = offset + bytes;
    }
  } catch (const std::bad_alloc&) {
    s->failed = true;
  }
  if (s->failed) return -1;
  s->end = std::max(s->end, offset + bytes);
  return int64_t(bytes);
}

void KeepWriteMessage(exr_const_context_t ctxt, exr_result_t, const char* message) {
  void* user = nullptr;
  if (exr_get_user_data(ctxt, &user) == EXR_ERR_SUCCESS && user) {
    Sink* s = static_cast<Sink*>(user);
    if (s->message.empty() && message) s->message = message;
  }
}

// The encoding pipeline stops after packing: the chunks are compressed by ZipChunk and written
// in order afterwards.
exr_result_t KeepChunk(exr_encode_pipeline_t*) { return EXR_ERR_SUCCESS; }

// One ZIP chunk of the packed bytes `in` as OpenEXR lays it out: the bytes split into the even
// ones followed by the odd ones, each then replaced by its difference from the one before plus
// 128, deflated as a zlib stream; the bytes as they are when that is not smaller. zlib runs with
// its run-length strategy at its fastest level, through one stream a thread that is reset for
// each chunk: the differences of smooth normals are mostly short runs, and the library's own
// compression (a new stream a chunk, hash chains) took two to three times as long for files
// within a few percent of the same size.
bool ZipChunk(const unsigned char* in, size_t n, std::vector<unsigned char>* out) {
  struct Deflater {
    z_stream z = {};
    bool ready = false;
    std::vector<unsigned char> split;
    ~Deflater() {
      if (ready) deflateEnd(&z);
    }
  };
  thread_local Deflater d;
  if (!d.ready && deflateInit2(&d.z, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return false;
  if (d.ready && deflateReset(&d.z) != Z_OK) return false;
  d.ready = true;
  d.split.resize(n);
  unsigned char* t = d.split.data();
  // Split and difference in one pass: byte j of the split order is byte 2j of the input in the
  // first half, byte 2(j - half) + 1 in the second.
  const size_t half = (n + 1) / 2;
  unsigned char previous = 0;
  for (size_t j = 0; j < n; ++j) {
    const unsigned char v = in[j < half ? 2 * j : 2 * (j - half) + 1];
    t[j] = j == 0 ? v : static_cast<unsigned char>(v - previous + 128);
    previous = v;
  }
  out->resize(deflateBound(&d.z, uLong(n)));
  d.z.next_in = t;
  d.z.avail_in = uInt(n);
  d.z.next_out = out->data();
  d.z.avail_out = uInt(out->size());
  if (deflate(&d.z, Z_FINISH) != Z_STREAM_END) return false;
  out->resize(d.z.total_out);
  if (out->size() >= n) out->assign(in, in + n);
  return true;
}

}  // namespace

int BwExrLevelCount(int width, int height) {
  int levels = 1;
  for (int side = std::max(width, height); side > 1; side >>= 1) ++levels;
  return levels;
}

struct BwExrWriter::State {
  Sink sink;
  exr_context_t ctxt = nullptr;
  bool floats = false;
  bool tiled = false;
  int levelCount = 0;
  int64_t width = 0, height = 0;  // of level 0
  int64_t chunkRows = 0;          // rows of a chunk: lines of a scanline chunk, or the tile height
  int level = 0;                  // the level being received
  int64_t levelWidth = 0, levelHeight = 0;
  int64_t rowsDone = 0;           // rows of the level written
  int64_t bandFill = 0;           // rows waiting in the band
  std::vector<unsigned char> band;  // the band's samples, R, G, B a texel, half or float
  std::vector<std::vector<unsigned char>> chunks;

  ~State() {
    if (ctxt) {
      sink.failed = true;  // an abandoned file: nothing more to write
      exr_finish(&ctxt);
    }
  }
  int SampleBytes() const { return floats ? 4 : 2; }
  bool Fail(std::string* error, exr_result_t r) {
    std::string text = sink.message.empty() ? exr_get_default_error_message(r) : sink.message;
    std::replace(text.begin(), text.end(), '\n', ' ');
    if (error) *error = "EXR: " + text;
    return false;
  }
};

BwExrWriter::BwExrWriter() = default;
BwExrWriter::~BwExrWriter() = default;

bool BwExrWriter::Begin(FILE* fp, int width, int height, int levelCount, bool floats, std::string* error) {
  state_.reset();
  if (!fp) return Fail(error, "no output stream");
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return Fail(error, "image size " + std::to_string(width) + " x " + std::to_string(height) + " is outside 1 to 65535");
  if (levelCount != 1 && levelCount != BwExrLevelCount(width, height))
    return Fail(error, "a " + std::to_string(width) + " x " + std::to_string(height) + " mip map has " +
                           std::to_string(BwExrLevelCount(width, height)) + " levels, not " + std::to_string(levelCount));
  try {
    auto state = std::make_unique<State>();
    State& s = *state;
    s.floats = floats;
    s.tiled = levelCount > 1;
    s.levelCount = levelCount;
    s.width = s.levelWidth = width;
    s.height = s.levelHeight = height;
    s.sink.fp = fp;
    s.sink.start = ftello(fp);
    struct stat st;
    s.sink.seekable = s.sink.start >= 0 && fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
    s.sink.start = std::max<int64_t>(s.sink.start, 0);

    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.error_handler_fn = KeepWriteMessage;
    init.user_data = &s.sink;
    init.write_fn = WriteSink;
    init.zip_level = kZipLevel;
    // The name only labels the stream; the writes go through WriteSink.
    exr_result_t r = exr_start_write(&s.ctxt, "output", EXR_WRITE_FILE_DIRECTLY, &init);
    int part = 0;
    const exr_pixel_type_t type = floats ? EXR_PIXEL_FLOAT : EXR_PIXEL_HALF;
    if (r == EXR_ERR_SUCCESS) r = exr_add_part(s.ctxt, nullptr, s.tiled ? EXR_STORAGE_TILED : EXR_STORAGE_SCANLINE, &part);
    if (r == EXR_ERR_SUCCESS) r = exr_initialize_required_attr_simple(s.ctxt, part, width, height, EXR_COMPRESSION_ZIP);
    for (const char* name : {"R", "G", "B"})
      if (r == EXR_ERR_SUCCESS) r = exr_add_channel(s.ctxt, part, name, type, EXR_PERCEPTUALLY_LINEAR, 1, 1);
    if (r == EXR_ERR_SUCCESS && s.tiled)
      r = exr_set_tile_descriptor(s.ctxt, part, kTileSide, kTileSide, EXR_TILE_MIPMAP_LEVELS, EXR_TILE_ROUND_DOWN);
    if (r == EXR_ERR_SUCCESS) r = exr_set_zip_compression_level(s.ctxt, part, kZipLevel);
    if (r == EXR_ERR_SUCCESS) r = exr_write_header(s.ctxt);
    int32_t lines = kTileSide;
    if (r == EXR_ERR_SUCCESS && !s.tiled) r = exr_get_scanlines_per_chunk(s.ctxt, part, &lines);
    if (r != EXR_ERR_SUCCESS) return s.Fail(error, r);
    if (s.sink.failed) return Fail(error, "could not write the header");
    s.chunkRows = lines;
    bandRows_ = std::max<int64_t>(1, kBandRows / lines) * lines;
    s.band.resize(size_t(bandRows_ * width * 3 * s.SampleBytes()));
    state_ = std::move(state);
    return true;
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
}

bool BwExrWriter::WriteRows(int level, const float* rows, int64_t count, std::string* error) {
  if (!state_) return Fail(error, "the image was not begun");
  State& s = *state_;
  if (level != s.level || level >= s.levelCount)
    return Fail(error, "level " + std::to_string(level) + " given where level " + std::to_string(s.level) +
                           " was expected");
  if (count > s.levelHeight - s.rowsDone - s.bandFill)
    return Fail(error, "more rows than level " + std::to_string(level) + " holds");
  const int64_t rowValues = s.levelWidth * 3;
  while (count > 0) {
    const int64_t take = std::min(count, bandRows_ - s.bandFill);
    const int64_t values = take * rowValues;
    unsigned char* out = s.band.data() + size_t(s.bandFill * rowValues * s.SampleBytes());
    if (s.floats) {
      std::memcpy(out, rows, size_t(values) * sizeof(float));
    } else {
      BwParallelFor(values, 1 << 16, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) {
          const uint16_t h = BwFloatToHalf(rows[i]);
          std::memcpy(out + i * 2, &h, 2);
        }
      });
    }
    rows += values;
    count -= take;
    s.bandFill += take;
    if ((s.bandFill == bandRows_ || s.rowsDone + s.bandFill == s.levelHeight) && !FlushBand(error)) return false;
  }
  return true;
}

bool BwExrWriter::FlushBand(std::string* error) {
  State& s = *state_;
  const int64_t first = s.rowsDone, rows = s.bandFill;
  const int64_t tilesX = s.tiled ? (s.levelWidth + kTileSide - 1) / kTileSide : 1;
  const int64_t chunkRowsInBand = (rows + s.chunkRows - 1) / s.chunkRows;
  const int64_t count = chunkRowsInBand * tilesX;
  const int sampleBytes = s.SampleBytes();
  const int64_t lineBytes = s.levelWidth * 3 * sampleBytes;
  s.chunks.resize(size_t(count));
  std::vector<exr_result_t> results(size_t(count), EXR_ERR_SUCCESS);
  // Chunk i: row of chunks i / tilesX of the band, tile i % tilesX of that row.
  BwParallelFor(count, 1, [&](int64_t begin, int64_t end) {
    exr_encode_pipeline_t pipeline = {};
    bool started = false;
    for (int64_t i = begin; i < end; ++i) {
      const int64_t row = first + i / tilesX * s.chunkRows, tx = i % tilesX;
      exr_chunk_info_t cinfo;
      exr_result_t r = s.tiled ? exr_write_tile_chunk_info(s.ctxt, 0, int(tx), int(row / kTileSide), s.level, s.level, &cinfo)
                               : exr_write_scanline_chunk_info(s.ctxt, 0, int(row), &cinfo);
      if (r == EXR_ERR_SUCCESS && s.tiled) {
        // A tile holds the texels inside its level: an edge tile is as wide and as high as
        // what is left of the level. (Below the top level the library makes the edge tiles of
        // a level larger than a tile whole tiles, which would pack texels from beyond the
        // level's rows.)
        cinfo.width = int32_t(std::min<int64_t>(kTileSide, s.levelWidth - tx * kTileSide));
        cinfo.height = int32_t(std::min<int64_t>(kTileSide, s.levelHeight - row));
        cinfo.unpacked_size = uint64_t(cinfo.width) * uint64_t(cinfo.height) * 3 * uint64_t(sampleBytes);
      }
      if (r == EXR_ERR_SUCCESS)
        r = started ? exr_encoding_update(s.ctxt, 0, &cinfo, &pipeline) : exr_encoding_initialize(s.ctxt, 0, &cinfo, &pipeline);
      if (r == EXR_ERR_SUCCESS) {
        started = true;
        const unsigned char* origin = s.band.data() + (row - first) * lineBytes + tx * kTileSide * 3 * sampleBytes;
        for (int c = 0; c < pipeline.channel_count; ++c) {
          exr_coding_channel_info_t& ch = pipeline.channels[c];
          const int k = ch.channel_name[0] == 'R' ? 0 : ch.channel_name[0] == 'G' ? 1 : 2;
          ch.encode_from_ptr = origin + k * sampleBytes;
          ch.user_pixel_stride = 3 * sampleBytes;
          ch.user_line_stride = int32_t(lineBytes);
          ch.user_bytes_per_element = int16_t(sampleBytes);
          ch.user_data_type = uint16_t(s.floats ? EXR_PIXEL_FLOAT : EXR_PIXEL_HALF);
        }
        r = exr_encoding_choose_default_routines(s.ctxt, 0, &pipeline);
      }
      if (r == EXR_ERR_SUCCESS) {
        pipeline.compress_fn = nullptr;
        pipeline.yield_until_ready_fn = KeepChunk;
        pipeline.write_fn = KeepChunk;
        r = exr_encoding_run(s.ctxt, 0, &pipeline);
        // Without a compression step the pipeline hands over its packed buffer, which stays its own.
        pipeline.compressed_buffer = nullptr;
        pipeline.compressed_bytes = 0;
        pipeline.compressed_alloc_size = 0;
      }
      if (r == EXR_ERR_SUCCESS && !ZipChunk(static_cast<const unsigned char*>(pipeline.packed_buffer),
                                            size_t(pipeline.packed_bytes), &s.chunks[size_t(i)]))
        r = EXR_ERR_OUT_OF_MEMORY;
      results[size_t(i)] = r;
    }
    if (started) exr_encoding_destroy(s.ctxt, &pipeline);
  });
  for (int64_t i = 0; i < count; ++i) {
    exr_result_t r = results[size_t(i)];
    const int64_t row = first + i / tilesX * s.chunkRows, tx = i % tilesX;
    const std::vector<unsigned char>& chunk = s.chunks[size_t(i)];
    if (r == EXR_ERR_SUCCESS)
      r = s.tiled ? exr_write_tile_chunk(s.ctxt, 0, int(tx), int(row / kTileSide), s.level, s.level, chunk.data(), chunk.size())
                  : exr_write_scanline_chunk(s.ctxt, 0, int(row), chunk.data(), chunk.size());
    if (r != EXR_ERR_SUCCESS) return s.Fail(error, r);
    if (s.sink.failed) return Fail(error, "could not write image data");
  }
  s.rowsDone += rows;
  s.bandFill = 0;
  if (s.rowsDone == s.levelHeight && ++s.level < s.levelCount) {
    s.levelWidth = std::max<int64_t>(1, s.width >> s.level);
    s.levelHeight = std::max<int64_t>(1, s.height >> s.level);
    s.rowsDone = 0;
  }
  return true;
}

bool BwExrWriter::End(std::string* error) {
  if (!state_) return Fail(error, "the image was not begun");
  State& s = *state_;
  if (s.level != s.levelCount) return Fail(error, "level " + std::to_string(s.level) + " is incomplete");
  const exr_result_t r = exr_finish(&s.ctxt);
  s.ctxt = nullptr;
  if (r != EXR_ERR_SUCCESS) return s.Fail(error, r);
  bool ok = !s.sink.failed;
  if (ok && !s.sink.seekable) ok = std::fwrite(s.sink.held.data(), 1, s.sink.held.size(), s.sink.fp) == s.sink.held.size();
  if (ok && s.sink.seekable) ok = fseeko(s.sink.fp, off_t(s.sink.start) + off_t(s.sink.end), SEEK_SET) == 0;
  ok = ok && std::fflush(s.sink.fp) == 0;
  state_.reset();
  return ok || Fail(error, "could not write image data");
}

// After the magic number and the version word, attributes follow: a name and a type name, each
// ending in a zero byte, a 32-bit little-endian size, then the value; an empty name ends the
// header. dataWindow is a box2i: xMin, yMin, xMax, yMax.
bool BwProbeExr(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  size_t at = 8;
  const auto text = [&](std::string* out) {
    const void* end = at < n ? std::memchr(head + at, 0, n - at) : nullptr;
    if (!end) return false;
    out->assign(reinterpret_cast<const char*>(head + at), size_t(static_cast<const unsigned char*>(end) - (head + at)));
    at += out->size() + 1;
    return true;
  };
  std::string name, type;
  bool sized = false;
  uint64_t channels = 0;  // in the chlist: a name ending in a zero byte and 16 bytes each
  while (text(&name) && !name.empty()) {
    if (!text(&type) || n - at < 4) break;
    const uint64_t size = BwLoadLE32(head + at);
    at += 4;
    if (size > n - at) break;
    if (name == "dataWindow" && type == "box2i" && size == 16) {
      const int64_t xMin = int32_t(BwLoadLE32(head + at)), yMin = int32_t(BwLoadLE32(head + at + 4));
      const int64_t xMax = int32_t(BwLoadLE32(head + at + 8)), yMax = int32_t(BwLoadLE32(head + at + 12));
      if (!BwSetProbeSize(xMax - xMin + 1, yMax - yMin + 1, probe)) return false;
      sized = true;
    } else if (name == "channels" && type == "chlist") {
      for (const unsigned char *p = head + at, *end = p + size; p < end && *p != 0; ++channels) {
        const void* zero = std::memchr(p, 0, size_t(end - p));
        if (!zero) break;
        p = static_cast<const unsigned char*>(zero) + 1 + 16;
      }
    }
    at += size_t(size);
  }
  if (!sized) return false;
  // A height, or the normal and alpha channels, as floats.
  const uint64_t values = std::min<uint64_t>(std::max<uint64_t>(channels, 1), 4);
  probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * 4 * values + fileBytes;
  return true;
}
