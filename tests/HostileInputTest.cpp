// Hostile inputs and failing outputs through the real executable: every run ends with status 0
// or 255 (never a signal or a sanitizer report), a failed run ends its standard output with an
// error message and leaves no output file, and no temporary file is ever left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool HasTemporaries(const std::string& dir) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().rfind(".bumpweld-", 0) == 0) return true;
  return false;
}

// Asymmetric 3 x 2 maps: a 24-bit normal map and an 8-bit grey height map.
const Bytes kNormalMap = MakeTga(3, 2, 24, {255, 128, 128, 200, 100, 90, 250, 140, 120,
                                            128, 128, 255, 90, 200, 220, 180, 60, 200});
const Bytes kHeightMap = MakeTga(3, 2, 8, {10, 60, 200, 30, 90, 250}, 3);

// A uniform normal map of w x h texels.
Bytes FlatNormalMap(int w, int h) { return MakeTga(w, h, 24, Bytes(size_t(w) * h * 3, 200)); }

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

// Outputs that cannot be created or written, as Targa and as .kep files.
TEST(HostileInputTest, UnwritableOutputsFailCleanly) {
  TempDir dir;
  WriteFile(dir / "n.tga", kNormalMap);
  WriteFile(dir / "file", {1, 2, 3});
  for (const char* flags : {"-q", "-qi"}) {
    for (const std::string out : {"missing/out.tga", "file/out.tga", "/dev/full"}) {
      SCOPED_TRACE(std::string(flags) + " " + out);
      const RunResult r = ::Run({flags, "n.tga", "n.tga", out}, dir.path());
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(EndsWithFatalMessage(r.out) && r.out.find(out) != std::string::npos) << r.out;
      EXPECT_FALSE(HasTemporaries(dir.path()));
    }
  }
  EXPECT_EQ(ReadFile(dir / "file"), Bytes({1, 2, 3}));
  struct stat st;
  EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));
}

// A replacement that fails partway (the file size limit stops the write) keeps the old file.
TEST(HostileInputTest, FailedReplacementKeepsExistingOutput) {
  TempDir dir;
  WriteFile(dir / "n.tga", FlatNormalMap(64, 64));
  const Bytes known = {'k', 'e', 'e', 'p'};
  const std::pair<const char*, const char*> outputs[] = {{"-q", "out.tga"}, {"-qi", "out.kep"}};
  for (const auto& [flags, out] : outputs) {
    SCOPED_TRACE(out);
    WriteFile(dir / out, known);
    // Writes past the limit fail with EFBIG instead of raising SIGXFSZ; the limit and the
    // ignored signal pass to the child. The captured standard output stays below the limit.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const struct rlimit small = {4096, saved.rlim_max};
    void (*const oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const RunResult r = ::Run({flags, "n.tga", "n.tga", out}, dir.path());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(EndsWith(r.out, std::string("ERROR: Unable to write ") + out + "\n")) << r.out;
    EXPECT_EQ(ReadFile(dir / out), known);
    EXPECT_FALSE(HasTemporaries(dir.path()));
  }
}

// A file system that fills up during the write: the run fails and leaves nothing behind.
TEST(HostileInputTest, FullFileSystemLeavesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a 64 KiB tmpfs needs root";
  TempDir dir;
  const std::string small = dir / "small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a 64 KiB tmpfs: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  WriteFile(dir / "n.tga", FlatNormalMap(160, 160));  // a 76,818-byte output
  const RunResult r = ::Run({"-q", "n.tga", "n.tga", "small/out.tga"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(EndsWith(r.out, "ERROR: Unable to write small/out.tga\n")) << r.out;
  EXPECT_TRUE(fs::is_empty(small));
  const Bytes known = {'o', 'l', 'd'};
  WriteFile(small + "/out.tga", known);
  EXPECT_EQ(::Run({"-q", "n.tga", "n.tga", "small/out.tga"}, dir.path()).status, 255);
  EXPECT_EQ(ReadFile(small + "/out.tga"), known);
  EXPECT_FALSE(HasTemporaries(small));
}

}  // namespace
