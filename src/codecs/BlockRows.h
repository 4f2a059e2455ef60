// The threading of the block encoders: every block row of an image, handed to a band encoder.
#pragma once

#include <algorithm>
#include <cstdint>

#include "Parallel.h"

// Hands each row of 4 x 4 blocks of a width x height image (rows bottom row first, numComponents
// floats a texel) to encodeRows(rows, rowCount, out) over the threads the process may use: rows[r]
// is row r of the band in picture order (rowCount 1 to 4, the last band may be short), out its
// first block of 16 bytes; block rows go top row first.
template <typename EncodeRows>
void BwEncodeBlockRows(const float* image, int width, int height, int numComponents, unsigned char* out,
                       const EncodeRows& encodeRows) {
  const int64_t blocksWide = (width + 3) / 4;
  const int64_t blockRows = (height + 3) / 4;
  // About 256 blocks a task at least, so that small mip levels stay on one thread.
  const int64_t grain = std::max<int64_t>(1, 256 / blocksWide);
  // Block rows are handed out one at a time: their search time varies with the picture.
  BwParallelForEach(blockRows, grain, [=, &encodeRows](int64_t band) {
    const float* rows[4];
    const int rowCount = int(std::min<int64_t>(4, height - 4 * band));
    for (int r = 0; r < rowCount; ++r) {
      const int64_t pictureRow = 4 * band + r;
      rows[r] = image + (height - 1 - pictureRow) * int64_t(width) * numComponents;
    }
    encodeRows(rows, rowCount, out + band * blocksWide * 16);
  });
}
