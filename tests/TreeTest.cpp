// Asset trees: the plan a manifest gives (as batch lines) and the problems it refuses, what the
// records rebuild and skip, and the records after a kill -9, two runs at once and a damaged
// database.
#include <sstream>
#include <sys/stat.h>

#include "TestSupport.h"

namespace {

// Suffix pairs with masks (a name with a quote in a subfolder), one shared detail map for a
// folder, and height maps. The walk takes a link to a file as the file and does not follow a
// link to a folder (assets/again -> deep).
constexpr char kGoodManifest[] = R"(output = "out"
[[root]]
path = "assets"
[[root]]
path = "shared"
[[root]]
path = "heights"
[[rule]]
root = "assets"
base = "{name}_n.tga"
second = "{name}_detail.tga"
mask = "{name}_mask.tga"
options = ["--detail-strength=0.5"]
output = "{dir}/{name}.tga"
[[rule]]
root = "shared"
base = "{name}.tga"
second = "detail.tga"
flags = "m"
output = "shared/{dir}/{name}.ktx2"
[[rule]]
root = "heights"
base = "{name}_nrm.tga"
second = "{name}_height.tga"
height_scale = 2.5
output = "h/{name}.tga"
)";

constexpr char kGoodPlan[] =
    "- assets/rock_n.tga assets/rock_detail.tga out/rock.tga --mask=assets/rock_mask.tga --detail-strength=0.5\n"
    "- 'assets/deep/it'\\''s_n.tga' 'assets/deep/it'\\''s_detail.tga' 'out/deep/it'\\''s.tga' "
    "'--mask=assets/deep/it'\\''s_mask.tga' --detail-strength=0.5\n"
    "-m shared/a.tga shared/detail.tga out/shared/a.ktx2\n"
    "-m shared/b.tga shared/detail.tga out/shared/b.ktx2\n"
    "- heights/x_nrm.tga heights/x_height.tga 2.5 out/h/x.tga\n";

// The inputs of kGoodManifest, from maps of w x h texels.
void WriteTree(const std::string& dir, int w, int h) {
  WriteTestMaps(dir, w, h);
  const std::string script =
      "mkdir -p assets/deep shared heights && cp base.tga assets/rock_n.tga && cp detail.tga assets/rock_detail.tga && "
      "cp height.tga assets/rock_mask.tga && cp base.tga \"assets/deep/it's_n.tga\" && "
      "cp detail.tga \"assets/deep/it's_detail.tga\" && cp height.tga \"assets/deep/it's_mask.tga\" && "
      "cp base.tga shared/a.tga && cp detail.tga shared/b.tga && cp detail.tga shared/detail.tga && "
      "cp base.tga heights/x_nrm.tga && cp height.tga heights/.h.tga && ln -s .h.tga heights/x_height.tga && ln -s deep assets/again";
  ASSERT_EQ(Shell(script, dir), 0);
  WriteFile(dir + "/tree.toml", AsBytes(kGoodManifest));
}

// The output files of a tree, without the records.
std::map<std::string, Bytes> TreeOutputs(const std::string& dir) {
  std::map<std::string, Bytes> files = Files(dir + "/out");
  for (const char* own : {".bumpweld.records", ".bumpweld.records-wal", ".bumpweld.records-shm"}) files.erase(own);
  return files;
}

