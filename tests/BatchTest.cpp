// Batches: the line splitter, the header probe, and the real `bumpweld --batch` against single
// runs of the same command lines (files, messages, report), shards, resuming after a kill, and
// the batch's own refusals.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Batch.h"
#include "CommandParser.h"
#include "TestSupport.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The files of a directory but the batch's own.
std::map<std::string, Bytes> Outputs(const std::string& dir) {
  std::map<std::string, Bytes> files = Files(dir);
  for (const char* own :
       {"base.tga", "detail.tga", "height.tga", "jobs.txt", "report.json", "log", ".bumpweld.records"})
    files.erase(own);
  return files;
}

struct Row {
  const char* line;                // as written in the batch file
  std::vector<std::string> args;   // the same command line's arguments
};

// Every form and encoding, quotes, comments, lines that are not command lines, failing jobs.
const Row kRows[] = {
    {"  -mB base.tga 'detail.tga' \"mip chain.tga\"   # box filter", {"-mB", "base.tga", "detail.tga", "mip chain.tga"}},
    {"-Mq base.tga height.tga 0x10 out\\ 16.kep --round", {"-Mq", "base.tga", "height.tga", "0x10", "out 16.kep", "--round"}},
    {"-sG base.tga detail.tga s.kep\r", {"-sG", "base.tga", "detail.tga", "s.kep"}},
    {"--bits=16 base.tga detail.tga wide.png --flip-green=second", {"--bits=16", "base.tga", "detail.tga", "wide.png", "--flip-green=second"}},
    {"-m base.tga height.tga 1 \"q\\\"uote\".png", {"-m", "base.tga", "height.tga", "1", "q\"uote.png"}},
    {"base.tga detail.tga", {"base.tga", "detail.tga"}},
    {"-m base.tga detail.tga bad.tga --rond", {"-m", "base.tga", "detail.tga", "bad.tga", "--rond"}},
    {"base.tga height.tga nan nan.tga", {"base.tga", "height.tga", "nan", "nan.tga"}},
    {"-m base.tga detail.tga chain.dds --stats", {"-m", "base.tga", "detail.tga", "chain.dds", "--stats"}},
    {"-M base.tga height.tga 2 chain.KTX2", {"-M", "base.tga", "height.tga", "2", "chain.KTX2"}},
};

