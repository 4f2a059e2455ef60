// Image sizes from the headers of the containers' files; see ImageProbe.h.
#include "ImageProbe.h"

#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "BwArray.h"
#include "Containers.h"
#include "TiffIO.h"

bool BwProbeImage(const unsigned char* head, size_t n, uint64_t fileBytes, BwImageProbe* probe) {
  *probe = BwImageProbe();
  const BwContainerRow& row = BwInputContainer(head, n);
  return row.probe && row.probe(head, n, fileBytes, probe);
}

bool BwProbeImageFile(const std::string& path, BwImageProbe* probe) {
  const std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(path.c_str(), "rb"));
  if (!fp) return false;
  struct stat info;
  const uint64_t fileBytes = fstat(fileno(fp.get()), &info) == 0 && S_ISREG(info.st_mode) ? uint64_t(info.st_size) : 0;
  // A pipe or device is not read: its bytes would be gone for the job.
  if (fileBytes == 0) return false;
  std::vector<unsigned char> head(BW_PROBE_BYTES);
  const size_t n = std::fread(head.data(), 1, head.size(), fp.get());
  if (BwInputContainer(head.data(), n).id == BwContainerId::TIFF) {
    // A TIFF file's directory is often at its end: libtiff reads the file where it needs to.
    *probe = BwImageProbe();
    int size[3] = {};  // width, height, bytes a texel
    if (!BwProbeTiffFile(fileno(fp.get()), fileBytes, &size[0], &size[1], &size[2]) ||
        !BwSetProbeSize(size[0], size[1], probe))
      return false;
    probe->readerBytes = uint64_t(probe->width) * uint64_t(probe->height) * uint64_t(size[2]);
    return true;
  }
  return BwProbeImage(head.data(), n, fileBytes, probe);
}
