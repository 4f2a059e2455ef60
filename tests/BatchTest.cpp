// Batches: the line splitter, the header probe, and the real `bumpweld --batch` against single
// runs of the same command lines (files, messages, report), shards, resuming after a kill, and
// the batch's own refusals.
#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "Batch.h"
#include "ImageProbe.h"
#include "TestSupport.h"

namespace {

using B = unsigned char;

// A w x h normal map with an empty 3 x 2 corner (so the dilation has work), a detail map and
// an 8-bit height map, written into dir.
void WriteMaps(const std::string& dir, int w, int h) {
  Bytes base, detail, height;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool empty = x < 3 && y < 2;
      base.insert(base.end(), {B(empty ? 127 : 230 - x % 30), B(empty ? 127 : 90 + y * 3 % 70), B(empty ? 127 : 60 + x * 4 % 150)});
      detail.insert(detail.end(), {B(240 - (x * y) % 50), B(128 + (x * 7) % 40), B(100 + (y * 5) % 60)});
      height.push_back(B((x * 13 + y * y * 3) % 256));
    }
  WriteFile(dir + "/base.tga", MakeTga(w, h, 24, base));
  WriteFile(dir + "/detail.tga", MakeTga(w, h, 24, detail));
  WriteFile(dir + "/height.tga", MakeTga(w, h, 8, height, 3));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The files of a directory but the batch's own.
std::map<std::string, Bytes> Outputs(const std::string& dir) {
  std::map<std::string, Bytes> files = Files(dir);
  for (const char* own : {"base.tga", "detail.tga", "height.tga", "jobs.txt", "report.json"}) files.erase(own);
  return files;
}

struct Row {
  const char* line;                // as written in the batch file
  std::vector<std::string> args;   // the same command line's arguments
};

// Every form and encoding, quotes, comments, lines that are not command lines, failing jobs.
const Row kRows[] = {
    {"base.tga detail.tga plain.tga", {"base.tga", "detail.tga", "plain.tga"}},
    {"  -mB base.tga 'detail.tga' \"mip chain.tga\"   # box filter", {"-mB", "base.tga", "detail.tga", "mip chain.tga"}},
    {"base.tga height.tga 2.5 bump.tga", {"base.tga", "height.tga", "2.5", "bump.tga"}},
    {"-Mq base.tga height.tga 0x10 out\\ 16.kep --round", {"-Mq", "base.tga", "height.tga", "0x10", "out 16.kep", "--round"}},
    {"-h base.tga detail.tga h.kep", {"-h", "base.tga", "detail.tga", "h.kep"}},
    {"-H base.tga detail.tga H.kep", {"-H", "base.tga", "detail.tga", "H.kep"}},
    {"-iQ base.tga detail.tga i.kep", {"-iQ", "base.tga", "detail.tga", "i.kep"}},
    {"-sG base.tga detail.tga s.kep\r", {"-sG", "base.tga", "detail.tga", "s.kep"}},
    {"-Se base.tga detail.tga S.kep", {"-Se", "base.tga", "detail.tga", "S.kep"}},
    {"--bits=16 base.tga detail.tga wide.png --flip-green=second", {"--bits=16", "base.tga", "detail.tga", "wide.png", "--flip-green=second"}},
    {"-m base.tga height.tga 1 \"q\\\"uote\".png", {"-m", "base.tga", "height.tga", "1", "q\"uote.png"}},
    {"base.tga detail.tga", {"base.tga", "detail.tga"}},
    {"-m base.tga detail.tga bad.tga --rond", {"-m", "base.tga", "detail.tga", "bad.tga", "--rond"}},
    {"base.tga missing.tga missing.tga", {"base.tga", "missing.tga", "missing.tga"}},
    {"base.tga height.tga nan nan.tga", {"base.tga", "height.tga", "nan", "nan.tga"}},
    {"-h base.tga detail.tga kep.png", {"-h", "base.tga", "detail.tga", "kep.png"}},
};

TEST(BatchTest, SplitsLinesAsAShell) {
  for (const Row& row : kRows) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(BwSplitBatchLine(row.line, &words, &error)) << row.line;
    EXPECT_EQ(words, row.args) << row.line;
  }
  const std::pair<const char*, std::vector<std::string>> kMore[] = {
      {"# all comment", {}},   {"a#b '' \"\" c", {"a#b", "", "", "c"}}, {"'a\\b' \"a\\b\\\\\"", {"a\\b", "a\\b\\"}},
      {"x'y z'w", {"xy zw"}},  {"\t\r", {}},
  };
  for (const auto& [line, expected] : kMore) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(BwSplitBatchLine(line, &words, &error)) << line;
    EXPECT_EQ(words, expected) << line;
  }
  for (const char* bad : {"a 'b", "a \"b\\\"", "a b\\"}) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_FALSE(BwSplitBatchLine(bad, &words, &error)) << bad;
    EXPECT_EQ(error.rfind("ERROR: ", 0), 0u) << bad;
  }
}

