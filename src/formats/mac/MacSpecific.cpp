// Byte-order converters for the little-endian file headers; see MacSpecific.h.
#include "mac/MacSpecific.h"

#include <cstddef>
#include <cstring>

#include "HeaderRecords.h"

#if ZEL_HOST_BIG_ENDIAN
UInt16 ZelEndian16_Swap(UInt16 value) { return __builtin_bswap16(value); }
UInt32 ZelEndian32_Swap(UInt32 value) { return __builtin_bswap32(value); }
UInt64 ZelEndian64_Swap(UInt64 value) { return __builtin_bswap64(value); }
#else
// File order already is host order.
UInt16 ZelEndian16_Swap(UInt16 value) { return value; }
UInt32 ZelEndian32_Swap(UInt32 value) { return value; }
UInt64 ZelEndian64_Swap(UInt64 value) { return value; }
#endif

// Floats are reversed as bit patterns, so every pattern (NaNs included) survives both ways.
float32 ZelEndianFloat32_Swap(float32 value) {
  UInt32 bits;
  std::memcpy(&bits, &value, sizeof bits);
  bits = ZelEndian32_Swap(bits);
  std::memcpy(&value, &bits, sizeof bits);
  return value;
}

float64 ZelEndianFloat64_Swap(float64 value) {
  UInt64 bits;
  std::memcpy(&bits, &value, sizeof bits);
  bits = ZelEndian64_Swap(bits);
  std::memcpy(&value, &bits, sizeof bits);
  return value;
}

namespace {

// Applies `swap` to each of `num` elements of type T stored back to back at `data`. Elements
// are copied in and out, so they may lie at any alignment.
template <typename T, typename Swap>
uint32 SwapEach(void* data, uint32 num, Swap swap) {
#if ZEL_HOST_BIG_ENDIAN
  unsigned char* p = static_cast<unsigned char*>(data);
  for (uint32 i = 0; i < num; ++i, p += sizeof(T)) {
    T value;
    std::memcpy(&value, p, sizeof value);
    value = swap(value);
    std::memcpy(p, &value, sizeof value);
  }
#else
  (void)data;
  (void)num;
  (void)swap;
#endif
  return 1;
}

// Swaps the field of type T at byte `offset` of a record.
template <typename T, typename Swap>
void SwapField(unsigned char* record, size_t offset, Swap swap) {
  SwapEach<T>(record + offset, 1, swap);
}

}  // namespace

uint32 ZelByteSwap_bool8(void*, uint32) { return 1; }
uint32 ZelByteSwap_char8(void*, uint32) { return 1; }
uint32 ZelByteSwap_int8(void*, uint32) { return 1; }
uint32 ZelByteSwap_uint8(void*, uint32) { return 1; }
uint32 ZelByteSwap_int16(void* data, uint32 num) { return SwapEach<UInt16>(data, num, ZelEndian16_Swap); }
uint32 ZelByteSwap_uint16(void* data, uint32 num) { return SwapEach<UInt16>(data, num, ZelEndian16_Swap); }
uint32 ZelByteSwap_int32(void* data, uint32 num) { return SwapEach<UInt32>(data, num, ZelEndian32_Swap); }
uint32 ZelByteSwap_uint32(void* data, uint32 num) { return SwapEach<UInt32>(data, num, ZelEndian32_Swap); }
uint32 ZelByteSwap_float32(void* data, uint32 num) {
  return SwapEach<float32>(data, num, ZelEndianFloat32_Swap);
}
uint32 ZelByteSwap_float64(void* data, uint32 num) {
  return SwapEach<float64>(data, num, ZelEndianFloat64_Swap);
}

uint32 ZelByteSwap_TGAHeaderInfo(void* data, uint32 num) {
  unsigned char* record = static_cast<unsigned char*>(data);
  for (uint32 i = 0; i < num; ++i, record += sizeof(TGAHeaderInfo)) {
    ZelByteSwap_uint16(record + offsetof(TGAHeaderInfo, cmorg), 1);
    ZelByteSwap_uint16(record + offsetof(TGAHeaderInfo, cmcnt), 1);
    ZelByteSwap_uint16(record + offsetof(TGAHeaderInfo, imxorg), 1);
    ZelByteSwap_uint16(record + offsetof(TGAHeaderInfo, imyorg), 1);
    ZelByteSwap_uint16(record + offsetof(TGAHeaderInfo, imwidth), 1);
    ZelByteSwap_uint16(record + offsetof(TGAHeaderInfo, imheight), 1);
  }
  return 1;
}

uint32 ZelByteSwap_ZelBitmap(void* data, uint32 num) {
  unsigned char* record = static_cast<unsigned char*>(data);
  for (uint32 i = 0; i < num; ++i, record += sizeof(ZelBitmap)) {
    ZelByteSwap_uint16(record + offsetof(ZelBitmap, width), 1);
    ZelByteSwap_uint16(record + offsetof(ZelBitmap, height), 1);
    SwapField<UInt32>(record, offsetof(ZelBitmap, format), ZelEndian32_Swap);
  }
  return 1;
}
