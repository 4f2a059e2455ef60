// Byte order of file headers. The Targa and .kep headers are little-endian on disk; these
// converters turn a record between file order and host order in place. Whether they reverse
// bytes is fixed when the program is built: on a little-endian host every converter leaves
// memory alone and every value swap returns its argument, on a big-endian host every converter
// of 16 bits or more reverses bytes. Reversal is its own inverse, so one call converts either
// way. Texel data never passes through here.
#pragma once

#include <cstdint>

typedef uint32_t uint32;
typedef int32_t int32;
typedef uint16_t uint16;
typedef int16_t int16;
typedef float float32;
typedef double float64;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef uint64_t UInt64;

// Set ZEL_HOST_BIG_ENDIAN to 0 or 1 to force a byte order (the tests build both).
#ifndef ZEL_HOST_BIG_ENDIAN
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define ZEL_HOST_BIG_ENDIAN 1
#else
#define ZEL_HOST_BIG_ENDIAN 0
#endif
#endif

UInt16 ZelEndian16_Swap(UInt16 value);
UInt32 ZelEndian32_Swap(UInt32 value);
UInt64 ZelEndian64_Swap(UInt64 value);
float32 ZelEndianFloat32_Swap(float32 value);
float64 ZelEndianFloat64_Swap(float64 value);

// Each converts `num` consecutive elements in place and returns 1.
uint32 ZelByteSwap_bool8(void* data, uint32 num);
uint32 ZelByteSwap_char8(void* data, uint32 num);
uint32 ZelByteSwap_int8(void* data, uint32 num);
uint32 ZelByteSwap_uint8(void* data, uint32 num);
uint32 ZelByteSwap_int16(void* data, uint32 num);
uint32 ZelByteSwap_uint16(void* data, uint32 num);
uint32 ZelByteSwap_int32(void* data, uint32 num);
uint32 ZelByteSwap_uint32(void* data, uint32 num);
uint32 ZelByteSwap_float32(void* data, uint32 num);
uint32 ZelByteSwap_float64(void* data, uint32 num);
// The 16-bit fields of `num` consecutive 18-byte Targa headers.
uint32 ZelByteSwap_TGAHeaderInfo(void* data, uint32 num);
// width, height and format of `num` consecutive ZelBitmap records.
uint32 ZelByteSwap_ZelBitmap(void* data, uint32 num);
