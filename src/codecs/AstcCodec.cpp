// ASTC encoder and decoder of normal images on Arm's astcenc library; see AstcCodec.h.
#include "AstcCodec.h"

#include <astcenc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "BwArray.h"
#include "NormalMath.h"
#include "Parallel.h"

namespace {

// The library's presets for BW_ASTC_FASTEST to BW_ASTC_EXHAUSTIVE.
const float kPresets[BW_ASTC_QUALITY_COUNT] = {ASTCENC_PRE_FASTEST,  ASTCENC_PRE_FAST,         ASTCENC_PRE_MEDIUM,
                                               ASTCENC_PRE_THOROUGH, ASTCENC_PRE_VERYTHOROUGH, ASTCENC_PRE_EXHAUSTIVE};

// Blocks a thread of the library's own scheduling should at least have: below this a small
// image (a mip chain's last levels) is encoded or decoded on the calling thread alone.
constexpr int64_t kBlocksPerThread = 64;

// Texels of the 8-bit band the decoder works through at a time.
constexpr int64_t kDecodeBandTexels = int64_t(1) << 20;

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

bool Failed(std::string* error, const char* what, astcenc_error status) {
  return Fail(error, std::string(what) + ": " + astcenc_get_error_string(status));
}

// A normal component in [-1, 1] as the value stored, (c + 1) / 2 in [0, 1]; NaN as 0.
inline float Unorm(float c) {
  if (std::isnan(c)) return 0.5f;
  return (std::clamp(c, -1.0f, 1.0f) + 1.0f) * 0.5f;
}

// Calls run(threadIndex) once for each of `threads` thread indices, on as many threads: the
// library hands the blocks out among the callers, and every index is used exactly once. Returns
// the first failure of any call.
template <typename Run>
astcenc_error OnThreads(int threads, const Run& run) {
  std::atomic<int> failure{ASTCENC_SUCCESS};
  BwParallelFor(threads, 1, [&](int64_t begin, int64_t end) {
    for (int64_t index = begin; index < end; ++index) {
      const astcenc_error status = run(unsigned(index));
      int expected = ASTCENC_SUCCESS;
      if (status != ASTCENC_SUCCESS) failure.compare_exchange_strong(expected, int(status));
    }
  });
  return astcenc_error(failure.load());
}

// Threads worth using for `blocks` blocks, at most `threads`.
int ThreadsFor(uint64_t blocks, int threads) {
  return int(std::clamp<uint64_t>(blocks / kBlocksPerThread, 1, uint64_t(std::max(threads, 1))));
}

}  // namespace

BwAstcEncoder::~BwAstcEncoder() {
  if (context_) astcenc_context_free(context_);
}

bool BwAstcEncoder::Prepare(int blockWidth, int blockHeight, int quality, int threads, std::string* error) {
  if (context_ && blockWidth == blockWidth_ && blockHeight == blockHeight_ && quality == quality_ &&
      threads == threads_)
    return true;
  if (context_) astcenc_context_free(context_);
  context_ = nullptr;
  if (!BwAstcBlockSizeValid(blockWidth, blockHeight))
    return Fail(error, "ASTC has no " + std::to_string(blockWidth) + "x" + std::to_string(blockHeight) + " blocks");
  if (quality < 0 || quality >= BW_ASTC_QUALITY_COUNT)
    return Fail(error, "unknown ASTC quality " + std::to_string(quality));
  // Normal-map mode: x and y weighed by the angle their error turns the normal. The context only
  // ever decodes what it encoded itself, which lets the library leave out the tables of the
  // block modes it never chooses.
  astcenc_config config;
  astcenc_error status = astcenc_config_init(ASTCENC_PRF_LDR, unsigned(blockWidth), unsigned(blockHeight), 1,
                                             kPresets[quality],
                                             ASTCENC_FLG_MAP_NORMAL | ASTCENC_FLG_SELF_DECOMPRESS_ONLY, &config);
  if (status != ASTCENC_SUCCESS) return Failed(error, "cannot configure the ASTC encoder", status);
  status = astcenc_context_alloc(&config, unsigned(threads), &context_);
  if (status != ASTCENC_SUCCESS) {
    context_ = nullptr;
    return Failed(error, "cannot set up the ASTC encoder", status);
  }
  blockWidth_ = blockWidth, blockHeight_ = blockHeight, quality_ = quality, threads_ = threads;
  return true;
}

