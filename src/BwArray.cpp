// Heap allocation for images and texel blocks.
#include "BwArray.h"

#include <sys/mman.h>

namespace {
constexpr uint64_t kHugePage = uint64_t(2) << 20;
}

void* BwAllocBytes(uint64_t count) {
  if (count == 0) count = 1;
  if (count > SIZE_MAX - kHugePage) return nullptr;
  if (count < kHugePage) return std::malloc(size_t(count));
  // Whole huge pages, aligned to one, so the kernel can back the buffer with them.
  const size_t bytes = size_t((count + kHugePage - 1) / kHugePage * kHugePage);
  void* p = std::aligned_alloc(size_t(kHugePage), bytes);
#ifdef MADV_HUGEPAGE
  if (p) madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}
