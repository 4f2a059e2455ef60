// The plan of an asset tree: the manifest read with toml++, the folders under the roots walked,
// the rules' pairs made into command lines, and the problems found on the way; see TreePlan.h.
#include "TreePlan.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

// The parser comes as headers only (its shared library would bring a second C++ runtime into the
// executable, which carries its own), without exceptions: a bad manifest is a value.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "BwArray.h"
#include "CommandParser.h"

namespace {

constexpr char kName[] = "{name}";
constexpr char kDir[] = "{dir}";

struct Rule {
  int number = 0;    // from 1
  std::string root;  // the one root it applies under ("" : every root)
  std::string base, second, mask, output, flags;
  std::string scale;  // the height scale as the job's word, "" for a normal map
  std::vector<std::string> options;
};

// `a`/`b`, where an absolute `b` or an empty or "." `a` leaves `b` alone.
std::string Join(const std::string& a, const std::string& b) {
  if (b.empty()) return a;
  if (a.empty() || a == "." || b[0] == '/') return b;
  return a.back() == '/' ? a + b : a + "/" + b;
}

// The parts of a path between its slashes, the empty and "." ones left out.
std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    if (end > at && path.compare(at, end - at, ".") != 0) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

// A path with its empty and "." parts dropped ("a//./b/" is "a/b").
std::string Tidy(const std::string& path) {
  std::string tidy = !path.empty() && path[0] == '/' ? "/" : "";
  for (const std::string& part : Parts(path)) tidy += (tidy.empty() || tidy.back() == '/' ? "" : "/") + part;
  return tidy.empty() ? "." : tidy;
}

// The absolute form of a path, by its text: the working folder before a relative one, "." and
// ".." parts resolved (links are not looked at: the outputs may not exist yet).
std::string Absolute(const std::string& path, const std::string& cwd) {
  std::vector<std::string> parts;
  for (std::string& part : Parts(!path.empty() && path[0] == '/' ? path : Join(cwd, path))) {
    if (part != "..")
      parts.push_back(std::move(part));
    else if (!parts.empty())
      parts.pop_back();
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

// Whether a file name fits a pattern; *name is what {name} stands for there (never empty). A
// pattern without {name} fits only its own text.
bool Fits(const std::string& pattern, const std::string& file, std::string* name) {
  const size_t at = pattern.find(kName);
  if (at == std::string::npos) {
    name->clear();
    return file == pattern;
  }
  const size_t tail = pattern.size() - at - (sizeof kName - 1);
  if (file.size() <= at + tail || file.compare(0, at, pattern, 0, at) != 0 ||
      file.compare(file.size() - tail, tail, pattern, pattern.size() - tail, tail) != 0)
    return false;
  *name = file.substr(at, file.size() - at - tail);
  return true;
}

// Reads the manifest's text; false with a message.
bool ReadManifest(const std::string& path, std::string* text, std::string* error) {
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (!fp) {
    *error = "ERROR: Unable to open " + path;
    return false;
  }
  std::vector<unsigned char> bytes;
  const bool read = BwReadUpTo(fp, &bytes, BW_TREE_MAX_MANIFEST_BYTES + 1);
  std::fclose(fp);
  if (bytes.size() > BW_TREE_MAX_MANIFEST_BYTES) {
    *error = "ERROR: The manifest " + path + " is larger than 1 MiB";
    return false;
  }
  if (!read) {
    *error = "ERROR: Unable to read " + path;
    return false;
  }
  text->assign(bytes.begin(), bytes.end());
  return true;
}

// Reads the manifest's tables into the roots, the output root and the rules.
class ManifestReader {
 public:
  explicit ManifestReader(std::string path) : path_(std::move(path)) {}

  bool Read(const toml::table& top, BwTreePlan* plan, std::vector<Rule>* rules, std::string* error) {
    for (const auto& [key, node] : top) {
      if (key == "output") {
        if (!String(node, "output", &plan->outputRoot)) break;
      } else if (key == "root" || key == "rule") {
        const toml::array* tables = node.as_array();
        if (!tables || !tables->is_array_of_tables()) {
          Fail(node, "'" + std::string(key.str()) + "' is a list of tables ([[" + std::string(key.str()) + "]])");
          break;
        }
        for (const toml::node& table : *tables) {
          if (key == "root" ? !ReadRoot(*table.as_table(), plan) : !ReadRule(*table.as_table(), rules)) break;
        }
      } else {
        Fail(node, "unknown key '" + std::string(key.str()) + "'");
      }
      if (!error_.empty()) break;
    }
    if (error_.empty() && plan->roots.empty()) error_ = path_ + ": no [[root]]";
    if (error_.empty() && rules->empty()) error_ = path_ + ": no [[rule]]";
    if (error_.empty() && plan->outputRoot.empty()) error_ = path_ + ": no output folder (output = \"...\")";
    for (const Rule& rule : *rules)
      if (error_.empty() && !rule.root.empty() &&
          std::find(plan->roots.begin(), plan->roots.end(), rule.root) == plan->roots.end())
        error_ = path_ + ": rule " + std::to_string(rule.number) + " names the root '" + rule.root +
                 "', which no [[root]] has";
    if (!error_.empty()) *error = "ERROR: " + error_;
    return error_.empty();
  }

 private:
  void Fail(const toml::node& node, const std::string& message) {
    const toml::source_position at = node.source().begin;
    error_ = path_ + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " + message;
  }

  bool String(const toml::node& node, const std::string& key, std::string* value) {
    const std::optional<std::string> text = node.value_exact<std::string>();
    if (!text || text->empty() || text->find('\0') != std::string::npos) {
      Fail(node, "'" + key + "' is a text that is not empty");
      return false;
    }
    *value = *text;
    return true;
  }

  // A pattern of file names: no folder, at most one {name} (exactly one when `named`).
  bool Pattern(const toml::node& node, const std::string& key, bool named, std::string* value) {
    if (!String(node, key, value)) return false;
    const size_t names = Count(*value, kName);
    if (value->find('/') != std::string::npos || names > 1 || (named && names == 0) || *value == "." ||
        *value == "..") {
      Fail(node, "'" + key + "' is a file name " + (named ? "with one {name}" : "with at most one {name}") +
                     ", in the base's folder");
      return false;
    }
    return true;
  }

  bool ReadRoot(const toml::table& table, BwTreePlan* plan) {
    std::string path;
    for (const auto& [key, node] : table) {
      if (key != "path") {
        Fail(node, "unknown key '" + std::string(key.str()) + "' in a [[root]]");
        return false;
      }
      if (!String(node, "path", &path)) return false;
    }
    if (path.empty()) {
      Fail(table, "a [[root]] without its path");
      return false;
    }
    plan->roots.push_back(path);
    return true;
  }

  bool ReadRule(const toml::table& table, std::vector<Rule>* rules) {
    Rule rule;
    rule.number = int(rules->size()) + 1;
    for (const auto& [key, node] : table) {
      bool ok = true;
      if (key == "base") {
        ok = Pattern(node, "base", true, &rule.base);
      } else if (key == "root") {
        ok = String(node, "root", &rule.root);
      } else if (key == "second") {
        ok = Pattern(node, "second", false, &rule.second);
      } else if (key == "mask") {
        ok = Pattern(node, "mask", false, &rule.mask);
      } else if (key == "flags") {
        const std::optional<std::string> flags = node.value_exact<std::string>();
        ok = flags.has_value();
        if (ok)
          rule.flags = *flags;
        else
          Fail(node, "'flags' is a text, the flag word");
      } else if (key == "height_scale") {
        const std::optional<double> scale = node.value<double>();
        ok = scale.has_value() && node.is_number();
        if (ok) {
          char text[64];
          const std::to_chars_result written = std::to_chars(text, text + sizeof text, *scale);
          rule.scale.assign(text, written.ptr);
        } else {
          Fail(node, "'height_scale' is a number");
        }
      } else if (key == "options") {
        const toml::array* options = node.as_array();
        ok = options != nullptr;
        for (size_t i = 0; ok && i < options->size(); ++i) {
          std::string option;
          ok = String(*options->get(i), "options", &option);
          rule.options.push_back(option);
        }
        if (!options) Fail(node, "'options' is a list of long options");
      } else if (key == "output") {
        ok = String(node, "output", &rule.output) && Output(node, rule.output);
      } else {
        Fail(node, "unknown key '" + std::string(key.str()) + "' in a [[rule]]");
        return false;
      }
      if (!ok) return false;
    }
    for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"base", &rule.base},
                                     {"second", &rule.second},
                                     {"output", &rule.output}})
      if (value->empty()) {
        Fail(table, "a [[rule]] without its " + std::string(key));
        return false;
      }
    rules->push_back(rule);
    return true;
  }

