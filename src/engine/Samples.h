// The sample maps the tool ships without any art: 512 x 512 pictures made by formula.
#pragma once

constexpr int kBwSampleSize = 512;

// The sample maps: a base normal map (a tiled field of domes with an empty patch for the border
// dilation to fill), a detail normal map (fine diagonal ripples), and a height map of rings
// (grey, the same value in all three bytes).
enum class BwSample { BASE, DETAIL, HEIGHT };

// Makes one sample map into `rgb`: kBwSampleSize x kBwSampleSize texels of red (x), green (y)
// and blue (z) bytes, the bottom row first.
void BwMakeSample(BwSample which, unsigned char* rgb);
