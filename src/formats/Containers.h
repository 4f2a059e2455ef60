// The table of containers: one row for each file format Bumpweld reads or writes. Detection
// of an input, header probing for a batch's plan, the container an output name writes, whether
// a mip chain is one file, the depths and encodings an output takes, and the lists the command
// line prints all come from here; what a container is beyond its row (its signature, header
// layout, reader and writer) lives in its own files. A build without a container's library
// keeps the row: its functions then refuse (the WebAssembly module's PNG, TIFF and OpenEXR).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct BwImageProbe;

enum class BwContainerId { TARGA, KEP, PNG, TIFF, EXR, DDS, KTX2, ASTC };

// The --bits depths an output takes.
constexpr unsigned BW_DEPTH_8 = 1, BW_DEPTH_16 = 2, BW_DEPTH_32 = 4;

struct BwContainerRow {
  BwContainerId id;
  const char* name;           // as messages and --help name it
  const char* extensions[3];  // output names ending in one of these (any case) write it; none: see BwOutputContainer
  // Whether a file that starts with the n bytes at head is of this container; null for those no
  // signature tells (a Targa file is what no other row claims; .kep files are not inputs).
  bool (*recognise)(const unsigned char* head, size_t n);
  // The picture's size and the reader's memory from the same bytes (see BwProbeImage).
  bool (*probe)(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe);
  bool wholeChain;    // a mip chain is one file, else one numbered file a level
  unsigned depths;    // BW_DEPTH_ bits
  const char* depthNames;  // how a refusal of another depth names those it takes (null: older messages)
  // The GPU layouts (bits 1 << int(BwGpuFormat)) --format chooses among, the first of them
  // without it; 0: the container takes no --format.
  uint32_t gpuFormats;
};

// Every row, in the order of the lists --help prints.
extern const BwContainerRow kBwContainers[];
extern const size_t kBwContainerCount;

const BwContainerRow& BwContainerRowOf(BwContainerId id);

// The container of an input whose first n bytes are at head: the row whose signature they
// carry, else Targa.
const BwContainerRow& BwInputContainer(const unsigned char* head, size_t n);

// The container an output name asks for by its extension, or null for any other name, which
// writes a Targa file or a .kep texture as the encoding letters choose.
const BwContainerRow* BwOutputContainer(const std::string& name);

// The extension of an output name that names an image container Bumpweld does not write (.jpg,
// .jpeg, .bmp, .gif, .webp, .psd, .hdr, .avif, .jxl), in the name's own case, or "": such a
// name is refused rather than given Targa bytes no reader of its kind opens.
std::string BwForeignImageExtension(const std::string& name);

// Whether a file name ends in `extension` (a dot and lowercase letters), in any case.
bool BwHasExtension(const std::string& name, const char* extension);

// The lists --help prints: "A, B or C" of the output extensions, or of those of the containers
// that hold a whole chain; "A, B and C" of the names of the containers read.
enum class BwContainerListKind { OUTPUTS, CHAINS, INPUTS };
std::string BwContainerList(BwContainerListKind kind);