  // An output template stays under the output root and holds only {dir} and {name}.
  bool Output(const toml::node& node, const std::string& output) {
    const std::string bare = Replace(Replace(output, kName, ""), kDir, "");
    bool ok = output[0] != '/' && bare.find_first_of("{}") == std::string::npos;
    for (size_t at = 0; ok && at <= output.size();) {
      const size_t end = std::min(output.find('/', at), output.size());
      ok = output.compare(at, end - at, "..") != 0;
      at = end + 1;
    }
    if (!ok) Fail(node, "'output' is a path under the output folder, with {dir} and {name} its only fields");
    return ok;
  }

  std::string path_;
  std::string error_;
};

// One folder's files, matched against the rules.
struct Folder {
  std::string manifestRoot;  // the root as the manifest names it
  std::string root;          // the root's path as the jobs name it
  std::string dir;           // the folder under the root ("" : the root itself)
  std::vector<std::string> files;
};

class Planner {
 public:
  Planner(BwTreePlan* plan, const std::vector<Rule>& rules) : plan_(*plan), rules_(rules) {}

  void Walk(const std::string& manifestRoot, const std::string& root, const std::string& dir) {
    const std::string path = Join(root, dir);
    DIR* folder = opendir(path.c_str());
    if (!folder) {
      Problem("Unable to read the folder " + path + ": " + std::strerror(errno));
      return;
    }
    plan_.folders.push_back(path);
    // Names with the kinds the folder gives (most file systems do), so that only links and
    // names of unknown kind are looked up one by one.
    std::vector<std::pair<std::string, unsigned char>> names;
    while (const dirent* entry = readdir(folder))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name, entry->d_type);  // hidden: records, temporaries
    closedir(folder);
    std::sort(names.begin(), names.end());
    Folder files{manifestRoot, root, dir, {}};
    std::vector<std::string> folders;
    for (const auto& [name, type] : names) {
      const std::string file = Join(path, name);
      struct stat info;
      unsigned char kind = type;
      if (kind == DT_UNKNOWN && lstat(file.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) kind = DT_DIR;
        if (S_ISREG(info.st_mode)) kind = DT_REG;
        if (S_ISLNK(info.st_mode)) kind = DT_LNK;
      }
      // A link to a file counts as that file; a link to a folder is not followed.
      if (kind == DT_LNK && stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) kind = DT_REG;
      if (kind == DT_DIR)
        folders.push_back(Join(dir, name));
      else if (kind == DT_REG)
        files.files.push_back(name);
    }
    Match(files);
    for (const std::string& sub : folders) Walk(manifestRoot, root, sub);
  }

  // The jobs' options, two jobs writing one file (by the names' text: the batch's own check
  // compares the files themselves before anything runs), outputs where a rule would read them.
  void Check() {
    char folder[4096];
    const std::string cwd = getcwd(folder, sizeof folder) ? folder : "/";
    std::map<std::string, const std::string*> writers;  // output path -> the base of its job
    std::vector<std::pair<std::string, std::string>> rootsAbsolute;
    for (const std::string& root : plan_.roots) rootsAbsolute.emplace_back(Absolute(root, cwd), root);
    std::set<int> refused;
    for (size_t j = 0; j < plan_.jobs.size(); ++j) {
      const BwTreeJob& job = plan_.jobs[j];
      const BwCommand command = BwParseCommand(job.args);
      if (command.outcome != BwCommand::RUN) {
        if (refused.insert(job.rule).second)
          Problem("Rule " + std::to_string(job.rule) + ": " + Unprefixed(BwCommandRefusal(command)));
        continue;
      }
      const std::string& output = command.Output();
      const std::string absolute = Absolute(output, cwd);
      const auto [first, fresh] = writers.emplace(absolute, &bases_[j]);
      if (!fresh) Problem("The jobs of " + *first->second + " and " + bases_[j] + " both write " + output);
      // An output where a rule would take it for an input of a later run.
      const std::string name = absolute.substr(absolute.rfind('/') + 1);
      for (const auto& [root, spelled] : rootsAbsolute) {
        if (absolute.compare(0, root.size() + 1, root + "/") != 0) continue;
        for (const Rule& rule : rules_) {
          std::string ignored;
          if (Fits(rule.base, name, &ignored) || Fits(rule.second, name, &ignored) ||
              (!rule.mask.empty() && Fits(rule.mask, name, &ignored))) {
            Problem("The output " + output + " is inside the input root " + spelled + ", where rule " +
                    std::to_string(rule.number) + " would read it");
            break;
          }
        }
      }
    }
  }

 private:
  static std::string Unprefixed(const std::string& message) {
    return message.compare(0, 7, "ERROR: ") == 0 ? message.substr(7) : message;
  }

  void Problem(const std::string& text) { plan_.problems.push_back("ERROR: " + text); }

  // The jobs of one folder: each base with its partners, a file read as a partner never taken
  // for a base, and a base of two rules refused.
  void Match(const Folder& folder) {
    struct Candidate {
      const Rule* rule;
      std::string file, name;
    };
    std::vector<Candidate> candidates;
    std::set<std::string> partners;
    const std::set<std::string> present(folder.files.begin(), folder.files.end());
    for (const std::string& file : folder.files)
      for (const Rule& rule : rules_) {
        std::string name;
        if ((!rule.root.empty() && rule.root != folder.manifestRoot) || !Fits(rule.base, file, &name)) continue;
        candidates.push_back({&rule, file, name});
        for (const std::string* partner : {&rule.second, &rule.mask}) {
          const std::string named = Replace(*partner, kName, name);
          if (!partner->empty() && present.count(named)) partners.insert(named);
        }
      }
    const std::string path = Join(folder.root, folder.dir);
    std::map<std::string, int> baseOf;  // file -> the rule it is a base of
    for (const Candidate& c : candidates) {
      if (partners.count(c.file)) continue;
      const std::string base = Join(path, c.file);
      const auto [first, fresh] = baseOf.emplace(c.file, c.rule->number);
      if (!fresh) {
        Problem(base + " is a base of rules " + std::to_string(first->second) + " and " +
                std::to_string(c.rule->number));
        continue;
      }
      const std::string second = Replace(c.rule->second, kName, c.name);
      const std::string mask = Replace(c.rule->mask, kName, c.name);
      bool complete = true;
      for (const auto& [what, partner] :
           {std::pair<const char*, const std::string*>{"second map", &second}, {"mask", &mask}})
        if (!partner->empty() && !present.count(*partner)) {
          Problem("No " + std::string(what) + " for " + base + ": " + Join(path, *partner) + " is missing (rule " +
                  std::to_string(c.rule->number) + ")");
          complete = false;
        }
      if (!complete) continue;
      BwTreeJob job;
      job.rule = c.rule->number;
      // The flag word always comes first, so that a base named with a '-' is never taken for one.
      job.args.push_back("-" + (c.rule->flags.rfind('-', 0) == 0 ? c.rule->flags.substr(1) : c.rule->flags));
      job.args.push_back(base);
      job.args.push_back(Join(path, second));
      if (!c.rule->scale.empty()) job.args.push_back(c.rule->scale);
      // An empty {dir} leaves a leading '/', which does not make the path absolute.
      const std::string output = Tidy("./" + Replace(Replace(c.rule->output, kDir, folder.dir), kName, c.name));
      job.args.push_back(Join(plan_.outputRoot, output));
      if (!mask.empty()) job.args.push_back("--mask=" + Join(path, mask));
      job.args.insert(job.args.end(), c.rule->options.begin(), c.rule->options.end());
      if (BwJoinBatchLine(job.args).empty()) {
        Problem("The name " + base + " has a line break: no batch line can hold it");
        continue;
      }
      plan_.jobs.push_back(std::move(job));
      bases_.push_back(base);
    }
  }

  BwTreePlan& plan_;
  const std::vector<Rule>& rules_;
  std::vector<std::string> bases_;  // each job's base
};

}  // namespace