bool BwAstcEncoder::Encode(const float* image, int width, int height, int numComponents, int blockWidth,
                           int blockHeight, int quality, unsigned char* out, std::string* error) {
  if (width < 1 || height < 1 || numComponents < 2) return Fail(error, "no image to encode");
  const int threads = std::max(1, BwThreadCount());
  if (!Prepare(blockWidth, blockHeight, quality, threads, error)) return false;
  // The library takes four floats a texel, the rows in the order of its blocks: the picture's
  // top row first. Red holds x and green y; the swizzle below puts x in red, green and blue and
  // y in alpha, as the normal-map mode wants. Blue and alpha of the copy are never read.
  const int64_t w = width, h = height;
  BwArray<float> rgba = BwAllocArray<float>(uint64_t(w) * uint64_t(h) * 4);
  if (!rgba) return Fail(error, "out of memory for the ASTC encoder's texels");
  BwParallelFor(h, std::max<int64_t>(1, (int64_t(1) << 15) / w), [&](int64_t y0, int64_t y1) {
    for (int64_t y = y0; y < y1; ++y) {
      const float* in = image + (h - 1 - y) * w * numComponents;
      float* to = rgba.get() + y * w * 4;
      for (int64_t x = 0; x < w; ++x, in += numComponents, to += 4) {
        float nx, ny;
        BwTwoComponentTarget(in, numComponents, &nx, &ny);
        to[0] = Unorm(nx);
        to[1] = Unorm(ny);
        to[2] = 0.0f;
        to[3] = 1.0f;
      }
    }
  });
  void* slices[1] = {rgba.get()};
  astcenc_image picture{unsigned(width), unsigned(height), 1, ASTCENC_TYPE_F32, slices};
  const astcenc_swizzle swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_R, ASTCENC_SWZ_R, ASTCENC_SWZ_G};
  const uint64_t bytes = BwAstcImageBytes(width, height, blockWidth, blockHeight);
  const int used = ThreadsFor(bytes / 16, threads);
  const astcenc_error status = OnThreads(used, [&](unsigned index) {
    return astcenc_compress_image(context_, &picture, &swizzle, out, size_t(bytes), index);
  });
  astcenc_compress_reset(context_);
  if (status != ASTCENC_SUCCESS) return Failed(error, "ASTC encoding failed", status);
  return true;
}

bool BwEncodeAstcImage(const float* image, int width, int height, int numComponents, int blockWidth,
                       int blockHeight, int quality, unsigned char* out, std::string* error) {
  BwAstcEncoder encoder;
  return encoder.Encode(image, width, height, numComponents, blockWidth, blockHeight, quality, out, error);
}

bool BwDecodeAstcImage(const unsigned char* blocks, int width, int height, int blockWidth, int blockHeight,
                       float* normals, std::string* error) {
  if (width < 1 || height < 1) return Fail(error, "no image to decode");
  if (!BwAstcBlockSizeValid(blockWidth, blockHeight))
    return Fail(error, "ASTC has no " + std::to_string(blockWidth) + "x" + std::to_string(blockHeight) + " blocks");
  const int threads = std::max(1, BwThreadCount());
  astcenc_config config;
  astcenc_error status = astcenc_config_init(ASTCENC_PRF_LDR, unsigned(blockWidth), unsigned(blockHeight), 1,
                                             ASTCENC_PRE_FASTEST, ASTCENC_FLG_DECOMPRESS_ONLY, &config);
  if (status != ASTCENC_SUCCESS) return Failed(error, "cannot configure the ASTC decoder", status);
  astcenc_context* context = nullptr;
  status = astcenc_context_alloc(&config, unsigned(threads), &context);
  if (status != ASTCENC_SUCCESS) return Failed(error, "cannot set up the ASTC decoder", status);
  const std::unique_ptr<astcenc_context, void (*)(astcenc_context*)> owner(context, astcenc_context_free);

  // Bands of whole block rows, about kDecodeBandTexels texels each.
  const int64_t w = width, h = height;
  const int64_t blocksWide = (w + blockWidth - 1) / blockWidth;
  const int64_t bandRows = std::max<int64_t>(1, kDecodeBandTexels / (w * blockHeight)) * blockHeight;
  BwArray<unsigned char> texels = BwAllocArray<unsigned char>(uint64_t(std::min(bandRows, h) * w * 4));
  if (!texels) return Fail(error, "out of memory for the ASTC decoder's texels");
  for (int64_t top = 0; top < h; top += bandRows) {
    const int64_t rows = std::min(bandRows, h - top);
    const int64_t bandBlocks = (rows + blockHeight - 1) / blockHeight * blocksWide;
    void* slices[1] = {texels.get()};
    astcenc_image band{unsigned(w), unsigned(rows), 1, ASTCENC_TYPE_U8, slices};
    const astcenc_swizzle swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
    const unsigned char* data = blocks + top / blockHeight * blocksWide * 16;
    status = OnThreads(ThreadsFor(uint64_t(bandBlocks), threads), [&](unsigned index) {
      return astcenc_decompress_image(context, data, size_t(bandBlocks * 16), &band, &swizzle, index);
    });
    astcenc_decompress_reset(context);
    if (status != ASTCENC_SUCCESS) return Failed(error, "ASTC decoding failed", status);
    // Picture row top + r is stored row h - 1 - top - r.
    BwParallelFor(rows, std::max<int64_t>(1, (int64_t(1) << 15) / w), [&](int64_t r0, int64_t r1) {
      for (int64_t r = r0; r < r1; ++r) {
        const unsigned char* t = texels.get() + r * w * 4;
        float* n = normals + (h - 1 - top - r) * w * 3;
        for (int64_t x = 0; x < w; ++x, t += 4, n += 3) {
          const float nx = float(t[0]) / 255.0f * 2.0f - 1.0f, ny = float(t[3]) / 255.0f * 2.0f - 1.0f;
          n[0] = nx;
          n[1] = ny;
          n[2] = std::sqrt(std::max(0.0f, 1.0f - nx * nx - ny * ny));
        }
      }
    });
  }
  return true;
}