TEST(BatchTest, ProbesHeaders) {
  const Bytes tga = MakeTga(300, 7, 32, Bytes(300 * 7 * 4));
  const Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                     0, 0, 1, 2, 0, 0, 0, 9, 16, 2};
  Bytes exr = {0x76, 0x2f, 0x31, 0x01, 2, 0, 0, 0};
  for (const char* text : {"channels", "chlist"}) exr.insert(exr.end(), text, text + std::strlen(text) + 1);
  exr.insert(exr.end(), {1, 0, 0, 0, 0});
  for (const char* text : {"dataWindow", "box2i"}) exr.insert(exr.end(), text, text + std::strlen(text) + 1);
  exr.insert(exr.end(), {16, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0});
  struct Case {
    Bytes head;
    bool known;
    int width, height;
    uint64_t readerBytes;
  };
  const Case kCases[] = {
      {tga, true, 300, 7, 300 * 7 * 4},
      {png, true, 258, 9, 258 * 9 * 8 + 1000},  // 16-bit RGB with room for alpha, plus the file
      {exr, true, 6, 5, 6 * 5 * 4 + 1000},
      {Bytes(exr.begin(), exr.end() - 10), false, 0, 0, 0},  // dataWindow cut short
      {MakeTga(0, 5, 24, {}), false, 0, 0, 0},
      {Bytes(tga.begin(), tga.begin() + 17), false, 0, 0, 0},
  };
  for (const Case& c : kCases) {
    BwImageProbe probe;
    EXPECT_EQ(BwProbeImage(c.head.data(), c.head.size(), 1000, &probe), c.known);
    EXPECT_EQ(probe.width, c.width);
    EXPECT_EQ(probe.height, c.height);
    EXPECT_EQ(probe.readerBytes, c.readerBytes);
  }
}