bool BwPlanTree(const std::string& manifest, BwTreePlan* plan, std::string* error) {
  *plan = BwTreePlan();
  std::string text;
  if (!ReadManifest(manifest, &text, error)) return false;
  const toml::parse_result parsed = toml::parse(text, manifest);
  if (!parsed) {
    const toml::parse_error& fault = parsed.error();
    *error = "ERROR: " + manifest + ":" + std::to_string(fault.source().begin.line) + ":" +
             std::to_string(fault.source().begin.column) + ": " + std::string(fault.description());
    return false;
  }
  std::vector<Rule> rules;
  if (!ManifestReader(manifest).Read(parsed.table(), plan, &rules, error)) return false;
  // Paths in the manifest are taken from its own folder.
  const size_t slash = manifest.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : manifest.substr(0, slash + 1);
  plan->outputRoot = Tidy(Join(folder, plan->outputRoot));
  Planner planner(plan, rules);
  for (std::string& root : plan->roots) {
    const std::string named = root;
    root = Tidy(Join(folder, root));
    planner.Walk(named, root, "");
  }
  planner.Check();
  return true;
}

bool BwMakeTreeFolders(const BwTreePlan& plan, std::string* error) {
  std::set<std::string> made;
  for (const BwTreeJob& job : plan.jobs) {
    const BwCommand command = BwParseCommand(job.args);
    if (command.outcome != BwCommand::RUN) continue;
    const std::string& output = command.Output();
    for (size_t at = output.find('/', 1); at != std::string::npos; at = output.find('/', at + 1)) {
      const std::string folder = output.substr(0, at);
      if (!made.insert(folder).second) continue;
      if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        *error = "ERROR: Unable to make the folder " + folder;
        return false;
      }
    }
  }
  return true;
}
