// Asset trees: a manifest (TOML) names input roots, rules that pair the files found under them by
// pattern, and where each pair's output goes; the plan is every job those rules give, as the
// command lines a batch would run, with every problem that keeps the tree from running.
//
// The manifest (paths relative to the manifest's folder; see README, "Asset trees"):
//
//   output = "build/textures"          # the output root; the records of what was built live here
//   [[root]]
//   path = "assets"
//   [[rule]]
//   root = "assets"                    # optional: the rule applies under this root only
//   base = "{name}_n.png"              # a file name pattern with one {name}
//   second = "{name}_detail.png"       # the partner in the same folder; without {name}: one
//                                      # file shared by every base of the folder
//   height_scale = 2.5                 # optional: the second map is a height map
//   mask = "{name}_mask.png"           # optional, as second
//   flags = "m"                        # optional flag word
//   options = ["--format=bc5"]         # optional long options of the job
//   output = "{dir}/{name}.ktx2"       # under the output root; {dir} the base's folder under its root
//
// Reads the manifest (at most BW_TREE_MAX_MANIFEST_BYTES) and the names in the folders under the
// roots; opens no image and writes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint64_t BW_TREE_MAX_MANIFEST_BYTES = uint64_t(1) << 20;

struct BwTreeJob {
  int rule = 0;                   // the rule that made it, from 1 as the manifest lists them
  std::vector<std::string> args;  // the job's command line, without the program name
};

struct BwTreePlan {
  std::string outputRoot;             // the folder of the outputs and of the records
  std::vector<std::string> roots;     // the input roots
  std::vector<BwTreeJob> jobs;        // in the order of the roots, folders, names and rules
  std::vector<std::string> folders;   // every folder the walk read (those a watch looks at)
  std::vector<std::string> problems;  // each one line, "ERROR: ..."; the tree runs only without any
};

// Reads the manifest and plans the tree. False with *error for a manifest that cannot be read
// or is not one (a TOML error with its line and column, an unknown key, a value of the wrong
// kind); true otherwise, with the problems of the plan in plan->problems.
bool BwPlanTree(const std::string& manifest, BwTreePlan* plan, std::string* error);

// Makes the folders the jobs' outputs go into (as mkdir -p). False with *error naming the one
// that could not be made.
bool BwMakeTreeFolders(const BwTreePlan& plan, std::string* error);
