// TIFF in a build without libtiff (the WebAssembly module): files are told apart by their
// byte-order mark and refused with a message saying why.
#include "TiffIO.h"

namespace {

bool Unsupported(std::string* error) {
  if (error) *error = "TIFF files are not supported in this build";
  return false;
}

}  // namespace

struct BwTiffWriter::State {};

bool BwIsTiff(const unsigned char* head, size_t n) {
  if (n < BW_TIFF_MAGIC_BYTES) return false;
  const bool little = head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0;
  const bool big = head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
  return little || big;
}

bool BwReadTiffMemory(const unsigned char*, size_t, BwDecodedImage*, std::string* error) { return Unsupported(error); }
bool BwReadTiff(FILE*, BwDecodedImage*, std::string* error) { return Unsupported(error); }
bool BwReadTiffStream(FILE*, const unsigned char*, size_t, BwDecodedImage*, std::string* error) {
  return Unsupported(error);
}
bool BwProbeTiffMemory(const unsigned char*, size_t, int*, int*, int*) { return false; }
bool BwProbeTiffFile(int, uint64_t, int*, int*, int*) { return false; }

BwTiffWriter::BwTiffWriter() = default;
BwTiffWriter::~BwTiffWriter() = default;
int64_t BwTiffWriter::BandRows() const { return 0; }
bool BwTiffWriter::Begin(FILE*, int, int, int, int, std::string* error) { return Unsupported(error); }
bool BwTiffWriter::WriteRows(const void*, int64_t, std::string* error) { return Unsupported(error); }
bool BwTiffWriter::End(std::string* error) { return Unsupported(error); }

bool BwProbeTiff(const unsigned char*, size_t, uint64_t, BwImageProbe*) { return false; }
