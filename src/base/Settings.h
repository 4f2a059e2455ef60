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

// Everything the flag word, the argument forms and the long options set.
struct BwSettings {
  int output = 0;           // output encoding, 0 to 7 (see Encoders.h)
  int mipLevels = 0;        // 0: one image; 1 or 2: the whole mip chain
  int quiet = 0;            // 0: everything; 1: no spinner or percentages; 2: no messages
  bool expandTexels = true; // run the border dilation stage
  int dilateTexels = 10;    // number of dilation passes
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
  int outputBits = 8;           // PNG output: 8 or 16 bits a component
  int flipGreen = 0;            // BW_FLIP_* bits: negate y of that input, or of the result
  bool alphaEmpty = false;      // a texel with alpha 0 is empty
  int heightChannel = BW_HEIGHT_FIRST;  // which value of a texel is the height
  std::string exrChannel;       // the channel of an OpenEXR height map ("" : the only one, or Y)
  std::string format;           // encoding of a DDS or KTX2 output ("" : bc5)
  bool sync = true;             // outputs are synced to disk before they are put in place
};
