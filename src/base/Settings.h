// The settings of one job: everything its flag word, argument forms and long options set.
#pragma once

#include <string>

enum {
  BW_FLIP_BASE = 1,
  BW_FLIP_SECOND = 2,
  BW_FLIP_OUTPUT = 4,
};
// Which value of a height-map texel is the height: the first (blue of a colour texel, the grey
// value of a grey one), one of the colour channels or alpha, or the luma of red, green, blue.
enum BwHeightChannel {
  BW_HEIGHT_FIRST = -1,
  BW_HEIGHT_BLUE = 0,
  BW_HEIGHT_GREEN = 1,
  BW_HEIGHT_RED = 2,
  BW_HEIGHT_ALPHA = 3,
  BW_HEIGHT_LUMA = 4,
};

// How the two normals of a texel are combined: the rotation of the second into the frame of the
// base (reoriented normal mapping), or one of the closed forms of "Blending in Detail"
// (Barré-Brisebois and Hill, 2012) on base n1 and second n2: whiteout (x1 + x2, y1 + y2, z1 z2),
// UDN (x1 + x2, y1 + y2, z1), linear n1 + n2; each renormalised.
enum BwBlend { BW_BLEND_RNM = 0, BW_BLEND_WHITEOUT = 1, BW_BLEND_UDN = 2, BW_BLEND_LINEAR = 3 };

// dilateTexels for --fill=all: passes until no empty texel is left.
constexpr int kBwFillAll = -1;

// Everything the flag word, the argument forms and the long options set.
struct BwSettings {
  int output = 0;           // output encoding, 0 to 7 (see Encoders.h)
  int mipLevels = 0;        // 0: one image; 1 or 2: the whole mip chain
  int quiet = 0;            // 0: everything; 1: no spinner or percentages; 2: no messages
  bool expandTexels = true; // run the border dilation stage
  int dilateTexels = 10;    // number of dilation passes, or kBwFillAll
  bool boxFilter = false;   // box filter the finished full-size image
  bool bumpMap = false;     // the second map is a height map
  float bumpScale = 0.0f;   // height scale, narrowed to float
  int threads = 0;          // 0: the CPUs the process may use
  // Read uncompressed input files through a file mapping instead of copying them. A mapped file
  // that another process cuts short raises SIGBUS on access, so only a caller that handles it
  // (the command line does) should set this.
  bool mapInputs = false;

  // What the long options set (see BwApplyLongOption).
  bool round = false;           // encoders round to nearest (and clamp) instead of truncating
  int outputBits = 0;           // --bits: 8 or 16 bits a component (PNG, TIFF), 16 for half or
                                // 32 for float (OpenEXR); 0, not given: the output's own
  int flipGreen = 0;            // BW_FLIP_* bits: negate y of that input, or of the result
  bool alphaEmpty = false;      // a texel with alpha 0 is empty
  int heightChannel = BW_HEIGHT_FIRST;  // which value of a texel is the height
  std::string exrChannel;       // the channel of an OpenEXR height map ("" : the only one, or Y),
                                // the layer of an OpenEXR normal map ("" : R, G, B)
  bool exrUnorm = false;        // OpenEXR normal maps hold 0 to 1 instead of -1 to 1
  std::string format;           // encoding of a DDS, KTX2 or .astc output ("" : the container's first)
  int astcQuality = 2;          // --astc-quality: the ASTC encoder's effort, 0 (fastest) to 5 (exhaustive)
  bool ddsDx9 = false;          // --dds-header=dx9: DDS files with the legacy header, without DX10
  bool stats = false;           // --stats: each level's angle error, from its decoded texels
  bool sync = true;             // outputs are synced to disk before they are put in place
  bool progress = false;        // --progress: a bar for the whole run on standard error
  float detailStrength = 1.0f;  // the second normal's tilt is scaled by this (times the mask)
  std::string mask;             // a grey map whose values in [0, 1] multiply the strength
  int blend = BW_BLEND_RNM;     // BwBlend
  bool clampEdges = false;      // neighbours past an edge are the edge texel, not the opposite side

  // The dilation passes to run: 0 for none, INT_MAX for as many as it takes.
  int DilationPasses() const {
    return !expandTexels ? 0 : dilateTexels == kBwFillAll ? 0x7FFFFFFF : dilateTexels;
  }
};