TEST(BatchTest, WritesWhatSingleRunsWrite) {
  TempDir batch, single, verbose;
  for (const TempDir* dir : {&batch, &single, &verbose}) WriteMaps(dir->path(), 37, 29);
  std::string file = "# jobs of every form\n\n";
  std::string expectedLines, singleOut, expectedReport;
  int ok = 0, failed = 0;
  for (const Row& row : kRows) {
    file += std::string(row.line) + "\n";
    const RunResult r = ::Run(row.args, single.path());
    ASSERT_TRUE(r.err.empty()) << row.line;
    singleOut += r.out;
    const std::vector<std::string> printed = Lines(r.out);
    const bool usage = r.out.rfind("Usage:", 0) == 0;
    const std::string message = usage ? printed.front() : printed.empty() ? "" : printed.back();
    std::string out;  // the output name, or the last word that is not a long option
    for (const std::string& arg : row.args)
      if (arg.rfind("--", 0) != 0) out = arg;
    (r.status == 0 ? ok : failed) += 1;
    expectedLines += r.status == 0 ? "ok " + out + "\n" : "FAILED " + out + ": " + message + "\n";
    expectedReport += std::string(r.status == 0 ? "ok" : "failed") + (r.status == 0 ? "" : " " + message) + "\n";
  }
  file += "   # the end\n";
  WriteFile(batch / "jobs.txt", Bytes(file.begin(), file.end()));
  WriteFile(verbose / "jobs.txt", Bytes(file.begin(), file.end()));

  const RunResult b = ::Run({"--batch", "jobs.txt", "--jobs=3", "--report=report.json"}, batch.path());
  EXPECT_EQ(b.status, 255);
  EXPECT_EQ(Outputs(batch.path()), Outputs(single.path()));
  std::vector<std::string> lines = Lines(b.out), expected = Lines(expectedLines);
  ASSERT_FALSE(lines.empty());
  const std::string summary =
      "16 jobs: " + std::to_string(ok) + " ok, " + std::to_string(failed) + " failed, 0 skipped";
  EXPECT_EQ(failed, 5);
  EXPECT_EQ(lines.back(), summary);
  lines.pop_back();
  std::sort(lines.begin(), lines.end());  // in the order the jobs finished
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);

  // The report: valid JSON, in job order, the files each job wrote.
  const std::string script =
      "/usr/bin/python3 -c 'import json, os\n"
      "for r in json.load(open(\"report.json\")):\n"
      "    assert type(r[\"seconds\"]) is float and set(r) == {\"args\", \"status\", \"message\", \"seconds\", \"outputs\"}\n"
      "    assert all(os.path.isfile(o) for o in r[\"outputs\"]) and (r[\"status\"] == \"ok\") == bool(r[\"outputs\"])\n"
      "    print(r[\"status\"] + (\" \" + r[\"message\"] if r[\"message\"] else \"\"))' > statuses.txt";
  ASSERT_EQ(Shell(script, batch.path()), 0);
  const Bytes statuses = ReadFile(batch / "statuses.txt");
  EXPECT_EQ(std::string(statuses.begin(), statuses.end()), expectedReport);

  // One job at a time, verbose: each job's console text, in line order, as its command line
  // prints it.
  const RunResult v = ::Run({"--batch=jobs.txt", "--verbose", "--jobs=1"}, verbose.path());
  EXPECT_EQ(v.out, singleOut + summary + "\n");
  EXPECT_EQ(Outputs(verbose.path()), Outputs(single.path()));
}

// `count` jobs that each write their own file, between comments and blank lines.
std::string NumberedJobs(int count, const char* flags = "-q") {
  std::string file;
  for (int i = 0; i < count; ++i)
    file += std::string(i % 3 ? "" : "# comment\n\n") + flags + " base.tga detail.tga out" + std::to_string(i) + ".tga\n";
  return file;
}

TEST(BatchTest, ShardsCoverEveryJobOnce) {
  TempDir dir;
  WriteMaps(dir.path(), 5, 3);
  const std::string file = NumberedJobs(10);
  WriteFile(dir / "jobs.txt", Bytes(file.begin(), file.end()));
  for (int n : {1, 2, 3, 7}) {
    std::multiset<std::string> seen;
    for (int k = 0; k < n; ++k) {
      // Odd shards with a budget of 1 MiB, so every job is too big to share and runs alone.
      const std::string memory = k % 2 ? "--memory=1" : "--jobs=2";
      const RunResult r = ::Run({"--batch", "jobs.txt", "--shard=" + std::to_string(k) + "/" + std::to_string(n), memory}, dir.path());
      EXPECT_EQ(r.status, 0);
      std::vector<std::string> lines = Lines(r.out);
      ASSERT_FALSE(lines.empty());
      lines.pop_back();
      for (const std::string& line : lines) {
        const int index = std::stoi(line.substr(std::strlen("ok out")));
        EXPECT_EQ(index % n, k) << line;
        seen.insert(line);
      }
    }
    EXPECT_EQ(seen.size(), 10u) << n;
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 10u) << n;
  }
}

