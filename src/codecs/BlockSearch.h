// The processor versions of the BC5 and BC3n searches (BlockSearch.inc, compiled once in each
// version's file): one row of (width + 3) / 4 blocks from a band of rowCount (1 to 4) texel rows,
// rows[r] being row r of the band in picture order (see BwEncodeBc5Image). All give the same
// bytes; BwEncodeBc5Image and BwEncodeBc3nImage pick one.
#pragma once

#include "BlockCompress.h"

void BwEncodeBc5BandBaseline(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                             unsigned char* out);
void BwEncodeBc5BandAvx2(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                         unsigned char* out);
void BwEncodeBc5BandAvx512(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                           unsigned char* out);
void BwEncodeBc3nBandBaseline(const float* const* rows, int rowCount, int width, int numComponents,
                              unsigned char* out);
void BwEncodeBc3nBandAvx2(const float* const* rows, int rowCount, int width, int numComponents, unsigned char* out);
void BwEncodeBc3nBandAvx512(const float* const* rows, int rowCount, int width, int numComponents, unsigned char* out);
