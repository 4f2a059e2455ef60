// The orders readers put decoded texels in (see DecodedImage.h), done a row at a time in loops
// the compiler can keep in registers: every reader of a colour container passes all its texels
// through them.
#include "DecodedImage.h"

#include <cstring>
#include <vector>

namespace {

uint16_t FromBigEndian(uint16_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return v;
#else
  return __builtin_bswap16(v);
#endif
}

// One copy loop per texel layout, with each sample a load and a store of its own (a texel
// gathered in memory and read back whole would wait on the stores that built it).
template <typename T, int kChannels, bool kSwapRedBlue, bool kBigEndian>
void Copy(const unsigned char* in, unsigned char* out, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i, in += kChannels * sizeof(T), out += kChannels * sizeof(T)) {
    T s[kChannels];
    for (int c = 0; c < kChannels; ++c) {
      std::memcpy(&s[c], in + c * sizeof(T), sizeof(T));
      if constexpr (kBigEndian) s[c] = FromBigEndian(s[c]);
    }
    for (int c = 0; c < kChannels; ++c) {
      const int from = kSwapRedBlue && c != 1 && c < 3 ? 2 - c : c;
      std::memcpy(out + c * sizeof(T), &s[from], sizeof(T));
    }
  }
}

template <typename T, bool kBigEndian>
void CopySamples(const unsigned char* in, unsigned char* out, uint64_t count, int channels) {
  switch (channels) {
    case 1:
      return Copy<T, 1, false, kBigEndian>(in, out, count);
    case 2:
      return Copy<T, 2, false, kBigEndian>(in, out, count);
    case 3:
      return Copy<T, 3, true, kBigEndian>(in, out, count);
    default:
      return Copy<T, 4, true, kBigEndian>(in, out, count);
  }
}

}  // namespace

void BwCopyDecodedTexels(const unsigned char* in, unsigned char* out, uint64_t count, int channels, int bits,
                         bool bigEndian) {
  // Grey samples in the machine's order are already in place.
  if (channels < 3 && (bits == 8 || !bigEndian)) {
    if (in != out) std::memmove(out, in, size_t(count) * size_t(channels) * size_t(bits / 8));
    return;
  }
  if (bits == 8) return CopySamples<unsigned char, false>(in, out, count, channels);
  if (bigEndian) return CopySamples<uint16_t, true>(in, out, count, channels);
  CopySamples<uint16_t, false>(in, out, count, channels);
}

void BwFlipRows(unsigned char* data, uint64_t rowBytes, uint64_t height) {
  std::vector<unsigned char> row(rowBytes);
  for (uint64_t y = 0; y < height / 2; ++y) {
    unsigned char* top = data + y * rowBytes;
    unsigned char* bottom = data + (height - 1 - y) * rowBytes;
    std::memcpy(row.data(), top, size_t(rowBytes));
    std::memcpy(top, bottom, size_t(rowBytes));
    std::memcpy(bottom, row.data(), size_t(rowBytes));
  }
}