TEST(BatchTest, ResumesAfterAKill) {
  TempDir killed, clean;
  std::string file;
  for (int i = 0; i < 80; ++i) file += "-mq base.tga height.tga 3 out" + std::to_string(i) + ".tga\n";
  for (const TempDir* dir : {&killed, &clean}) {
    WriteMaps(dir->path(), 300, 200);
    WriteFile(*dir / "jobs.txt", Bytes(file.begin(), file.end()));
    // Inputs older than any output, so that finished jobs are up to date.
    ASSERT_EQ(Shell("touch -d 2001-01-01 base.tga height.tga", dir->path()), 0);
  }
  ASSERT_EQ(::Run({"--batch", "jobs.txt"}, clean.path()).status, 0);
  // Killed once a job has finished, while others run.
  ASSERT_EQ(Shell("\"$BW\" --batch jobs.txt --jobs=2 > log & until grep -q ok log; do sleep 0.01; done; "
                  "kill -TERM $!; wait $!; test $? -eq 143", killed.path()), 0);
  EXPECT_FALSE(HasTemporaries(killed.path()));
  const RunResult r = ::Run({"--batch", "jobs.txt", "--skip-up-to-date"}, killed.path());
  EXPECT_EQ(r.status, 0);
  std::map<std::string, Bytes> files = Outputs(killed.path());
  files.erase("log");
  EXPECT_EQ(files, Outputs(clean.path()));
  // Run again, every job is up to date.
  EXPECT_TRUE(EndsWith(::Run({"--batch", "jobs.txt", "--skip-up-to-date"}, killed.path()).out,
                       "80 jobs: 0 ok, 0 failed, 80 skipped\n"));
}

TEST(BatchTest, FailFastStartsNothingAfterAFailure) {
  TempDir dir;
  WriteMaps(dir.path(), 5, 3);
  const std::string file = "-q base.tga detail.tga a.tga\n-q base.tga none.tga b.tga\n" + NumberedJobs(5);
  WriteFile(dir / "jobs.txt", Bytes(file.begin(), file.end()));
  const RunResult r = ::Run({"--batch", "jobs.txt", "--fail-fast", "--jobs=1"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.substr(0, r.out.find("skipped out0")),
            "ok a.tga\nFAILED b.tga: ERROR: Unable to open none.tga\n");
  EXPECT_TRUE(EndsWith(r.out, "7 jobs: 1 ok, 1 failed, 5 skipped\n"));
  EXPECT_FALSE(FileExists(dir / "out0.tga"));
}

TEST(BatchTest, RefusesBadBatchCommandLines) {
  TempDir dir;
  WriteFile(dir / "jobs.txt", {});
  const std::pair<std::vector<std::string>, const char*> kCases[] = {
      {{"--batch"}, "ERROR: Bad value in --batch (a batch file, - for standard input)\n"},
      {{"--batch", "jobs.txt", "--jobs=0"}, "ERROR: Bad value in --jobs=0 (a number of jobs, at least 1)\n"},
      {{"--batch", "jobs.txt", "--shard=3/3"}, "ERROR: Bad value in --shard=3/3 (K/N with 0 <= K < N)\n"},
      {{"--batch", "jobs.txt", "--round"}, "ERROR: --round belongs on the lines of a batch, not with --batch\n"},
      {{"--batch", "jobs.txt", "--rond"}, "ERROR: Unknown option --rond\n"},
      {{"--batch", "jobs.txt", "out.tga"}, "ERROR: A batch takes its jobs from its file, not out.tga\n"},
      {{"--batch", "none.txt"}, "ERROR: Unable to open none.txt\n"},
      {{"--batch", "jobs.txt", "--report=no/such/dir/r.json"}, "ERROR: Unable to open no/such/dir/r.json\n"},
      // Without --batch the batch options are unknown, as they always were.
      {{"--jobs=2", "a.tga", "b.tga", "c.tga"}, "ERROR: Unknown option --jobs\n"},
  };
  for (const auto& [args, message] : kCases) {
    const RunResult r = ::Run(args, dir.path());
    EXPECT_EQ(r.status, 255) << args.back();
    EXPECT_EQ(r.out, message);
  }
  // An empty batch succeeds, from standard input too.
  EXPECT_EQ(Shell("\"$BW\" --batch - < jobs.txt | grep -qx '0 jobs: 0 ok, 0 failed, 0 skipped'", dir.path()), 0);
}

}  // namespace
