// bw_run_inputs, the run of the WebAssembly module's page: inputs that are files or images in
// memory in any mix give the bytes of the file run, into files or into levels in memory, and
// its refusals name the input as the user knows it.
#include <bumpweld/bumpweld.h>

#include <cstring>

#include "TestSupport.h"

namespace {

struct Job {
  bw_job* job = bw_job_new();
  ~Job() { bw_job_free(job); }
};

constexpr int kWidth = 16, kHeight = 12;

}  // namespace

TEST(RunInputs, FilesAndImagesInAnyMixGiveTheFileRunsBytes) {
  TempDir dir;
  WriteTestMaps(dir.path(), kWidth, kHeight);
  // The test maps are plain Targa files, bottom row first: their texels follow the header.
  const Bytes baseFile = ReadFile(dir / "base.tga"), heightFile = ReadFile(dir / "height.tga");
  const bw_image base{baseFile.data() + 18, BW_UINT8, kWidth, kHeight, 3, 0, 0, 1};
  const bw_image height{heightFile.data() + 18, BW_UINT8, kWidth, kHeight, 1, 0, 0, 0};
  const std::string basePath = dir / "base.tga", heightPath = dir / "height.tga", detailPath = dir / "detail.tga";
  // flags, output (empty: levels in memory), which inputs are images, whether the second is heights
  const struct { const char* flags; std::string output; bool baseImage, secondImage, heights; } cases[] = {
      {"-m", "a.dds", true, false, true}, {"-m", "b.dds", false, true, true}, {"-MB", "c.ktx2", true, true, true},
      {"-i", "d.kep", true, false, false}, {"-", "", true, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    Job reference, job;
    const std::string& second = c.heights ? heightPath : detailPath;
    const std::string expected = dir / ("ref-" + (c.output.empty() ? "m.tga" : c.output)), out = dir / c.output;
    for (bw_job* j : {reference.job, job.job}) {
      ASSERT_EQ(bw_job_set_flags(j, c.flags), BW_OK);
      if (c.heights) bw_job_set_height_scale(j, 2.5);
    }
    ASSERT_EQ(bw_run_files(reference.job, basePath.c_str(), second.c_str(), expected.c_str()), BW_OK);
    const bw_input baseInput{c.output.empty() ? nullptr : basePath.c_str(), c.baseImage ? &base : nullptr};
    const bw_input secondInput{second.c_str(), c.secondImage ? &height : nullptr};
    ASSERT_EQ(bw_run_inputs(job.job, &baseInput, &secondInput, c.output.empty() ? nullptr : out.c_str()), BW_OK)
        << bw_job_error(job.job);
    size_t size = 0;
    const unsigned char* level = bw_result_level(job.job, 0, nullptr, nullptr, &size, nullptr);
    // Into a file, or (no output name) the level in memory holds the file's bytes.
    EXPECT_EQ(bw_output_count(job.job), c.output.empty() ? 0 : 1);
    EXPECT_EQ(c.output.empty() ? Bytes(level, level + size) : ReadFile(out), ReadFile(expected));
  }
}

TEST(RunInputs, RefusalsNameTheInput) {
  TempDir dir;
  WriteTestMaps(dir.path(), kWidth, kHeight);
  const std::string detail = dir / "detail.tga", missing = dir / "missing.tga";
  const unsigned char texel[3] = {127, 127, 255};
  const bw_image small{texel, BW_UINT8, 1, 1, 3, 0, 1, 0};
  const bw_input file{detail.c_str(), nullptr}, absent{missing.c_str(), nullptr}, unnamed{nullptr, &small};
  const bw_image odd{texel, BW_UINT8, 1, 1, 7, 0, 1, 0};  // seven channels: no such image
  const bw_input named{"tiny.png", &small}, nothing{nullptr, nullptr};
  const bw_input oddNamed{"odd.png", &odd}, oddUnnamed{nullptr, &odd};
  struct Case {
    const bw_input *base, *second;
    int status;
    std::string message;
  } cases[] = {
      {&absent, &file, BW_ERROR_OPEN, "ERROR: Unable to open " + missing},
      {&unnamed, &file, BW_ERROR_SIZE, "Normal map sizes must match! (1x1 16x12)"},
      {&file, &named, BW_ERROR_SIZE, "Normal map sizes must match! (16x12 1x1)"},
      {&oddNamed, &file, BW_ERROR_READ, "ERROR: Unable to read odd.png"},
      {&file, &oddUnnamed, BW_ERROR_READ, "ERROR: Unable to read second image"},
      {&nothing, &file, BW_ERROR_ARGUMENT, "ERROR: No file name"},
      {nullptr, &file, BW_ERROR_ARGUMENT, "ERROR: No input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Job job;
    EXPECT_EQ(bw_run_inputs(job.job, c.base, c.second, (dir / "out.tga").c_str()), c.status);
    EXPECT_EQ(bw_job_error(job.job), c.message);
    EXPECT_FALSE(FileExists(dir / "out.tga"));
  }
}

// bw_result_copy gives a level's texels in the caller's row and colour order, at any stride of at
// least a row; .kep words are copied as they are.
TEST(RunInputs, ResultCopyInTheCallersLayout) {
  TempDir dir;
  WriteTestMaps(dir.path(), kWidth, kHeight);
  const std::string base = dir / "base.tga", detail = dir / "detail.tga";
  for (const char* flags : {"-", "-H"}) {
    SCOPED_TRACE(flags);
    Job job;
    ASSERT_EQ(bw_job_set_flags(job.job, flags), BW_OK);
    const bw_input baseInput{base.c_str(), nullptr}, detailInput{detail.c_str(), nullptr};
    ASSERT_EQ(bw_run_inputs(job.job, &baseInput, &detailInput, nullptr), BW_OK);
    int width = 0, height = 0, channels = 0, type = -1;
    ASSERT_EQ(bw_result_layout(job.job, 0, &width, &height, &channels, &type), BW_OK);
    const bool targa = std::strcmp(flags, "-") == 0;
    EXPECT_EQ(std::make_pair(channels, type), targa ? std::make_pair(3, int(BW_UINT8)) : std::make_pair(4, int(BW_INT16)));
    size_t headerBytes = 0;
    const unsigned char* stored = bw_result_level(job.job, 0, nullptr, nullptr, nullptr, &headerBytes);
    stored += headerBytes;
    const size_t texelBytes = targa ? 3 : 8, rowBytes = size_t(width) * texelBytes, stride = rowBytes + 5;
    for (int topFirst = 0; topFirst < 2; ++topFirst)
      for (int bgr = 0; bgr < 2; ++bgr) {
        Bytes copy(stride * size_t(height), 0xAB);
        ASSERT_EQ(bw_result_copy(job.job, 0, copy.data(), ptrdiff_t(stride), topFirst, bgr), BW_OK);
        for (size_t y = 0; y < size_t(height); ++y)
          for (size_t i = 0; i < rowBytes; ++i) {
            const size_t storedRow = topFirst ? size_t(height) - 1 - y : y;
            const size_t t = i % texelBytes, swapped = targa && !bgr && t != 1 ? i - t + (2 - t) : i;
            ASSERT_EQ(copy[y * stride + i], stored[storedRow * rowBytes + swapped]) << topFirst << bgr << " " << y;
          }
      }
    unsigned char one[8];
    EXPECT_EQ(bw_result_copy(job.job, 0, one, ptrdiff_t(rowBytes) - 1, 1, 0), BW_ERROR_ARGUMENT);
    EXPECT_EQ(bw_result_copy(job.job, 0, nullptr, 0, 1, 0), BW_ERROR_ARGUMENT);
    EXPECT_EQ(bw_result_copy(job.job, 1, one, 0, 1, 0), BW_ERROR_ARGUMENT);
    EXPECT_EQ(bw_result_layout(job.job, 1, nullptr, nullptr, nullptr, nullptr), BW_ERROR_ARGUMENT);
  }
}

// bw_job_check_image counts the bytes an image's rows reach in 64 bits: exact at the boundary,
// and a stride that would overflow refused.
TEST(RunInputs, CheckImageCountsTheBytesRowsReach) {
  Job job;
  const bw_image small{nullptr, BW_UINT8, 4, 3, 3, 0, 1, 0}, far{nullptr, BW_UINT8, 65535, 65535, 3, PTRDIFF_MAX / 2, 1, 0};
  EXPECT_EQ(bw_job_check_image(job.job, &small, "img", 36), BW_OK);
  EXPECT_EQ(bw_job_check_image(job.job, &small, "img", 35), BW_ERROR_ARGUMENT);
  EXPECT_STREQ(bw_job_error(job.job), "ERROR: img of 4x3 texels (3 values a texel) needs 36 bytes; 35 were given");
  EXPECT_EQ(bw_job_check_image(job.job, &far, "img", UINT64_MAX), BW_ERROR_ARGUMENT);
  EXPECT_STREQ(bw_job_error(job.job), "ERROR: img has rows 4611686018427387903 bytes apart, farther than memory reaches");
}
