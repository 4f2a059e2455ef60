// The library through its C interface: failures returned as messages with nothing left behind,
// the names of the files a job writes, and the console callback. (Images in memory are compared
// with the files in the Python suite; jobs with different settings run side by side in a batch,
// BatchTest.)
#include <bumpweld/bumpweld.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "BwArray.h"
#include "Outputs.h"
#include "TestSupport.h"

namespace {

struct Job {
  bw_job* job = bw_job_new();
  ~Job() { bw_job_free(job); }
};

// Runs a job like the command line `flags base second [scale] out` and returns its status.
int RunFiles(const Job& j, const std::string& flags, const std::string& base,
             const std::string& second, double scale, const std::string& out) {
  if (bw_job_set_flags(j.job, flags.c_str()) != 0) return -1;
  if (scale >= 0) bw_job_set_height_scale(j.job, scale);
  return bw_run_files(j.job, base.c_str(), second.c_str(), out.c_str());
}

}  // namespace

// Each failure is the command line's message and the C interface's code for it, and leaves no
// output and no temporary file; the process goes on to run a good job.
TEST(Library, FailuresReturnTheCommandLineMessageAndLeaveNothing) {
  const struct { const char* line; std::string message; int status; uint64_t allocationCap = UINT64_MAX; } cases[] = {
      {"- base.tga none.tga out.tga", "ERROR: Unable to open none.tga", BW_ERROR_OPEN},
      {"- base.tga cut.tga out.tga", "ERROR: Unable to read cut.tga", BW_ERROR_READ},
      {"-m base.tga detail.tga no/out.tga", "ERROR: Unable to open no/out00.tga", BW_ERROR_OPEN},
      {"- base.tga small.tga out.tga", "Normal map sizes must match! (61x37 2x2)", BW_ERROR_SIZE},
      {"--bits=16 base.tga detail.tga out.tga", "ERROR: --bits=16 needs a .png output", BW_ERROR_SETTINGS},
      {"-B base.tga detail.tga out.tga", "ERROR: Unable to allocate texture", BW_ERROR_MEMORY, 10000},
  };
  TempDir dir;
  WriteTestMaps(dir.path(), 61, 37);
  Bytes cut = ReadFile(dir / "detail.tga");
  cut.resize(cut.size() - 7);
  WriteFile(dir / "cut.tga", cut);
  WriteFile(dir / "small.tga", MakeTga(2, 2, 24, Bytes(12, 200)));
  const auto before = Files(dir.path());
  const std::filesystem::path cwd = std::filesystem::current_path();
  for (const auto& c : cases) {
    if (c.allocationCap == UINT64_MAX) {  // the command line fails the same way
      std::istringstream words(c.line);
      const RunResult cli = ::Run({std::istream_iterator<std::string>(words), {}}, dir.path());
      EXPECT_TRUE(cli.status == 255 && EndsWith(cli.out, c.message + "\n")) << c.line << ": " << cli.out;
    }
    std::filesystem::current_path(dir.path());
    Job j;
    ASSERT_EQ(bw_job_set_command_line(j.job, c.line), BW_OK) << c.line;
    int status;
    {
      const BwAllocationCap cap(c.allocationCap);
      status = bw_run_command(j.job);
    }
    std::filesystem::current_path(cwd);
    EXPECT_EQ(bw_job_error(j.job), c.message) << c.line;
    EXPECT_EQ(status, c.status) << c.line << ": " << bw_strerror(status);
    EXPECT_TRUE(Files(dir.path()) == before) << c.line;
    Job good;
    EXPECT_EQ(RunFiles(good, "-q", dir / "base.tga", dir / "detail.tga", -1, dir / "good.tga"), 0) << c.line;
    EXPECT_STREQ(bw_job_error(good.job), "");
    std::filesystem::remove(dir / "good.tga");
  }
}

// The files of a job: the level number goes before the last '.' of the file-name part (or
// "NN.tga" is appended), one a level down to the end of the chain; a DDS or KTX2 file holds
// the chain; without a chain the name as given.
TEST(Library, OutputFileNames) {
  using Names = std::vector<std::string>;
  const struct { std::string out; bool chain; int w, h; Names names; } cases[] = {
      {"out.tga", true, 2, 8, {"out00.tga", "out01.tga", "out02.tga"}},  // 2 x 8, 1 x 4, 1 x 2
      {"out.kep", true, 8, 2, {"out00.kep", "out01.kep", "out02.kep", "out03.kep"}},
      {"a.b/out", true, 5, 5, {"a.b/out00.tga", "a.b/out01.tga", "a.b/out02.tga"}},
      {"o.PNG", true, 1, 1, {"o00.PNG"}}, {"out", false, 9, 9, {"out"}}, {"c.DDS", true, 64, 64, {"c.DDS"}},
      {"c.ktx2", true, 64, 64, {"c.ktx2"}}};
  for (const auto& c : cases) EXPECT_EQ(BwOutputFileNames(c.out, c.chain, c.w, c.h), c.names) << c.out;
}

TEST(Library, ConsoleCallbackGetsTheCommandLineBytesAndIsSilentByDefault) {
  TempDir dir;
  WriteTestMaps(dir.path(), 61, 37);
  const RunResult cli = ::Run({"-m", "base.tga", "detail.tga", dir / "out.tga"}, dir.path());
  ASSERT_EQ(cli.status, 0);
  std::string printed[3];
  Job j;
  bw_job_set_console(j.job, [](void* user, int stream, const char* text, size_t length) {
    static_cast<std::string*>(user)[stream].append(text, length);
  }, printed);
  ASSERT_EQ(RunFiles(j, "-m", dir / "base.tga", dir / "detail.tga", -1, dir / "out.tga"), 0);
  // The command line prints its banner and settings report first, then what the job prints.
  EXPECT_EQ(printed[1], cli.out.substr(cli.out.find("Output normal map")));

  const std::string quiet = Printed([&] {
    Job silent;
    EXPECT_EQ(RunFiles(silent, "-m", dir / "base.tga", dir / "none.tga", -1, dir / "x.tga"), BW_ERROR_OPEN);
    EXPECT_EQ(bw_job_error(silent.job), "ERROR: Unable to open " + (dir / "none.tga"));
  });
  EXPECT_EQ(quiet, "");
  EXPECT_EQ(bw_job_set_flags(j.job, "-mx"), BW_ERROR_COMMAND);
  EXPECT_EQ(bw_job_status(j.job), BW_ERROR_COMMAND);
  const char* const twoWords[] = {"base.tga", "detail.tga"};
  EXPECT_EQ(bw_job_set_command(j.job, 2, twoWords), BW_ERROR_COMMAND);
  EXPECT_STREQ(bw_job_error(j.job), "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname");
  EXPECT_EQ(bw_run_command(j.job), BW_ERROR_ARGUMENT);
  EXPECT_STREQ(bw_version(), "0.0.1");
  EXPECT_GT(bw_available_memory(), 0u);  // what the batch budgets and Python checks copies against
}