TEST(BatchTest, SplitsLinesAsAShell) {
  std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"# all comment", {}},   {"a#b '' \"\" c", {"a#b", "", "", "c"}}, {"'a\\b' \"a\\b\\\\\"", {"a\\b", "a\\b\\"}},
      {"x'y z'w", {"xy zw"}},  {"\t\r", {}},
  };
  for (const Row& row : kRows) cases.emplace_back(row.line, row.args);
  for (const auto& [line, expected] : cases) {
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

TEST(BatchTest, WritesWhatSingleRunsWrite) {
  TempDir batch, single;
  for (const TempDir* dir : {&batch, &single}) WriteTestMaps(dir->path(), 37, 29);
  std::string file = "# jobs of every form\n\n", expectedLines, singleOut, expectedReport;
  int failed = 0;
  for (const Row& row : kRows) {
    file += std::string(row.line) + "\n";
    const RunResult r = ::Run(row.args, single.path());
    singleOut += r.out;
    const std::vector<std::string> printed = Lines(r.out);
    const std::string message = r.out.rfind("Usage:", 0) == 0 ? printed.front() : printed.empty() ? "" : printed.back();
    const std::string out = row.args[row.args.size() - (row.args.back().rfind("--", 0) == 0 ? 2 : 1)];
    failed += r.status != 0;
    expectedLines += r.status == 0 ? "ok " + out + "\n" : "FAILED " + out + ": " + message + "\n";
    expectedReport += r.status == 0 ? "ok\n" : "failed " + message + "\n";
  }
  EXPECT_EQ(failed, 3);
  WriteFile(batch / "jobs.txt", AsBytes(file + "   # the end\n"));

  const RunResult b = ::Run({"--batch", "jobs.txt", "--jobs=3", "--report=report.json"}, batch.path());
  EXPECT_EQ(b.status, 255);
  EXPECT_EQ(Outputs(batch.path()), Outputs(single.path()));
  std::vector<std::string> lines = Lines(b.out), expected = Lines(expectedLines);
  ASSERT_FALSE(lines.empty());
  const std::string summary = "10 jobs: 7 ok, 3 failed, 0 skipped";
  EXPECT_EQ(lines.back(), summary);
  lines.pop_back();
  std::sort(lines.begin(), lines.end());  // in the order the jobs finished
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  // One job at a time, verbose: each job's console text, in line order, as its command line prints it.
  EXPECT_EQ(::Run({"--batch=jobs.txt", "--verbose", "--jobs=1"}, batch.path()).out, singleOut + summary + "\n");

  // The report: valid JSON, in job order, the files each job wrote, and the angle error of each
  // level of a job with --stats.
  const std::string script =
      "/usr/bin/python3 -c 'import json, os\n"
      "for r in json.load(open(\"report.json\")):\n"
      "    assert type(r[\"seconds\"]) is float and set(r) - {\"stats\"} == {\"args\", \"status\", \"message\", \"seconds\", \"outputs\"}\n"
      "    assert (\"stats\" in r) == (\"--stats\" in r[\"args\"])\n"
      "    assert [(s[\"level\"], set(s)) for s in r.get(\"stats\", [])] == [(l, {\"level\", \"mean\", \"p99\", \"max\"}) for l in range(len(r.get(\"stats\", [])))]\n"
      "    assert len(r.get(\"stats\", [0] * 6)) == 6 and all(0 <= s[\"mean\"] <= s[\"p99\"] <= s[\"max\"] for s in r.get(\"stats\", []))\n"
      "    assert all(os.path.isfile(o) for o in r[\"outputs\"]) and (r[\"status\"] == \"ok\") == bool(r[\"outputs\"])\n"
      "    print(r[\"status\"] + (\" \" + r[\"message\"] if r[\"message\"] else \"\"))' > statuses.txt";
  ASSERT_EQ(Shell(script, batch.path()), 0);
  const Bytes statuses = ReadFile(batch / "statuses.txt");
  EXPECT_EQ(std::string(statuses.begin(), statuses.end()), expectedReport);
}

// `count` jobs that each write their own file, between comments and blank lines.
std::string NumberedJobs(int count) {
  std::string file;
  for (int i = 0; i < count; ++i) file += std::string(i % 3 ? "" : "# comment\n\n") + "-q base.tga detail.tga out" + std::to_string(i) + ".tga\n";
  return file;
}

TEST(BatchTest, ShardsCoverEveryJobOnce) {
  TempDir dir;
  WriteTestMaps(dir.path(), 5, 3);
  WriteFile(dir / "jobs.txt", AsBytes(NumberedJobs(10)));
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "ok out" + std::to_string(i) + ".tga\n";
  for (int n : {1, 2, 3, 7}) {
    std::vector<std::string> seen;
    for (int k = 0; k < n; ++k) {
      // Odd shards with a budget of 1 MiB, so every job is too big to share and runs alone.
      const std::string memory = k % 2 ? "--memory=1" : "--jobs=2";
      const RunResult r = ::Run({"--batch", "jobs.txt", "--shard=" + std::to_string(k) + "/" + std::to_string(n), memory}, dir.path());
      EXPECT_EQ(r.status, 0);
      std::vector<std::string> lines = Lines(r.out);
      ASSERT_FALSE(lines.empty());
      seen.insert(seen.end(), lines.begin(), lines.end() - 1);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, Lines(expected)) << n;
  }
}

TEST(BatchTest, ResumesAfterAKill) {
  TempDir killed, clean;
  std::string file;
  for (int i = 0; i < 80; ++i) file += "-mq base.tga height.tga 3 out" + std::to_string(i) + ".tga\n";
  for (const TempDir* dir : {&killed, &clean}) {
    WriteTestMaps(dir->path(), 300, 200);
    WriteFile(*dir / "jobs.txt", AsBytes(file));
  }
  ASSERT_EQ(::Run({"--batch", "jobs.txt"}, clean.path()).status, 0);
  // Killed once a job has finished, while others run.
  ASSERT_EQ(Shell("\"$BW\" --batch jobs.txt --jobs=2 > log & until grep -q ok log; do sleep 0.01; done; "
                  "kill -TERM $!; wait $!; test $? -eq 143", killed.path()), 0);
  EXPECT_FALSE(HasTemporaries(killed.path()));
  EXPECT_EQ(::Run({"--batch", "jobs.txt", "--skip-up-to-date"}, killed.path()).status, 0);
  EXPECT_EQ(Outputs(killed.path()), Outputs(clean.path()));
  EXPECT_TRUE(EndsWith(::Run({"--batch", "jobs.txt", "--skip-up-to-date"}, killed.path()).out,
                       "80 jobs: 0 ok, 0 failed, 80 skipped\n"));
}

// Up to date by the records of the inputs' contents and the options, not by the clock: a
// changed option or mask rebuilds, a touch does not, and a skipped job reports its files.
TEST(BatchTest, SkipsByContentAndOptions) {
  TempDir dir;
  WriteTestMaps(dir.path(), 40, 24);
  const std::pair<const char*, const char*> kSteps[] = {
      {"-m base.tga detail.tga a.dds --mask=height.tga\n-m base.tga detail.tga b.ktx2\n", "ok a.dds\nok b.ktx2\n"},
      {"-m base.tga detail.tga a.dds --mask=height.tga\n-m base.tga detail.tga b.ktx2\n",
       "skipped a.dds: up to date\nskipped b.ktx2: up to date\n"},
      {"-m base.tga detail.tga a.dds --mask=height.tga\n-m base.tga detail.tga b.ktx2 --detail-strength=0.2\n",
       "skipped a.dds: up to date\nok b.ktx2\n"},
      {"touch base.tga height.tga", "skipped a.dds: up to date\nskipped b.ktx2: up to date\n"},
      {"cp detail.tga height.tga", "ok a.dds\nskipped b.ktx2: up to date\n"},
  };
  for (const auto& [step, expected] : kSteps) {
    if (step[0] == '-')
      WriteFile(dir / "jobs.txt", AsBytes(step));
    else
      ASSERT_EQ(Shell(step, dir.path()), 0);
    const RunResult r =
        ::Run({"--batch", "jobs.txt", "--skip-up-to-date", "--jobs=1", "--report=report.json"}, dir.path());
    EXPECT_EQ(r.out.substr(0, r.out.rfind("2 jobs")), expected) << step;
  }
  ASSERT_EQ(Shell("grep -q '\"status\": \"skipped\", \"message\": \"up to date\", \"seconds\": 0.000000, \"outputs\": "
                  "\\[\"b.ktx2\"\\]' "
                  "report.json",
                  dir.path()),
            0);
  // Without --skip-up-to-date a batch keeps no records and rebuilds.
  EXPECT_EQ(
      Shell(
          "rm .bumpweld.records && \"$BW\" --batch jobs.txt | grep -c ^ok | grep -qx 2 && test ! -e .bumpweld.records",
          dir.path()),
      0);
}

TEST(BatchTest, FailFastStartsNothingAfterAFailure) {
  TempDir dir;
  WriteTestMaps(dir.path(), 5, 3);
  WriteFile(dir / "jobs.txt", AsBytes("-q base.tga detail.tga a.tga\n-q base.tga none.tga b.tga\n" + NumberedJobs(5)));
  const RunResult r = ::Run({"--batch", "jobs.txt", "--fail-fast", "--jobs=1"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.substr(0, r.out.find("skipped out0")), "ok a.tga\nFAILED b.tga: ERROR: Unable to open none.tga\n");
  EXPECT_TRUE(EndsWith(r.out, "7 jobs: 1 ok, 1 failed, 5 skipped\n"));
  EXPECT_FALSE(FileExists(dir / "out0.tga"));
}

TEST(BatchTest, RefusesBadBatchCommandLines) {
  TempDir dir;
  WriteFile(dir / "jobs.txt", {});
  WriteTestMaps(dir.path(), 8, 4);  // 8 x 4, 4 x 2, 2 x 1, 1 x 1: levels 00 to 03
  WriteFile(dir / "shared.txt", AsBytes("-q base.tga detail.tga x.tga\n# a chain\n-m base.tga detail.tga out.tga\n"
                                      "base.tga detail.tga ./sub/../out03.tga\n"));
  mkdir((dir / "sub").c_str(), 0755);
  const std::pair<std::vector<std::string>, const char*> kCases[] = {
      // Found before any job runs: nothing is written.
      {{"--batch", "shared.txt"}, "ERROR: Lines 3 and 4 both write ./sub/../out03.tga\n"},
      {{"--batch"}, "ERROR: Bad value in --batch (a batch file, - for standard input)\n"},
      {{"--batch", "jobs.txt", "--shard=3/3"}, "ERROR: Bad value in --shard=3/3 (K/N with 0 <= K < N)\n"},
      {{"--batch", "jobs.txt", "--round"}, "ERROR: --round belongs on the lines of a batch, not with --batch\n"},
      {{"--batch", "jobs.txt", "out.tga"}, "ERROR: A batch takes its jobs from its file, not out.tga\n"},
      // Without --batch the batch options are unknown, as they always were.
      {{"--jobs=2", "a.tga", "b.tga", "c.tga"}, "ERROR: Unknown option --jobs\n"},
  };
  for (const auto& [args, message] : kCases) {
    const RunResult r = ::Run(args, dir.path());
    EXPECT_EQ(r.status, 255) << args.back();
    EXPECT_EQ(r.out, message);
  }
  EXPECT_FALSE(FileExists(dir / "x.tga"));
  // An empty batch succeeds, from standard input too.
  EXPECT_EQ(Shell("\"$BW\" --batch - < jobs.txt | grep -qx '0 jobs: 0 ok, 0 failed, 0 skipped'", dir.path()), 0);
}

// Two lines that write one file are refused before anything runs, however the file is named:
// a link to the other's name, a path through /proc, a file in /dev/shm, a hard link. Devices
// take any number of writers.
TEST(BatchTest, OneFileUnderTwoNamesIsRefused) {
  TempDir dir;
  WriteTestMaps(dir.path(), 4, 4);
  const std::string shm = "/dev/shm/bumpweld-batch-" + std::to_string(getpid()) + ".tga";
  WriteFile(dir / "hard1.tga", AsBytes("old"));
  ASSERT_EQ(link((dir / "hard1.tga").c_str(), (dir / "hard2.tga").c_str()), 0);
  ASSERT_EQ(symlink("q.tga", (dir / "p.tga").c_str()), 0);
  const std::pair<const char*, std::string> kCases[] = {
      {"p.tga", "q.tga"},
      {"p2.tga", "/proc/self/cwd/p2.tga"},
      {"hard1.tga", "hard2.tga"},
      {shm.c_str(), shm},
  };
  for (const auto& [first, second] : kCases) {
    WriteFile(dir / "jobs.txt", AsBytes(std::string("-Q base.tga detail.tga ") + first + "\n-Q base.tga detail.tga " + second + "\n"));
    const RunResult r = ::Run({"--batch", "jobs.txt"}, dir.path());
    EXPECT_EQ(r.status, 255) << second;
    EXPECT_EQ(r.out, "ERROR: Lines 1 and 2 both write " + second + "\n");
  }
  EXPECT_EQ(ReadFile(dir / "hard1.tga"), AsBytes("old"));
  EXPECT_FALSE(FileExists(shm) || FileExists(dir / "q.tga"));
  WriteFile(dir / "jobs.txt", AsBytes("-Q base.tga detail.tga /dev/null\n-Q base.tga detail.tga /dev/null\n"));
  EXPECT_EQ(::Run({"--batch", "jobs.txt"}, dir.path()).status, 0);
}

}  // namespace
