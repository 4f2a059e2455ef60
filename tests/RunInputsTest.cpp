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
  // The test maps are plain 24-bit Targa files, bottom row first: their texels follow the header.
  const Bytes baseFile = ReadFile(dir / "base.tga"), heightFile = ReadFile(dir / "height.tga");
  const bw_image base{baseFile.data() + 18, BW_UINT8, kWidth, kHeight, 3, 0, 0, 1};
  const bw_image height{heightFile.data() + 18, BW_UINT8, kWidth, kHeight, 1, 0, 0, 0};
  struct Case {
    const char* flags;
    const char* output;
    bool heights, baseImage, secondImage;
  } cases[] = {
      {"-m", "a.dds", true, true, false},
      {"-m", "b.dds", true, false, true},
      {"-MB", "c.ktx2", true, true, true},
      {"-i", "d.kep", false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const std::string second = c.heights ? "height.tga" : "detail.tga";
    Job reference, job;
    for (bw_job* j : {reference.job, job.job}) {
      ASSERT_EQ(bw_job_set_flags(j, c.flags), BW_OK);
      if (c.heights) bw_job_set_height_scale(j, 2.5);
    }
    const std::string expected = dir / (std::string("ref-") + c.output), out = dir / c.output;
    ASSERT_EQ(bw_run_files(reference.job, (dir / "base.tga").c_str(), (dir / second).c_str(), expected.c_str()), BW_OK);
    const std::string basePath = dir / "base.tga", secondPath = dir / second;
    const bw_input baseInput{basePath.c_str(), c.baseImage ? &base : nullptr};
    const bw_input secondInput{secondPath.c_str(), c.secondImage && c.heights ? &height : nullptr};
    ASSERT_EQ(bw_run_inputs(job.job, &baseInput, &secondInput, out.c_str()), BW_OK) << bw_job_error(job.job);
    ASSERT_EQ(bw_output_count(job.job), 1);
    EXPECT_EQ(ReadFile(out), ReadFile(expected));
  }
  // No output name: the levels in memory are the Targa file's bytes.
  Job job;
  const std::string detail = dir / "detail.tga";
  const bw_input baseInput{nullptr, &base}, secondInput{detail.c_str(), nullptr};
  ASSERT_EQ(bw_run_files(job.job, (dir / "base.tga").c_str(), (dir / "detail.tga").c_str(), (dir / "m.tga").c_str()), BW_OK);
  ASSERT_EQ(bw_run_inputs(job.job, &baseInput, &secondInput, nullptr), BW_OK);
  ASSERT_EQ(bw_result_count(job.job), 1);
  size_t size = 0;
  const unsigned char* level = bw_result_level(job.job, 0, nullptr, nullptr, &size, nullptr);
  EXPECT_EQ(Bytes(level, level + size), ReadFile(dir / "m.tga"));
  EXPECT_EQ(bw_output_count(job.job), 0);
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
