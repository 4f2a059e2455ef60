// The processor versions of the EAC R11 search (EacSearch.inc, compiled once in each version's
// file), and the modifier tables that the search and the decoder share.
#pragma once

#include <cstdint>

// The sixteen modifier tables of an R11 block, by table index; a texel's 3-bit index picks the
// modifier. Indices 0 to 3 hold -a and indices 4 to 7 hold a - 1, for four magnitudes a in
// increasing order: the search relies on that shape.
inline constexpr int8_t BW_EAC_MODIFIERS[16][8] = {
    {-3, -6, -9, -15, 2, 5, 8, 14}, {-3, -7, -10, -13, 2, 6, 9, 12}, {-2, -5, -8, -13, 1, 4, 7, 12},
    {-2, -4, -6, -13, 1, 3, 5, 12}, {-3, -6, -8, -12, 2, 5, 7, 11},  {-3, -7, -9, -11, 2, 6, 8, 10},
    {-4, -7, -8, -11, 3, 6, 7, 10}, {-3, -5, -8, -11, 2, 4, 7, 10},  {-2, -6, -8, -10, 1, 5, 7, 9},
    {-2, -5, -8, -10, 1, 4, 7, 9},  {-2, -4, -8, -10, 1, 3, 7, 9},   {-2, -5, -7, -10, 1, 4, 6, 9},
    {-3, -4, -7, -10, 2, 3, 6, 9},  {-1, -2, -3, -10, 0, 1, 2, 9},   {-4, -6, -8, -9, 3, 5, 7, 8},
    {-3, -5, -7, -9, 2, 4, 6, 8}};

// One row of (width + 3) / 4 EAC RG11 blocks from a band of rowCount (1 to 4) texel rows, rows[r]
// being row r of the band in picture order (see BwEncodeEacRg11Image). All give the same bytes;
// BwEncodeEacRg11Image picks one.
void BwEncodeEacBandBaseline(const float* const* rows, int rowCount, int width, int numComponents, bool isSigned,
                             unsigned char* out);
void BwEncodeEacBandAvx2(const float* const* rows, int rowCount, int width, int numComponents, bool isSigned,
                         unsigned char* out);
void BwEncodeEacBandAvx512(const float* const* rows, int rowCount, int width, int numComponents, bool isSigned,
                           unsigned char* out);
