// Bumpweld: merges a detail normal map (or a height map turned into normals) into the frame
// of a base normal map, texel by texel, and writes the result as Targa or raw .kep textures.
//
// This header holds the process-wide settings and the declarations every module shares.
//
// The normal image. A normal image is a heap array of float, texels stored row after row with
// no gaps, numComponents floats per texel in the order x, y, z (numComponents is 3 in every
// run). Texel (x, y) of a level w texels wide starts at float (y * w + x) * numComponents; a
// smaller mip level lies packed at the start of a full-size buffer and uses its own width as
// its row length. A texel whose three components all have a magnitude of at most 1e-7 is
// empty: it has no direction (the loader marks bytes 127, 127, 127 this way, and the merge
// leaves a texel empty where the base map is empty).
#pragma once

#include <cstdint>
#include <string>

#include "BwArray.h"
#include "Encoders.h"
#include "Job.h"
#include "MapLoaders.h"

// Settings, set from the command line and read by every stage.
extern int gOutput;            // output encoding, 0 to 7 (see WriteOutputImage)
extern int gComputeMipLevels;  // 0: one image; 1 or 2: the whole mip chain
extern int gQuiet;             // 0: everything; 1: no spinner or percentages; 2: no messages
extern bool gExpandTexels;     // run the border dilation stage
extern int gDilateTexels;      // number of dilation passes
extern bool gBoxFilter;        // box filter the finished full-size image
extern bool gBumpMap;          // the second map is a height map
extern int gSpinner;           // spinner phase, 0 to 3

// Size of the image being made; the base map's loader sets it, the mip chain halves it.
extern int gWidth;
extern int gHeight;

// Puts every setting and the image size back to its start value (for in-process callers).
void BwResetSettings();
// The settings of a job from the process-wide ones, and back.
BwSettings BwGlobalSettings();
void BwSetGlobalSettings(const BwSettings& settings);

// ---- Console ----------------------------------------------------------------------------
// printf-style message on standard output, cut at 4095 characters, silent at quiet level 2.
void BwErrorLog(const char* szFmt, ...) __attribute__((format(printf, 1, 2)));
// One spinner frame ("\r" + header + one of \ | / -); silent at quiet levels 1 and 2.
void ShowSpinner(const char* header);
// The same bytes as `count` calls of ShowSpinner(nullptr), written at once.
void BwShowSpinnerFrames(int64_t count);
// Prints the lone "\r" that ends a long stage, at quiet level 0 only.
void BwEndStage();
// A console on standard output and standard error at the quiet level gQuiet, from the spinner
// phase gSpinner.
BwConsole BwStdioConsole();
// Ends the run with status 255 (exit(-1)). The only way out on an error.
[[noreturn]] void BwFatalExit();

// ---- Command line -----------------------------------------------------------------------
void TestArgs(const char* args);
void ProcessArgs(int argc, char** argv, char** nm1Name, char** nm2Name, char** outName,
                 double* bumpScale);

// ---- Vector math ------------------------------------------------------------------------
// Scales v to unit length in double precision; a vector shorter than 1e-7 becomes (1, 0, 0).
void Normalize(double* v);
// Fills the row-major 3 x 3 single-precision rotation that carries unit `from` onto unit `to`.
void fromToRotation(const float* from, const float* to, float* mtx);

// ---- Filters ----------------------------------------------------------------------------
// Renormalises every filled texel of the gWidth x gHeight image in place.
void NormalizeImage(float* img, int numComponents);
// Fills empty texels from their filled four-neighbours, gDilateTexels rings; *img holds the
// result afterwards. *scratch is a second buffer of the same size the caller owns.
void DilateImage(float** img, float** scratch, int numComponents);
// Writes into `result` (gWidth x gHeight) the normalised sums of 2 x 2 blocks of `source`
// (lastWidth x lastHeight). When the source has the result's size each block starts at its own
// texel and wraps around the edges; otherwise each block starts at twice the result texel's
// coordinates (a mip level), with a row or column outside the source replaced by its last one.
void BoxFilter(float* result, const float* source, int lastWidth, int lastHeight,
               int numComponents);

// ---- Map loaders ------------------------------------------------------------------------
// Loads a 24- or 32-bit Targa normal map as unit normals (empty texels as zero vectors).
void ReadNormalMap(const char* name, int* width, int* height, int* numComponents,
                   BwArray<float>* normals);
// Loads an 8-, 16-, 24- or 32-bit Targa height map and derives normals with a wrapping Sobel.
void GetBumpMapFromHeightMap(const char* bumpName, int* bumpWidth, int* bumpHeight,
                             BwArray<float>* bumpMap, float scale);

// ---- Output -----------------------------------------------------------------------------
void ConvertToExpPixel(double x, double y, double z, BwExpPixel* jp);
// Encodes the gWidth x gHeight image in the encoding gOutput and writes it to fName.
void WriteOutputImage(const char* fName, const float* img, int numComponents);

// ---- Pipeline ---------------------------------------------------------------------------
// The whole run: arguments, loading, merge, post-processing, every level written. Returns 0,
// or 255 after the message of a failure.
int BumpweldMain(int argc, char** argv);
// The file name of mip level mipCount for the output name outName.
void GetOutputFilename(std::string* name, const char* outName, int mipCount);
// Size of the next mip level into gWidth, gHeight (0 x 0 ends the chain).
void ComputeNextMipLevel(int* lastWidth, int* lastHeight);
