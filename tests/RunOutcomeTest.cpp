// Runs whose outcome used to be wrong: endless pipes, memory limits, inputs cut short while
// read, and a chain that fails half way. (Empty images and heights that are not numbers are in
// the refusals of GpuOutputTest.)
#include <sys/stat.h>

#include <chrono>
#include <future>

#include "TestSupport.h"

using B = unsigned char;

TEST(RunOutcome, PipesAreReadOnlyAsFarAsTheHeaderAllows) {
  TempDir dir;
  WriteFile(dir / "det.tga", MakeTga(4, 4, 24, Repeat({255, 127, 127}, 4 * 4)));
  WriteFile(dir / "head4.tga", MakeTga(4, 4, 24, {}));
  // An endless pipe behind a 4 x 4 header: the 48 texel bytes are read, the rest never.
  EXPECT_EQ(Shell("(cat head4.tga; cat /dev/zero) | timeout 20 \"$BW\" -q /dev/stdin det.tga out.tga", dir.path()), 0);
  EXPECT_EQ(ReadFile(dir / "out.tga").size(), 18u + 48u);
#ifndef BUMPWELD_SANITIZED
  // A header announcing 65535 x 65535 texels in front of an endless pipe, under a memory limit.
  WriteFile(dir / "huge.tga", MakeTga(65535, 65535, 32, {}));
  EXPECT_EQ(Shell("ulimit -v 300000; (cat huge.tga; cat /dev/zero) | timeout 60 \"$BW\" -q /dev/stdin det.tga o.tga"
                  " > log; test $? -eq 255 && tail -n 1 log | grep -qx 'ERROR: Unable to read /dev/stdin'", dir.path()), 0);
  EXPECT_FALSE(FileExists(dir / "o.tga"));
#endif
  // The same picture as a PNG, a DDS and a TIFF file (its directory last), from a pipe, gives the
  // file's result; a signature followed by an endless stream is refused without reading it.
  ASSERT_EQ(Shell("\"$BW\" -Q det.tga det.tga p.png && \"$BW\" -Q --format=rgba8 det.tga det.tga d.dds && "
                  "\"$BW\" -Q det.tga det.tga t.tif", dir.path()), 0);
  for (const char* file : {"p.png", "d.dds", "t.tif"}) {
    const std::string piped = std::string("cat ") + file + " | \"$BW\" -Q /dev/stdin det.tga a.tga && \"$BW\" -Q " +
                              file + " det.tga b.tga && cmp -s a.tga b.tga";
    EXPECT_EQ(Shell(piped, dir.path()), 0) << file;
  }
  // A TIFF signature: zeros for a directory, or one said to lie 256 MiB on.
  for (const char* signature : {"\\x89PNG\\r\\n\\x1a\\n", "v/1\\x01\\x02\\0\\0\\0", "DDS \\x7c\\0\\0\\0", "II*\\0",
                                "II*\\0\\0\\0\\0\\x10"}) {
    // The writer finishes only if the run reads everything.
    const std::string endless = std::string("rm -f all; (printf '") + signature +
                                "' && head -c 100M /dev/zero && touch all) | timeout 20 \"$BW\" -Q /dev/stdin det.tga o.tga;"
                                " test $? -eq 255 && test ! -e all";
    EXPECT_EQ(Shell(endless, dir.path()), 0) << signature;
    EXPECT_FALSE(FileExists(dir / "o.tga"));
  }
}

