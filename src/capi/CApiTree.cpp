// The C interface to asset trees (bumpweld/bumpweld.h): a manifest's plan, the records that say
// which of its jobs are up to date, and recording the jobs a caller ran. Not in the WebAssembly
// module, which has no folders to walk.
#include <bumpweld/bumpweld.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "CommandParser.h"
#include "Records.h"
#include "TreePlan.h"

struct bw_tree {
  BwTreePlan plan;
  std::string error;
  std::vector<std::string> lines;
  std::unique_ptr<BwRecords> records;
  // Each job's digest (from bw_tree_up_to_date) and the files a skipped job stands for.
  std::vector<std::string> digests;
  std::vector<std::vector<std::string>> outputs;
  std::string warnings;  // the records' warnings so far, a line each
};

namespace {

bool Valid(const bw_tree* tree, int job) { return tree && job >= 0 && size_t(job) < tree->plan.jobs.size(); }

BwCommand Command(const bw_tree* tree, int job) { return BwParseCommand(tree->plan.jobs[size_t(job)].args); }

}  // namespace

bw_tree* bw_tree_plan(const char* manifest) {
  try {
    auto tree = std::make_unique<bw_tree>();
    if (!manifest) {
      tree->error = "ERROR: No manifest";
      return tree.release();
    }
    if (!BwPlanTree(manifest, &tree->plan, &tree->error) || !tree->plan.problems.empty()) {
      for (const std::string& problem : tree->plan.problems) tree->error += (tree->error.empty() ? "" : "\n") + problem;
      tree->plan.jobs.clear();
      return tree.release();
    }
    for (const BwTreeJob& job : tree->plan.jobs) tree->lines.push_back(BwJoinBatchLine(job.args));
    tree->digests.resize(tree->plan.jobs.size());
    tree->outputs.resize(tree->plan.jobs.size());
    return tree.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void bw_tree_free(bw_tree* tree) { delete tree; }

const char* bw_tree_error(const bw_tree* tree) { return tree ? tree->error.c_str() : "ERROR: No tree"; }

int bw_tree_job_count(const bw_tree* tree) { return tree ? int(tree->plan.jobs.size()) : 0; }

int bw_tree_word_count(const bw_tree* tree, int job) {
  return Valid(tree, job) ? int(tree->plan.jobs[size_t(job)].args.size()) : 0;
}

const char* bw_tree_word(const bw_tree* tree, int job, int word) {
  if (!Valid(tree, job) || word < 0 || size_t(word) >= tree->plan.jobs[size_t(job)].args.size()) return nullptr;
  return tree->plan.jobs[size_t(job)].args[size_t(word)].c_str();
}

const char* bw_tree_line(const bw_tree* tree, int job) {
  return Valid(tree, job) ? tree->lines[size_t(job)].c_str() : nullptr;
}

int bw_tree_make_folders(bw_tree* tree) {
  if (!tree) return BW_ERROR_ARGUMENT;
  try {
    return BwMakeTreeFolders(tree->plan, &tree->error) ? BW_OK : BW_ERROR_WRITE;
  } catch (const std::bad_alloc&) {
    return BW_ERROR_MEMORY;
  }
}

int bw_tree_up_to_date(bw_tree* tree, int job) {
  if (!Valid(tree, job)) return 0;
  try {
    const BwCommand command = Command(tree, job);
    std::string& digest = tree->digests[size_t(job)];
    std::vector<std::string>& outputs = tree->outputs[size_t(job)];
    outputs.clear();
    // Opened when first asked: the output root may be made by bw_tree_make_folders.
    if (!tree->records) tree->records = std::make_unique<BwRecords>(tree->plan.outputRoot);
    if (tree->records->UpToDate(command, &digest, &outputs)) return 1;
    outputs.clear();
    // Taken now, before the caller runs the job, so that an input changed meanwhile leaves the
    // record stale rather than wrong.
    if (digest.empty()) digest = tree->records->JobDigest(command, true);
    return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int bw_tree_output_count(const bw_tree* tree, int job) {
  return Valid(tree, job) ? int(tree->outputs[size_t(job)].size()) : 0;
}

const char* bw_tree_output(const bw_tree* tree, int job, int index) {
  if (!Valid(tree, job) || index < 0 || size_t(index) >= tree->outputs[size_t(job)].size()) return nullptr;
  return tree->outputs[size_t(job)][size_t(index)].c_str();
}

int bw_tree_record(bw_tree* tree, int job, int count, const char* const* outputs) {
  if (!Valid(tree, job) || count < 0 || (count > 0 && !outputs)) return BW_ERROR_ARGUMENT;
  try {
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i) {
      if (!outputs[i]) return BW_ERROR_ARGUMENT;
      files.push_back(outputs[i]);
    }
    if (tree->records) tree->records->Store(Command(tree, job), tree->digests[size_t(job)], files);
    return BW_OK;
  } catch (const std::bad_alloc&) {
    return BW_ERROR_MEMORY;
  }
}

const char* bw_tree_finish(bw_tree* tree) {
  if (!tree) return "";
  if (tree->records) {
    tree->records->Flush();
    for (const std::string& warning : tree->records->Warnings()) tree->warnings += warning + "\n";
  }
  return tree->warnings.c_str();
}