// The lines of a run's standard output that start with `word`, sorted.
std::string LinesStarting(const std::string& out, const std::string& word) {
  std::istringstream in(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(word, 0) == 0) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(TreeTest, PlansEachLayoutAndListsEveryProblem) {
  TempDir dir;
  WriteTree(dir.path(), 4, 4);
  const std::pair<std::string, std::string> kCases[] = {
      {kGoodManifest, kGoodPlan},
      // A partner missing, a base of two rules (a file read as a partner is no base).
      {"output = \"out\"\n[[root]]\npath = \"assets\"\n[[rule]]\nbase = \"{name}_n.tga\"\nsecond = "
       "\"{name}_detail.tga\"\n"
       "output = \"{name}.tga\"\n[[rule]]\nbase = \"rock_{name}.tga\"\nsecond = \"detail.tga\"\noutput = "
       "\"x/{name}.tga\"\n",
       "ERROR: No second map for assets/rock_mask.tga: assets/detail.tga is missing (rule 2)\n"
       "ERROR: assets/rock_n.tga is a base of rules 1 and 2\n"},
      // Two jobs writing one file; an output where a rule would read it.
      {"output = \"assets\"\n[[root]]\npath = \"assets\"\n[[rule]]\nbase = \"{name}_n.tga\"\nsecond = "
       "\"{name}_detail.tga\"\n"
       "output = \"all.tga\"\n",
       "ERROR: The jobs of assets/rock_n.tga and assets/deep/it's_n.tga both write assets/all.tga\n"},
      {"output = \"assets\"\n[[root]]\npath = \"assets/deep\"\n[[rule]]\nbase = \"{name}_n.tga\"\nsecond = "
       "\"{name}_detail.tga\"\n"
       "output = \"deep/{name}_detail.tga\"\n",
       "ERROR: The output assets/deep/it's_detail.tga is inside the input root assets/deep, where rule 1 would read "
       "it\n"},
      // Manifests that are not one.
      {"output = \"out\"\n[[root]]\npath = \"assets\"\n[[rule]]\nbase = \"{name}_n.tga\"\nsecond = "
       "\"{name}_detail.tga\"\n"
       "options = [\"--rond\"]\noutput = \"{name}.tga\"\n",
       "ERROR: Rule 1: Unknown option --rond\n"},
      {"output = \"out\"\n[[root]]\npath = \"assets\"\n[[rule]]\nbase = \"n.tga\"\n",
       "ERROR: tree.toml:5:8: 'base' is a file name with one {name}, in the base's folder\n"},
      {"outptu = \"out\"\n", "ERROR: tree.toml:1:10: unknown key 'outptu'\n"},
      {"output = \"out\"\n[[rule]]\nbase = \"{name}\"\nsecond = \"s\"\noutput = \"../{name}\"\n",
       "ERROR: tree.toml:5:10: 'output' is a path under the output folder, with {dir} and {name} its only fields\n"},
      {"output = \n", "ERROR: tree.toml:1:10: Error while parsing key-value pair: expected value, saw '\\n'\n"},
  };
  for (const auto& [manifest, expected] : kCases) {
    WriteFile(dir / "tree.toml", AsBytes(manifest));
    const RunResult r = ::Run({"--tree", "tree.toml", "--plan"}, dir.path());
    EXPECT_EQ(r.out, expected) << manifest;
    EXPECT_EQ(r.status, expected.rfind("ERROR", 0) == 0 ? 255 : 0) << manifest;
    // A refused tree writes nothing.
    if (r.status != 0) {
      EXPECT_EQ(::Run({"--tree", "tree.toml"}, dir.path()).out, expected);
    }
    EXPECT_FALSE(FileExists(dir / "out"));
  }
  const std::pair<std::vector<std::string>, const char*> kCommandLines[] = {
      {{"--tree", "tree.toml", "--round"}, "ERROR: --round belongs in the options of a tree's rules, not with --tree\n"},
      {{"--tree", "tree.toml", "x.tga"}, "ERROR: A tree takes its jobs from its manifest, not x.tga\n"},
      {{"--batch", "jobs.txt", "--plan"}, "ERROR: --plan goes with --tree\n"},
      {{"--tree=tree.toml", "--batch", "jobs.txt"}, "ERROR: --batch and --tree do not go together\n"},
  };
  for (const auto& [args, message] : kCommandLines) EXPECT_EQ(::Run(args, dir.path()).out, message);
}

TEST(TreeTest, RebuildsByContentOptionsAndMasks) {
  TempDir tree, batch;
  for (const TempDir* dir : {&tree, &batch}) WriteTree(dir->path(), 24, 16);
  const auto run = [&tree] { return ::Run({"--tree", "tree.toml", "--report=report.json"}, tree.path()); };
  EXPECT_TRUE(EndsWith(run().out, "5 jobs: 5 ok, 0 failed, 0 skipped\n"));
  struct Step {
    const char* change;  // a shell command in the tree's folder
    const char* built;   // the jobs it rebuilds
  };
  const Step kSteps[] = {
      {"true", ""},
      {"touch assets/rock_mask.tga shared/detail.tga heights/*", ""},
      {"sed -i 's/height_scale = 2.5/height_scale = 3/' tree.toml", "ok out/h/x.tga\n"},
      {"cp detail.tga assets/rock_mask.tga", "ok out/rock.tga\n"},
      {"sed -i 's/flags = \"m\"/flags = \"mB\"/' tree.toml", "ok out/shared/a.ktx2\nok out/shared/b.ktx2\n"},
      {"rm out/shared/b.ktx2", "ok out/shared/b.ktx2\n"},
  };
  for (const Step& step : kSteps) {
    ASSERT_EQ(Shell(step.change, tree.path()), 0) << step.change;
    const RunResult r = run();
    EXPECT_EQ(r.status, 0) << step.change;
    EXPECT_EQ(LinesStarting(r.out, "ok "), step.built) << step.change;
    EXPECT_EQ(r.err, "") << step.change;
  }
  // A skipped job reports the files it stands for.
  ASSERT_EQ(Shell("/usr/bin/python3 -c 'import json\n"
                  "r = json.load(open(\"report.json\"))\n"
                  "assert [j[\"status\"] for j in r] == [\"skipped\"] * 3 + [\"ok\", \"skipped\"], r\n"
                  "assert r[0][\"outputs\"] == [\"out/rock.tga\"] and r[2][\"outputs\"] == [\"out/shared/a.ktx2\"], r'",
                  tree.path()),
            0);
  // Every output is the one its batch line writes.
  ASSERT_EQ(Shell("cp '" + tree.path() + "/tree.toml' . && cp '" + tree.path() +
                      "/assets/rock_mask.tga' assets && "
                      "\"$BW\" --tree tree.toml --plan > jobs.txt && mkdir -p out/deep out/shared out/h && "
                      "\"$BW\" --batch jobs.txt > /dev/null",
                  batch.path()),
            0);
  EXPECT_EQ(TreeOutputs(tree.path()), TreeOutputs(batch.path()));
}

// A tree of `count` pairs of maps.
void WriteManyPairs(const std::string& dir, int count) {
  WriteTestMaps(dir, 300, 200);
  ASSERT_EQ(Shell("mkdir -p in && for i in $(seq " + std::to_string(count) +
                      "); do cp base.tga in/m$i.n.tga; cp height.tga in/m$i.h.tga; done",
                  dir),
            0);
  WriteFile(dir + "/tree.toml",
            AsBytes("output = \"out\"\n[[root]]\npath = \"in\"\n[[rule]]\nbase = \"{name}.n.tga\"\n"
                    "second = \"{name}.h.tga\"\nheight_scale = 3\nflags = \"mq\"\noutput = \"{name}.tga\"\n"));
}

TEST(TreeTest, KilledAndConcurrentRunsLeaveTrueRecords) {
  TempDir killed, twice, clean;
  for (const TempDir* dir : {&killed, &twice, &clean}) WriteManyPairs(dir->path(), 40);
  ASSERT_EQ(::Run({"--tree", "tree.toml"}, clean.path()).status, 0);
  // kill -9 once a job has finished, while others run; two runs of one tree at once.
  ASSERT_EQ(Shell("\"$BW\" --tree tree.toml --jobs=2 > log & until grep -q ok log; do sleep 0.01; done; "
                  "kill -KILL $!; wait $!; test $? -eq 137",
                  killed.path()),
            0);
  ASSERT_EQ(Shell("\"$BW\" --tree tree.toml > log1 & \"$BW\" --tree tree.toml > log2; s=$?; wait $! && test $s -eq 0",
                  twice.path()),
            0);
  for (const TempDir* dir : {&killed, &twice}) {
    EXPECT_EQ(::Run({"--tree", "tree.toml"}, dir->path()).status, 0);
    EXPECT_EQ(TreeOutputs(dir->path()), TreeOutputs(clean.path()));
    EXPECT_FALSE(HasTemporaries(dir->path() + "/out"));
    // The records match the files: nothing is left to build, and the database is whole.
    EXPECT_TRUE(EndsWith(::Run({"--tree", "tree.toml"}, dir->path()).out, "40 jobs: 0 ok, 0 failed, 40 skipped\n"));
    EXPECT_EQ(Shell("/usr/bin/python3 -c 'import sqlite3; c = sqlite3.connect(\"out/.bumpweld.records\"); "
                    "assert c.execute(\"PRAGMA integrity_check\").fetchone()[0] == \"ok\"; "
                    "assert c.execute(\"SELECT count(*) FROM jobs\").fetchone()[0] == 40'",
                    dir->path()),
              0);
  }
}

TEST(TreeTest, WatchRebuildsTheJobsOfAChangedInput) {
  TempDir dir;
  WriteManyPairs(dir.path(), 3);
  // After the first pass, a changed height map: its job alone is built again, within seconds.
  ASSERT_EQ(Shell("\"$BW\" --tree tree.toml --watch > log & until grep -q '^3 jobs' log; do sleep 0.05; done; "
                  "cp base.tga in/m2.h.tga; for i in $(seq 100); do grep -q '1 ok' log && break; sleep 0.1; done; "
                  "kill $!; wait $!; test $? -eq 143",
                  dir.path()),
            0);
  const Bytes log = ReadFile(dir / "log");
  EXPECT_TRUE(EndsWith(std::string(log.begin(), log.end()),
                       "3 jobs: 3 ok, 0 failed, 0 skipped\nok out/m2.tga\n"
                       "3 jobs: 1 ok, 0 failed, 2 skipped\n"));
}

TEST(TreeTest, DamagedOrPlantedRecordsOnlyCostARebuild) {
  TempDir dir;
  WriteManyPairs(dir.path(), 3);
  ASSERT_EQ(Shell("mkdir out && head -c 5000 /dev/urandom > out/.bumpweld.records && echo keep > victim", dir.path()),
            0);
  RunResult r = ::Run({"--tree", "tree.toml"}, dir.path());
  EXPECT_EQ(r.err,
            "Warning! The records out/.bumpweld.records are damaged: every job is built and the records made anew\n");
  EXPECT_TRUE(EndsWith(r.out, "3 jobs: 3 ok, 0 failed, 0 skipped\n"));
  EXPECT_TRUE(EndsWith(::Run({"--tree", "tree.toml"}, dir.path()).out, "3 jobs: 0 ok, 0 failed, 3 skipped\n"));
  // A link at the database's name is never followed: its target stays as it was.
  ASSERT_EQ(Shell("rm out/.bumpweld.records* && ln -s ../victim out/.bumpweld.records", dir.path()), 0);
  r = ::Run({"--tree", "tree.toml"}, dir.path());
  EXPECT_EQ(r.err, "Warning! Left out/.bumpweld.records alone: not a regular file; no records are kept there\n");
  EXPECT_TRUE(EndsWith(r.out, "3 jobs: 3 ok, 0 failed, 0 skipped\n"));
  EXPECT_EQ(ReadFile(dir / "victim"), AsBytes("keep\n"));
}

}  // namespace