#ifndef BUMPWELD_SANITIZED
TEST(RunOutcome, MemoryLimitsEndWithTheAllocationMessage) {
  // A 2048 x 2048 base with an empty patch and a height map, under limits that fail the run at
  // different allocations: every failure is the message and status 255, never a crash.
  TempDir dir;
  const int size = 2048;
  Bytes base = Repeat({230, 140, 150}, size * size);
  for (int i = 0; i < 4000; ++i) base[size_t(i) * 3] = base[size_t(i) * 3 + 1] = base[size_t(i) * 3 + 2] = 127;
  WriteFile(dir / "base.tga", MakeTga(size, size, 24, base));
  Bytes heights(size_t(size) * size);
  for (size_t i = 0; i < heights.size(); ++i) heights[i] = B(i * 31 % 251);
  WriteFile(dir / "height.tga", MakeTga(size, size, 8, heights, 3));
  int failures = 0;
  for (int limit : {60000, 80000, 100000, 120000, 140000, 400000}) {
    const RunResult r = ::Run({"-qm", "base.tga", "height.tga", "2", "o.tga"}, dir.path(),
                            "ulimit -v " + std::to_string(limit) + "; ");
    ASSERT_TRUE(r.status == 0 || r.status == 255) << limit << ": " << r.status << r.err;
    if (r.status == 255) {
      ++failures;
      // The allocation message, or the message of the reader or writer whose buffer it was.
      EXPECT_TRUE(EndsWith(r.out, "ERROR: Unable to allocate texture\n") || EndsWith(r.out, "ERROR: Unable to read base.tga\n") ||
                  EndsWith(r.out, "ERROR: Unable to read height.tga\n") || EndsWith(r.out, "ERROR: Unable to write o00.tga\n"))
          << limit << ": " << r.out;
      EXPECT_FALSE(FileExists(dir / "o00.tga")) << limit;
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_TRUE(FileExists(dir / "o00.tga"));  // the largest limit is enough
}
#endif

#ifndef BUMPWELD_SANITIZED
// --fill=all on a 2048 x 2048 map with one filled texel, which every fill comes from, takes no
// more memory than the plain dilation (a band at a time); it took the whole image in floats.
TEST(RunOutcome, FillingEveryTexelTakesTheMemoryOfThePlainDilation) {
  if (std::system("/usr/bin/time -f %M true >/dev/null 2>&1") != 0) GTEST_SKIP() << "/usr/bin/time is not installed";
  TempDir dir;
  const int size = 2048;
  Bytes base = Repeat({127, 127, 127}, size * size);
  base[size_t(1000 * size + 300) * 3] = 200;
  WriteFile(dir / "base.tga", MakeTga(size, size, 24, base));
  WriteFile(dir / "flat.tga", MakeTga(size, size, 24, Repeat({255, 128, 128}, size * size)));
  ASSERT_EQ(Shell("/usr/bin/time -o plain -f %M \"$BW\" -Q base.tga flat.tga a.tga && /usr/bin/time -o all -f %M "
                  "\"$BW\" -Q --fill=all base.tga flat.tga b.tga && ! od -An -v -tx1 -w3 -j18 b.tga | grep -q '7f 7f 7f'", dir.path()), 0);
  const Bytes plain = ReadFile(dir / "plain"), all = ReadFile(dir / "all");
  EXPECT_LE(std::stol(std::string(all.begin(), all.end())), std::stol(std::string(plain.begin(), plain.end())) * 11 / 10);
}
#endif

TEST(RunOutcome, InputCutShortWhileReadFailsTheRun) {
  // The output is a FIFO, so the run waits for the reader after its first piece; meanwhile the
  // input loses its last bytes, inside the last page of its mapping, where they read as zeros.
  TempDir dir;
  const int w = 3001, h = 1999;
  WriteFile(dir / "base.tga", MakeTga(w, h, 24, Repeat({230, 140, 150}, w * h)));
  WriteFile(dir / "det.tga", MakeTga(w, h, 24, Repeat({255, 127, 127}, w * h)));
  ASSERT_EQ(mkfifo((dir / "out.tga").c_str(), 0600), 0);
  auto run = std::async(std::launch::async, [&] { return ::Run({"-qe", "base.tga", "det.tga", "out.tga"}, dir.path()); });
  FILE* fifo = std::fopen((dir / "out.tga").c_str(), "rb");
  ASSERT_NE(fifo, nullptr);
  char first[4096];
  ASSERT_EQ(std::fread(first, 1, sizeof first, fifo), sizeof first);
  ASSERT_EQ(truncate((dir / "det.tga").c_str(), off_t(18 + 3 * w * h - 3000)), 0);
  while (std::fread(first, 1, sizeof first, fifo) > 0) {
  }
  std::fclose(fifo);
  const RunResult r = run.get();
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(EndsWith(r.out, "ERROR: Unable to read det.tga\n")) << r.out;
  EXPECT_EQ(r.err, "ERROR! An input file changed while it was read!\n");
}

TEST(RunOutcome, MipChainIsOneTransaction) {
  // Level 3's name is taken by a directory: the run fails after writing levels 0 to 2, and every
  // level that was there before keeps its old content.
  TempDir dir;
  const int size = 64;  // levels 00 to 06
  WriteFile(dir / "base.tga", MakeTga(size, size, 24, Repeat({230, 140, 150}, size * size)));
  WriteFile(dir / "det.tga", MakeTga(size, size, 24, Repeat({255, 127, 127}, size * size)));
  for (int level : {0, 1, 2, 4, 5, 6}) WriteFile(dir / ("out0" + std::to_string(level) + ".tga"), {'O', 'L', 'D'});
  ASSERT_EQ(mkdir((dir / "out03.tga").c_str(), 0755), 0);
  const RunResult r = ::Run({"-qm", "base.tga", "det.tga", "out.tga"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(EndsWith(r.out, "Wrote out02.tga\nOutput normal map 8 by 8\nBox filtering\n\rConverting to 8x8x8 Targa\n"
                              "ERROR: Unable to open out03.tga\n")) << r.out;
  for (int level : {0, 1, 2, 4, 5, 6})
    EXPECT_EQ(ReadFile(dir / ("out0" + std::to_string(level) + ".tga")), Bytes({'O', 'L', 'D'})) << level;
  EXPECT_EQ(Files(dir.path()).size(), 2u + 6u);  // the inputs and the old levels: no temporary
}
