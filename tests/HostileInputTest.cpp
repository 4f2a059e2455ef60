// Hostile inputs through the real executable: every run ends with status 0 or 255 (never a
// signal or a sanitizer report), a failed run ends its standard output with an error message
// and leaves no output file, and no temporary file is ever left behind. (Failing outputs are
// in OutputFileTest.)
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// How the last line of standard output begins after each of the tool's fatal errors.
const char* const kFatalPrefixes[] = {"ERROR", "Normal map sizes must match!"};

bool EndsWithFatalMessage(const std::string& out) {
  const size_t end = out.size() - (EndsWith(out, "\n") ? 1 : 0);
  const size_t newline = end == 0 ? std::string::npos : out.rfind('\n', end - 1);
  const std::string last = out.substr(newline == std::string::npos ? 0 : newline + 1);
  for (const char* prefix : kFatalPrefixes)
    if (last.rfind(prefix, 0) == 0) return true;
  return false;
}

// Asymmetric 3 x 2 maps: a 24-bit normal map and an 8-bit grey height map.
const Bytes kNormalMap = MakeTga(3, 2, 24, {255, 128, 128, 200, 100, 90, 250, 140, 120,
                                            128, 128, 255, 90, 200, 220, 180, 60, 200});
const Bytes kHeightMap = MakeTga(3, 2, 8, {10, 60, 200, 30, 90, 250}, 3);

// Checks one run's status, message and files; removes the output of a successful run.
void ExpectCleanEnd(const RunResult& r, const TempDir& dir, const std::string& out) {
  EXPECT_TRUE(r.status == 0 || r.status == 255) << "status " << r.status << "\n" << r.err;
  EXPECT_TRUE(r.err.find("Sanitizer") == std::string::npos &&
              r.err.find("runtime error") == std::string::npos) << r.err;
  EXPECT_TRUE(r.status != 255 || EndsWithFatalMessage(r.out)) << r.out;
  EXPECT_EQ(FileExists(dir / out), r.status == 0);
  EXPECT_FALSE(HasTemporaries(dir.path()));
  fs::remove(dir / out);
}

struct SweepCase {
  const char* role;
  std::vector<std::string> args;  // "v.tga" is the damaged file, "n.tga" a valid normal map
  const Bytes* valid;
};

// Every cut and every header byte set to 0x00 and 0xFF, for each input position.
TEST(HostileInputTest, TruncatedAndCorruptedInputsEndCleanly) {
  const SweepCase cases[] = {
      {"base", {"-q", "v.tga", "n.tga", "out.tga"}, &kNormalMap},
      {"second normal map", {"-q", "n.tga", "v.tga", "out.tga"}, &kNormalMap},
      {"height map", {"-q", "n.tga", "v.tga", "1.5", "out.tga"}, &kHeightMap},
  };
  for (const SweepCase& c : cases) {
    TempDir dir;
    WriteFile(dir / "n.tga", kNormalMap);
    WriteFile(dir / "v.tga", *c.valid);
    ASSERT_EQ(::Run(c.args, dir.path()).status, 0) << c.role;
    fs::remove(dir / "out.tga");
    for (size_t cut = 0; cut < c.valid->size(); ++cut) {
      SCOPED_TRACE(std::string(c.role) + " cut at " + std::to_string(cut));
      WriteFile(dir / "v.tga", Bytes(c.valid->begin(), c.valid->begin() + long(cut)));
      const RunResult r = ::Run(c.args, dir.path());
      EXPECT_EQ(r.status, 255);  // every cut loses texel bytes
      ExpectCleanEnd(r, dir, "out.tga");
    }
    for (int at = 0; at < 18; ++at) {
      for (unsigned char value : {0x00, 0xFF}) {
        SCOPED_TRACE(std::string(c.role) + " byte " + std::to_string(at) + " = " +
                     std::to_string(value));
        Bytes damaged = *c.valid;
        damaged[size_t(at)] = value;
        WriteFile(dir / "v.tga", damaged);
        ExpectCleanEnd(::Run(c.args, dir.path()), dir, "out.tga");
      }
    }
  }
}

}  // namespace
