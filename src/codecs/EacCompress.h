// EAC RG11 block compression of normal images (unsigned and signed), and the R11 block decoder
// the reader and the tests use.
//
// An R11 block holds 4 x 4 values of one channel in 8 bytes, read as one big-endian 64-bit word:
// the base codeword in bits 56-63, the multiplier in bits 52-55, the table index in bits 48-51,
// then sixteen 3-bit indices, the first in bits 45-47. The indices run down the columns: index n
// belongs to the texel in column n / 4 and row n % 4 of the block. An index picks a modifier of
// the table (see BW_EAC_MODIFIERS in EacSearch.h), and the texel's 11-bit value is
//   unsigned: clamp(base * 8 + 4 + modifier * m, 0, 2047), read as value / 2047
//   signed:   clamp(base * 8 + modifier * m, -1023, 1023), read as value / 1023
// with m = multiplier * 8, or 1 when the multiplier is 0. A signed base is a two's complement
// byte, with -128 read as -127. An RG11 block is an R11 block of x followed by one of y;
// unsigned blocks store a component c as (c + 1) / 2, as BC5 UNORM does.
//
// The encoder works from float input and chooses, for each block and channel, the table,
// multiplier, base and indices that minimise the squared error of the decoded values against
// that input, each texel's error counting as much as it turns the normal (as in
// BwEncodeBc5Image). The search is a fitted, local one, not an exhaustive one. Results never
// depend on the number of threads or on which processor version of the code runs.
#pragma once

#include "BwVector.h"

// Decodes an 8-byte R11 block into 16 values in [-1, 1], row-major from the top-left texel
// (unsigned blocks mapped by 2v - 1).
void BwDecodeEacR11Block(const unsigned char in[8], bool isSigned, float values[16]);

// Encodes a whole width x height normal image (rows stored bottom row first, each texel
// numComponents floats x, y, ...) into ceil(height / 4) rows of ceil(width / 4) RG11 blocks of
// 16 bytes, top block row first, over the threads the process may use, in a processor version of
// the search (one that BwVectorVersionRuns accepts; all give the same bytes). Blocks past the
// right or bottom edge repeat the last column or row. Values outside [-1, 1] count as the
// nearest end; a value that is not a number counts as 0.
void BwEncodeEacRg11Image(const float* image, int width, int height, int numComponents, bool isSigned,
                          unsigned char* out, BwVectorVersion version = BwFastestVectorVersion());
