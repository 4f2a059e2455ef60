// The command line: argument forms, the flag word, the usage text and the settings report.
#include <cstdlib>
#include <cstring>

#include "Bumpweld.h"

static const char versionString[] = "Bumpweld v00.00.01\n";
static const char usage[] =
    "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname\n";

static const char* const kOptionLines[] = {
    "h  - Output 16x16 .kep texture\n",
    "H  - Output 16x16x16x16 .kep texture\n",
    "i  - Output 10x10x10x2 .kep texture\n",
    "m  - Create mip chain (remap)\n",
    "M  - Create mip chain (box filter)\n",
    "B  - Box filter final image\n",
    "e  - Don't expand border texels\n",
    "E  - expand border texels more (15 texels)\n",
    "g  - more dilation (20 texels)\n",
    "G  - even more dilation (30 texels)\n",
    "q  - Quiet mode, no spinners or percentages\n",
    "Q  - Very quiet mode, no messages\n",
};

void TestArgs(const char* args) {
  // Each letter is looked for anywhere in the word, in this fixed order; where two letters set
  // the same setting the later test wins, whatever their order in the word.
  auto has = [args](char letter) { return std::strchr(args, letter) != nullptr; };
  if (has('m')) gComputeMipLevels = 1;
  if (has('M')) gComputeMipLevels = 2;
  if (has('e')) gExpandTexels = false;
  if (has('E')) gDilateTexels = 15;
  if (has('g')) gDilateTexels = 20;
  if (has('G')) gDilateTexels = 30;
  if (has('h')) gOutput = 3;
  if (has('H')) gOutput = 4;
  if (has('i')) gOutput = 5;
  if (has('s')) gOutput = 6;
  if (has('S')) gOutput = 7;
  if (has('B')) gBoxFilter = true;
  if (has('q')) gQuiet = 1;
  if (has('Q')) gQuiet = 2;
}

void ProcessArgs(int argc, char** argv, char** nm1Name, char** nm2Name, char** outName,
                 double* bumpScale) {
  if (argc == 1 || argc == 2) {
    BwErrorLog(usage);
    for (const char* line : kOptionLines) BwErrorLog("                     %s", line);
    BwFatalExit();
  }
  if (argc < 4 || argc > 6) {
    BwErrorLog(usage);
    BwFatalExit();
  }

  const char* flags = nullptr;
  if (argc == 4) {
    *nm1Name = argv[1];
    *nm2Name = argv[2];
    *outName = argv[3];
    gBumpMap = false;
  } else if (argc == 5 && std::strchr(argv[1], '-') != nullptr) {
    flags = argv[1];
    *nm1Name = argv[2];
    *nm2Name = argv[3];
    *outName = argv[4];
    gBumpMap = false;
  } else if (argc == 5) {
    *nm1Name = argv[1];
    *nm2Name = argv[2];
    *bumpScale = std::atof(argv[3]);
    *outName = argv[4];
    gBumpMap = true;
  } else {
    flags = argv[1];
    *nm1Name = argv[2];
    *nm2Name = argv[3];
    *bumpScale = std::atof(argv[4]);
    *outName = argv[5];
    gBumpMap = true;
  }
  if (flags) TestArgs(flags);

  BwErrorLog(versionString);
  if (flags)
    BwErrorLog("Flags: %s\n", flags);
  else
    BwErrorLog("Flags:\n");
  switch (gComputeMipLevels) {
    case 0: BwErrorLog("No mipmap generation\n"); break;
    case 1: BwErrorLog("Re-cast mipmap generation.\n"); break;
    default: BwErrorLog("Box filter mip map generation.\n"); break;
  }
  if (gExpandTexels)
    BwErrorLog("Expand border texels (%d texels)\n", gDilateTexels);
  else
    BwErrorLog("Don't Expand border texels\n");
  if (gBoxFilter)
    BwErrorLog("Postprocess box filter\n");
  else
    BwErrorLog("No postprocess filter\n");
}
