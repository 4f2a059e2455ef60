// Hostile inputs through the real executable: one small file per kind of fault. Every run ends
// with status 0 or 255 (never a signal or a sanitizer report), a failed run ends its standard
// output with an error message and leaves no output file, and no temporary file is left behind.
// (Cut and damaged files of every reader are the fuzz corpus, replayed by ctest; failing
// outputs are in OutputFileTest.)
#include <filesystem>

#include "TestSupport.h"

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

namespace {

// Checks one run's status, message and files; removes the output of a successful run.
void ExpectCleanEnd(const RunResult& r, const TempDir& dir) {
  EXPECT_TRUE(r.status == 0 || r.status == 255) << "status " << r.status << "\n" << r.err;
  EXPECT_TRUE(r.err.find("Sanitizer") == std::string::npos && r.err.find("runtime error") == std::string::npos)
      << r.err;
  const size_t lastLine = r.out.rfind('\n', r.out.size() - 2) + 1;  // npos + 1 is 0: a single line
  EXPECT_TRUE(r.status != 255 || r.out.compare(lastLine, 5, "ERROR") == 0 ||
              r.out.compare(lastLine, 28, "Normal map sizes must match!") == 0) << r.out;
  EXPECT_EQ(FileExists(dir / "out.tga"), r.status == 0);
  EXPECT_FALSE(HasTemporaries(dir.path()));
  fs::remove(dir / "out.tga");
}

}  // namespace

// Each file, which the run first takes in its valid form, is refused with its message.
TEST(HostileInputTest, EachKindOfFaultHasItsMessage) {
  const std::string depth = "ERROR: Normal map should be at 32 or 24bits per pixel!\n",
                    unhandled = "ERROR: Unhandled bit depth for bump map!\n", read = "ERROR: Unable to read v.tga\n";
  const struct { const char* fault; Bytes file; bool height; std::string message; } cases[] = {
      {"8-bit normal map", MakeTga(1, 1, 8, {200}), false, depth},
      {"15-bit normal map", MakeTga(1, 1, 15, {200}), false, unhandled},
      {"15-bit height map", MakeTga(1, 1, 15, {200}), true, unhandled},
      {"colour-mapped", MakeTga(1, 1, 24, {1, 2, 3}, 1), false, read},
      {"texels cut short", MakeTga(2, 1, 24, {1, 2, 3, 4, 5}), false, read},
      // 65535 x 65535 claimed in a 100-byte file: refused before anything that size is allocated.
      {"lying size", MakeTga(65535, 65535, 24, Bytes(82, 9)), false, read},
  };
  const Args asBase = {"-q", "v.tga", "n.tga", "out.tga"}, asHeight = {"-q", "n.tga", "v.tga", "1", "out.tga"};
  TempDir dir;
  WriteFile(dir / "n.tga", MakeTga(1, 1, 24, {255, 127, 127}));
  WriteFile(dir / "v.tga", MakeTga(1, 1, 24, {200, 100, 90}));
  for (const Args& args : {asBase, asHeight}) {
    ASSERT_EQ(::Run(args, dir.path()).status, 0);
    fs::remove(dir / "out.tga");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    WriteFile(dir / "v.tga", c.file);
    const RunResult r = ::Run(c.height ? asHeight : asBase, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, c.message)) << r.out;
    ExpectCleanEnd(r, dir);
  }
  const RunResult r = ::Run({"-q", "", "n.tga", "out.tga"}, dir.path());
  EXPECT_TRUE(r.status == 255 && EndsWith(r.out, "ERROR: No file name passed to ReadNormalMap!\n")) << r.out;
}
