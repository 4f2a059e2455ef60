// The table of containers; see Containers.h.
#include "Containers.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "AstcFile.h"
#include "DdsKtx.h"
#include "ExrIO.h"
#include "ImageProbe.h"
#include "PngIO.h"
#include "TGAIO.h"
#include "TiffIO.h"

namespace {
constexpr char kGpuDepths[] = "--bits=8 only (--format chooses the encoding)";
// The layouts of DDS files (BC5, BC5 signed, the uncompressed ones and BC3n), of KTX2 files
// (every one) and of .astc files.
constexpr uint32_t kDdsFormats = (1u << (int(BwGpuFormat::BC3N) + 1)) - 1u;
constexpr uint32_t kKtx2Formats = (1u << kBwGpuFormatCount) - 1u;
// The ASTC layouts, the only ones of .astc files.
constexpr uint32_t kAstcFormats = 1u << int(BwGpuFormat::ASTC4X4) | 1u << int(BwGpuFormat::ASTC5X5) |
                                  1u << int(BwGpuFormat::ASTC6X6) | 1u << int(BwGpuFormat::ASTC8X8);
}  // namespace

const BwContainerRow kBwContainers[] = {
    {BwContainerId::TARGA, "Targa", {}, nullptr, BwProbeTarga, false, BW_DEPTH_8, nullptr, 0},
    {BwContainerId::KEP, ".kep", {}, nullptr, nullptr, false, BW_DEPTH_8, nullptr, 0},
    {BwContainerId::PNG, "PNG", {".png"}, BwIsPng, BwProbePng, false, BW_DEPTH_8 | BW_DEPTH_16, nullptr, 0},
    {BwContainerId::TIFF, "TIFF", {".tif", ".tiff"}, BwIsTiff, BwProbeTiff, false, BW_DEPTH_8 | BW_DEPTH_16, nullptr,
     0},
    {BwContainerId::EXR, "OpenEXR", {".exr"}, BwIsExr, BwProbeExr, true, BW_DEPTH_16 | BW_DEPTH_32,
     "--bits=16 (half) or --bits=32 (float)", 0},
    {BwContainerId::DDS, "DDS", {".dds"}, BwIsDds, BwProbeDds, true, BW_DEPTH_8, kGpuDepths, kDdsFormats},
    {BwContainerId::KTX2, "KTX2", {".ktx2"}, BwIsKtx2, BwProbeKtx2, true, BW_DEPTH_8, kGpuDepths, kKtx2Formats},
    {BwContainerId::ASTC, ".astc", {".astc"}, BwIsAstc, BwProbeAstc, false, BW_DEPTH_8, kGpuDepths, kAstcFormats},
};
const size_t kBwContainerCount = sizeof kBwContainers / sizeof kBwContainers[0];

const BwContainerRow& BwContainerRowOf(BwContainerId id) {
  for (const BwContainerRow& row : kBwContainers)
    if (row.id == id) return row;
  return kBwContainers[0];
}

const BwContainerRow& BwInputContainer(const unsigned char* head, size_t n) {
  for (const BwContainerRow& row : kBwContainers)
    if (row.recognise && row.recognise(head, n)) return row;
  return BwContainerRowOf(BwContainerId::TARGA);
}

const BwContainerRow* BwOutputContainer(const std::string& name) {
  for (const BwContainerRow& row : kBwContainers)
    for (const char* extension : row.extensions)
      if (extension && BwHasExtension(name, extension)) return &row;
  return nullptr;
}

std::string BwForeignImageExtension(const std::string& name) {
  static const char* const kForeign[] = {".jpg", ".jpeg", ".bmp", ".gif", ".webp", ".psd", ".hdr", ".avif", ".jxl"};
  for (const char* extension : kForeign)
    if (BwHasExtension(name, extension)) return name.substr(name.size() - std::strlen(extension));
  return "";
}

bool BwHasExtension(const std::string& name, const char* extension) {
  const size_t n = std::strlen(extension);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != extension[i]) return false;
  return true;
}

std::string BwContainerList(BwContainerListKind kind) {
  std::vector<std::string> items;
  for (const BwContainerRow& row : kBwContainers) {
    if (kind == BwContainerListKind::INPUTS) {
      if (row.probe) items.push_back(row.name);
      continue;
    }
    for (const char* extension : row.extensions)
      if (extension && (kind == BwContainerListKind::OUTPUTS || row.wholeChain)) items.push_back(extension);
  }
  const char* const last = kind == BwContainerListKind::INPUTS ? " and " : " or ";
  std::string list;
  for (size_t i = 0; i < items.size(); ++i) list += (i == 0 ? "" : i + 1 < items.size() ? ", " : last) + items[i];
  return list;
}
