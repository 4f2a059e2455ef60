// Normal map and height map loaders: Targa texels (from a file or converted from an image in
// memory) in, normal images (three floats a texel) out.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <string>
#include <vector>

#include "AstcFile.h"
#include "Containers.h"
#include "DdsKtx.h"
#include "ExrIO.h"
#include "ImageProbe.h"
#include "MapLoaders.h"
#include "PngIO.h"
#include "NormalMath.h"
#include "Parallel.h"
#include "RowKernels.h"
#include "TGAIO.h"
#include "TiffIO.h"

namespace {

constexpr int64_t kTexelGrain = 1 << 15;

// The texels of a decoded PNG or TIFF image, which `texels` takes over.
void TakeDecoded(BwDecodedImage* image, BwInputTexels* texels) {
  texels->width = image->width;
  texels->height = image->height;
  texels->channels = image->channels;
  texels->type = image->bits == 16 ? BW_TEXEL_U16 : BW_TEXEL_U8;
  texels->storage.decoded = std::move(image->data);
}

// From a pipe, the header and then no more than `texelBytes` bytes a texel of the picture it
// announces (plus room for the header): false when the first bytes describe no picture.
bool ReadAsFarAsPictureNeeds(FILE* fp, std::vector<unsigned char>* bytes, uint64_t texelBytes) {
  BwImageProbe probe;
  return BwReadUpTo(fp, bytes, 1 << 16) && BwProbeImage(bytes->data(), bytes->size(), 0, &probe) &&
         BwReadUpTo(fp, bytes, (1 << 20) + uint64_t(probe.width) * uint64_t(probe.height) * texelBytes);
}

// Opens `name` and reads its texels, from a PNG, TIFF, DDS, KTX2, .astc, OpenEXR or (anything else)
// Targa file as its first bytes say, ending the job with the loaders' messages. An OpenEXR file gives the
// normal channels for a normal map (`normalMap`), else the height channel.
void ReadFileTexels(BwRun& run, const char* name, bool normalMap, BwInputTexels* texels) {
  std::unique_ptr<FILE, BwFileCloser> in(std::fopen(name, "rb"));
  if (!in) run.Fail(BW_ERROR_OPEN, "ERROR: Unable to open %s\n", name);
  // A file that can seek is read again from its beginning; from a pipe the first bytes are kept.
  const bool seekable = lseek(fileno(in.get()), 0, SEEK_CUR) >= 0;
  std::vector<unsigned char> head(12);  // enough for every container's first bytes
  head.resize(std::fread(head.data(), 1, head.size(), in.get()));
  const bool rewound = seekable && std::fseek(in.get(), 0, SEEK_SET) == 0;
  std::string error;
  bool ok = true;
  // From a pipe each container is read only as far as its header says its picture reaches, so
  // that a stream going on forever behind a signature is never held in memory.
  const BwContainerId container = BwInputContainer(head.data(), head.size()).id;
  if (container == BwContainerId::PNG) {
    BwDecodedImage image;
    ok = rewound ? BwReadPng(in.get(), &image, &error)
                 : BwReadPngStream(in.get(), head.data(), head.size(), &image, &error);
    TakeDecoded(&image, texels);
  } else if (container == BwContainerId::TIFF) {
    BwDecodedImage image;
    ok = rewound ? BwReadTiff(in.get(), &image, &error)
                 : BwReadTiffStream(in.get(), head.data(), head.size(), &image, &error);
    TakeDecoded(&image, texels);
  } else if (container == BwContainerId::DDS || container == BwContainerId::KTX2 || container == BwContainerId::ASTC) {
    BwDdsImage image;
    image.bytesFor8Bit = true;
    const auto read = container == BwContainerId::DDS ? BwReadDds : container == BwContainerId::KTX2 ? BwReadKtx2 : BwReadAstc;
    std::unique_ptr<FILE, BwFileCloser> memory;
    if (!rewound) {
      // At most what the levels can take: eight bytes a texel at level 0, a third more for the
      // smaller ones.
      ok = ReadAsFarAsPictureNeeds(in.get(), &head, 11);
      if (ok) memory.reset(fmemopen(head.data(), head.size(), "rb"));
    }
    ok = ok && (rewound ? read(in.get(), &image, &error) : memory && read(memory.get(), &image, &error));
    const bool bytes8 = ok && image.bytes;
    if (ok && !bytes8) BwDdsToLoaderOrder(&image);
    texels->width = image.width;
    texels->height = image.height;
    texels->channels = 3;
    texels->type = bytes8 ? BW_TEXEL_U8 : BW_TEXEL_F32;
    texels->storage.decoded.reset(bytes8 ? image.bytes.release()
                                         : reinterpret_cast<unsigned char*>(image.normals.release()));
  } else if (container == BwContainerId::EXR) {
    BwExrImage image;
    BwExrRequest request(run.settings.exrChannel.c_str());
    request.normals = normalMap;
    request.unorm = run.settings.exrUnorm;
    ok = rewound ? BwReadExrFile(in.get(), request, &image, &error)
                 : BwReadExrStream(in.get(), head.data(), head.size(), request, &image, &error);
    texels->width = image.width;
    texels->height = image.height;
    texels->channels = image.channels;
    texels->type = BW_TEXEL_F32;
    texels->rgbOrder = true;  // x, y, z as red, green, blue
    texels->storage.decoded.reset(reinterpret_cast<unsigned char*>(image.samples.release()));
  } else {
    int bitDepth = 0;
    ok = TGAReadTexels(in.get(), &texels->width, &texels->height, &bitDepth, &texels->storage,
                       run.settings.mapInputs && rewound, rewound ? std::vector<unsigned char>() : head);
    texels->type = BW_TEXEL_U8;
    // Targa depths that are not whole bytes are refused by the loaders' depth checks.
    texels->channels = bitDepth % 8 == 0 && bitDepth >= 8 && bitDepth <= 32 ? bitDepth / 8 : 0;
  }
  if (!error.empty()) BwDiagnostic("%s\n", error.c_str());
  if (!ok) {
    in.reset();
    run.Fail(BW_ERROR_READ, "ERROR: Unable to read %s\n", name);
  }
  texels->data = texels->storage.data ? texels->storage.data : texels->storage.decoded.get();
}

// Reads an image in memory where it lies: the decoders follow its stride, its row order and its
// channel order, so nothing is copied.
void ViewMemoryImage(BwRun& run, const BwInput& input, BwInputTexels* texels) {
  const BwMemoryImage& image = *input.image;
  uint64_t spanBytes = 0;
  if (!BwMemoryImageFault(image, &spanBytes).empty() || (spanBytes > 0 && !image.texels))
    run.Fail(BW_ERROR_READ, "ERROR: Unable to read %s\n", input.name.c_str());
  texels->width = image.width;
  texels->height = image.height;
  texels->channels = image.channels;
  texels->type = image.type;
  texels->rgbOrder = image.channels >= 3 && !image.targaOrder;
  const int64_t stride = image.strideBytes != 0 ? image.strideBytes : image.width * texels->TexelBytes();
  const unsigned char* first = static_cast<const unsigned char*>(image.texels);
  // The rows lie within the span, which the caller's memory holds: no overflow.
  texels->data = image.topFirst && image.height > 0 ? first + (image.height - 1) * stride : first;
  texels->rowStride = image.topFirst ? -stride : stride;
}

// Runs `rowKernel(y, scratch, x, y, z)` for every row and interleaves the results into the
// normal image `out` (three floats a texel).
template <typename RowKernel>
void FillNormalRows(int64_t width, int64_t height, float* out, const RowKernel& rowKernel) {
  BwParallelFor(height, std::max<int64_t>(1, kTexelGrain / std::max<int64_t>(width, 1)),
                [&](int64_t y0, int64_t y1) {
                  BwRowScratch scratch(width);
                  for (int64_t y = y0; y < y1; ++y) {
                    rowKernel(y, &scratch, scratch.sx.get(), scratch.sy.get(), scratch.sz.get());
                    BwInterleave(width, scratch.sx.get(), scratch.sy.get(), scratch.sz.get(),
                                 out + y * width * 3);
                  }
                });
}

bool AllocateNormals(int width, int height, BwArray<float>* normals) {
  // 16-bit dimensions: at most 2^32 texels, no overflow in 64 bits.
  *normals = BwAllocArray<float>(uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0)) * 3);
  return bool(*normals);
}

}  // namespace

