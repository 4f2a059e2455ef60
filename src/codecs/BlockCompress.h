// BC4 and BC5 block compression of normal images, and the block decoders the reader and the
// tests use.
//
// A BC4 block holds 4 x 4 values of one channel in 8 bytes: two endpoint bytes e0, e1, then 48
// bits of 3-bit indices (texel i of the block, row-major from the top-left texel, at bit 16 + 3i
// of the little-endian 64-bit block). With e0 > e1 the indices select e0, e1 and six values
// evenly between them; otherwise e0, e1, four values between them, and the two ends of the
// range (0 and 1 for UNORM, -1 and 1 for SNORM). UNORM endpoints are unsigned bytes over 255;
// SNORM endpoints are signed bytes over 127, with -128 read as -127. A BC5 block is a BC4 block
// of x followed by one of y. A BC3 block is a BC4-style alpha block followed by a colour block
// whose green channel, with x in alpha, carries the old two-channel normal-map convention.
//
// The encoder works from float input and chooses endpoints and indices that minimise the
// squared error of the decoded values against that input (no 8-bit step in between); in BC5
// blocks each texel's error counts as much as it turns the normal (see BwEncodeBc5Image). The
// search is a local one from several starting ranges, not an exhaustive one. Results never
// depend on the number of threads or on which processor version of the code runs.
#pragma once

#include <cstdint>

#include "BwVector.h"

enum class BwBc4Kind { UNORM, SNORM };

// Encodes 16 values (a 4 x 4 block, row-major from the top-left texel) into an 8-byte BC4 block.
// UNORM input is the normal component in [-1, 1], stored as (c + 1) / 2; SNORM input is stored
// directly. Values outside [-1, 1] count as the nearest end; a value that is not a number counts
// as 0.
void BwEncodeBc4Block(const float values[16], BwBc4Kind kind, unsigned char out[8]);

// Decodes an 8-byte BC4 block into 16 values in [-1, 1] (UNORM blocks mapped by 2v - 1).
void BwDecodeBc4Block(const unsigned char in[8], BwBc4Kind kind, float values[16]);

// Decodes the green channel of a BC3 colour block (bytes 8 to 15 of a BC3 block) into 16
// values in [-1, 1], as a GPU reads it: each 6-bit endpoint expanded to 8 bits by repeating its
// top bits, and the four-colour palette (BC3 colour blocks always use it) of the endpoints and
// the exact thirds (2 c0 + c1) / 3 and (c0 + 2 c1) / 3 between them.
void BwDecodeBc3GreenBlock(const unsigned char in[8], float values[16]);

// Encodes a whole width x height normal image (rows stored bottom row first, as the pipeline
// keeps them, each texel numComponents floats x, y, ...) into ceil(height / 4) rows of
// ceil(width / 4) BC5 blocks of 16 bytes, top block row first, over the threads the process may
// use, in a processor version of the search (one that BwVectorVersionRuns accepts; all give the
// same bytes). Blocks past the right or bottom edge repeat the last column or row. A reader
// rebuilds z from x and y, so the squared error of x counts 1 + x^2 / z^2 times (and that of y
// 1 + y^2 / z^2), z^2 being 1 - x^2 - y^2 held to at least 0.05: the squared angle the error
// turns the normal by. The x block is encoded first and the y block then aims to cancel the
// angle x's error leaves (the term 2 x y dx dy / z^2). A texel whose z (the third component,
// when there is one) is negative is encoded as its direction on the horizon, (x, y) / |(x, y)|,
// the nearest normal a reader that rebuilds z >= 0 can give.
void BwEncodeBc5Image(const float* image, int width, int height, int numComponents,
                      BwBc4Kind kind, unsigned char* out, BwVectorVersion version = BwFastestVectorVersion());

// Encodes a whole normal image as BwEncodeBc5Image does, into BC3n ("DXT5nm") blocks of 16 bytes:
// a BC3 block whose alpha block (a BC4 UNORM block) holds x and whose colour block holds y in
// green, with red and blue 0. The green endpoints differ (c0 > c1 as 16-bit words) unless the
// whole block wants one value; the search minimises the same angle-weighted error against the
// palette of BwDecodeBc3GreenBlock.
void BwEncodeBc3nImage(const float* image, int width, int height, int numComponents, unsigned char* out,
                       BwVectorVersion version = BwFastestVectorVersion());