std::string BwMemoryImageFault(const BwMemoryImage& image, uint64_t* spanBytes) {
  *spanBytes = 0;
  if (image.type != BW_TEXEL_U8 && image.type != BW_TEXEL_U16 && image.type != BW_TEXEL_F32)
    return "has values of an unknown type (" + std::to_string(image.type) + ")";
  if (image.channels < 1 || image.channels > 4) return "has " + std::to_string(image.channels) + " channels (1 to 4)";
  if (image.width < 0 || image.height < 0 || image.width > 65535 || image.height > 65535)
    return "is " + std::to_string(image.width) + "x" + std::to_string(image.height) + " texels (0 to 65535 each way)";
  if (image.width == 0 || image.height == 0) return "";
  const uint64_t valueBytes = image.type == BW_TEXEL_U8 ? 1 : image.type == BW_TEXEL_U16 ? 2 : 4;
  const uint64_t rowBytes = uint64_t(image.width) * uint64_t(image.channels) * valueBytes;
  if (image.height > 1 && image.strideBytes != 0 && image.strideBytes < int64_t(rowBytes))
    return "has rows " + std::to_string(image.strideBytes) + " bytes apart, less than a row of " +
           std::to_string(rowBytes);
  if (image.height == 1) {
    *spanBytes = rowBytes;
    return "";
  }
  const uint64_t stride = image.strideBytes != 0 ? uint64_t(image.strideBytes) : rowBytes;
  if (stride > (UINT64_MAX - rowBytes) / uint64_t(image.height - 1))
    return "has rows " + std::to_string(stride) + " bytes apart, farther than memory reaches";
  *spanBytes = uint64_t(image.height - 1) * stride + rowBytes;
  return "";
}

void BwReadInputTexels(BwRun& run, const BwInput& input, bool normalMap, BwInputTexels* texels) {
  if (input.image) return ViewMemoryImage(run, input, texels);
  ReadFileTexels(run, input.name.c_str(), normalMap, texels);
}

void BwReadNormalMapTexels(BwRun& run, const BwInput& input, BwInputTexels* texels) {
  if (input.name.empty() && !input.image) run.Fail(BW_ERROR_ARGUMENT, "ERROR: No file name passed to ReadNormalMap!\n");
  BwReadInputTexels(run, input, true, texels);
  texels->alphaEmpty = run.settings.alphaEmpty;
  if (texels->channels == 3 || texels->channels == 4) return;
  if (texels->channels == 1 || texels->channels == 2)
    run.Fail(BW_ERROR_READ, "ERROR: Normal map should be at 32 or 24bits per pixel!\n");
  run.Fail(BW_ERROR_READ, "ERROR: Unhandled bit depth for bump map!\n");
}

void BwReadHeightField(BwRun& run, const BwInput& input, BwInputTexels* texels, float scale,
                       BwHeightField* field) {
  BwReadInputTexels(run, input, false, texels);
  if (texels->channels < 1 || texels->channels > 4) run.Fail(BW_ERROR_READ, "ERROR: Unhandled bit depth for bump map!\n");
  field->texels = texels->data;
  field->rowStride = texels->Stride();
  field->red = texels->RedIndex();
  field->blue = texels->BlueIndex();
  field->width = texels->width;
  field->height = texels->height;
  field->texelBytes = int(texels->TexelBytes());
  field->type = texels->type;
  field->scale = scale;
  // Which value is the height: blue, green, red, alpha at 0 to 3 of a colour texel; a grey
  // texel's grey value stands for every colour.
  const int wanted = run.settings.heightChannel;
  const bool colour = texels->channels >= 3;
  const bool hasAlpha = texels->channels == 2 || texels->channels == 4;
  field->channel = colour ? texels->BlueIndex() : 0;
  if (wanted == BW_HEIGHT_ALPHA) {
    if (!hasAlpha) run.Fail(BW_ERROR_READ, "ERROR: The height map has no alpha channel: %s\n", input.name.c_str());
    field->channel = texels->channels - 1;
  } else if (wanted == BW_HEIGHT_LUMA) {
    field->luma = colour;
  } else if (wanted == BW_HEIGHT_RED && colour) {
    field->channel = texels->RedIndex();
  } else if (wanted == BW_HEIGHT_GREEN && colour) {
    field->channel = 1;
  }
  // Height of byte 0 of a texel, in single precision: byte / 255, then times the scale.
  for (int b = 0; b < 256; ++b) field->heights[b] = float(b) / 255.0f * scale;
}

bool BwDecodeNormalImage(const BwInputTexels& texels, BwArray<float>* normals) {
  if (!AllocateNormals(texels.width, texels.height, normals)) return false;
  FillNormalRows(texels.width, texels.height, normals->get(),
                 [&](int64_t y, BwRowScratch* scratch, float* x, float* yy, float* z) {
                   BwDecodeNormalMapRow(texels, y, scratch, x, yy, z);
                 });
  return true;
}

bool BwHeightNormalImage(const BwHeightField& field, BwArray<float>* normals) {
  if (!AllocateNormals(field.width, field.height, normals)) return false;
  FillNormalRows(field.width, field.height, normals->get(),
                 [&](int64_t y, BwRowScratch* scratch, float* x, float* yy, float* z) {
                   BwHeightNormalsRowSoA(field, y, scratch, x, yy, z);
                 });
  return true;
}
