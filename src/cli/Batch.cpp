// Batches of command lines run as concurrent jobs of this process; see Batch.h.
#include "Batch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "BwArray.h"
#include "CommandParser.h"
#include "ImageProbe.h"
#include "Outputs.h"
#include "OutputFile.h"
#include "Parallel.h"
#include "Records.h"
#include "Signals.h"
#include "TreePlan.h"

const char kBwBatchUsage[] =
    "Usage: bumpweld --batch FILE [batch options]   (FILE '-': standard input)\n"
    "  One job per line: the arguments of one command line, split as a shell splits them.\n"
    "  --jobs=N              run at most N jobs at once (default: four per CPU, at most 48)\n"
    "  --report=FILE         write a JSON report of every job\n"
    "  --shard=K/N           run only the jobs i with i mod N = K (jobs counted from 0)\n"
    "  --skip-up-to-date     skip a job whose outputs are those recorded from the same inputs' contents,\n"
    "                        options and version\n"
    "  --fail-fast           start no new job after the first failure\n"
    "  --verbose             print each job's console text instead of one line a job\n"
    "  --memory=MIB          memory the jobs in flight may use (default: 4/5 of what is available)\n"
    "Trees: bumpweld --tree MANIFEST [--plan | --watch] [batch options]: the jobs of a manifest's\n"
    "  rules, each skipped while its recorded inputs, options and version are unchanged; --plan\n"
    "  prints them as batch lines and runs nothing; --watch runs again as inputs change\n";

namespace {

using Clock = std::chrono::steady_clock;

// A whole number in [low, high], all of `text`.
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const uint64_t v = std::strtoull(text.c_str(), nullptr, 10);
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

enum class Status { PENDING, RUNNING, OK, FAILED, SKIPPED };

struct BatchJob {
  int line = 0;  // in the batch file, from 1
  std::vector<std::string> args;
  BwCommand command;
  std::string label;  // the output name as typed, or the line's last word
  // The plan, made when the job comes up.
  bool planned = false;
  bool estimated = false;  // the second map's reader is in memoryBytes
  uint64_t texels = 0;
  uint64_t memoryBytes = 0;
  std::vector<std::string> levels;  // the files it writes, when its base map's size is known
  // The outcome.
  Status status = Status::PENDING;
  std::string message;
  std::string console;
  double seconds = 0.0;
  std::vector<std::string> written;
  std::vector<BwLevelStats> stats;  // with --stats, each level's angle error
  bool alone = false;  // runs with nothing else in flight
  // With records: where they are kept, and the hash of what the outputs are made from.
  BwRecords* records = nullptr;
  std::string digest;
};

// Runs one parsed job with `threads` threads (unless its line sets them), capturing its console.
void RunJob(BatchJob* job, int threads) {
  const Clock::time_point start = Clock::now();
  const BwCommand& command = job->command;
  BwSettings settings = command.settings;
  if (settings.threads == 0) settings.threads = threads;
  // Inputs are read, not mapped: a mapped file cut short by another process would end the
  // whole batch through SIGBUS, where a read ends only its own job.
  settings.mapInputs = false;
  std::string* console = &job->console;
  BwConsole out(settings.quiet, [console](int, const char* text, size_t length) { console->append(text, length); });
  // The inputs are hashed before the run, so that one changed meanwhile leaves a stale record.
  // A job without a digest yet had no record that matched: its inputs are likely new.
  if (job->records && job->digest.empty()) job->digest = job->records->JobDigest(command, true);
  const auto output = BwFileOutput(command.Output(), BwSignalObserver(), &job->written);
  std::string error;
  const bool ok = BwRunCommand(command, settings, out, *output, &error, nullptr, &job->stats);
  job->status = ok ? Status::OK : Status::FAILED;
  job->message = error;
  // Recorded here, on the job's thread: a commit's wait for the disk holds up no other job.
  if (ok && job->records) job->records->Store(command, job->digest, job->written);
  job->seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads the whole batch file; false with a message.
bool ReadBatchFile(const std::string& name, std::string* text, std::string* error) {
  FILE* fp = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!fp) {
    *error = "ERROR: Unable to open " + name;
    return false;
  }
  char buffer[1 << 16];
  bool ok = true;
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, fp)) > 0;) {
    if (text->size() + n > BW_BATCH_MAX_BYTES) {
      *error = "ERROR: The batch file " + name + " is larger than 256 MiB";
      ok = false;
      break;
    }
    text->append(buffer, n);
  }
  if (ok && std::ferror(fp)) {
    *error = "ERROR: Unable to read " + name;
    ok = false;
  }
  if (fp != stdin) std::fclose(fp);
  return ok;
}

// A job from the words of one line; a line that is not a command line becomes a failed job
// with the text the command line prints for it.
BatchJob MakeJob(std::vector<std::string> words) {
  BatchJob job;
  job.args = std::move(words);
  job.command = BwParseCommand(job.args);
  BwCommand& command = job.command;
  job.label = command.outcome == BwCommand::RUN ? command.Output()
              : !command.words.empty() ? command.words.back() : job.args.back();
  job.message = BwCommandRefusal(command);
  // A wrong number of arguments shows the whole usage text in the job's console.
  if (command.outcome == BwCommand::USAGE) job.console = command.message;
  if (command.outcome != BwCommand::RUN) {
    job.status = Status::FAILED;
    if (job.console.empty()) job.console = job.message + "\n";
  }
  return job;
}

// The size, memory estimate and output names of a job, from its inputs' headers.
// The memory estimate is finished by Estimate when the job is about to run (a job skipped as up
// to date never reads its second map's header).
void Plan(BatchJob* job) {
  job->planned = true;
  const BwSettings& settings = job->command.settings;
  BwImageProbe base;
  const bool known = BwProbeImageFile(job->command.Base(), &base);
  job->texels = uint64_t(base.width) * uint64_t(base.height);
  // Whole float images: the merged image (12 bytes a texel) and the dilation's lists; a second
  // full image for the box filter, a quarter one for the first mip level.
  const uint64_t texelBytes = 16 + (settings.boxFilter ? 12 : settings.mipLevels != 0 ? 4 : 0);
  job->memoryBytes = base.readerBytes + job->texels * texelBytes + (uint64_t(16) << 20);
  if (known) job->levels = BwOutputFileNames(job->command.Output(), settings.mipLevels != 0, base.width, base.height);
}

// Adds the second map's reader to a planned job's memory estimate.
void Estimate(BatchJob* job) {
  BwImageProbe second;
  BwProbeImageFile(job->command.Second(), &second);
  job->memoryBytes += second.readerBytes;
}

// "" when no two jobs write the same file, else the refusal naming both lines. Jobs whose base
// map cannot be probed yet (an earlier job may make it) are checked by their first level's name
// and planned again when they come up.
std::string SharedOutput(std::vector<BatchJob>* jobs, const char* what) {
  std::map<std::string, const BatchJob*> writers;
  for (BatchJob& job : *jobs) {
    if (job.status == Status::FAILED) continue;  // not a command line
    Plan(&job);
    std::vector<std::string> names = job.levels;
    if (names.empty()) {
      job.planned = false;
      names = BwOutputFileNames(job.command.Output(), job.command.settings.mipLevels != 0, 1, 1);
    }
    for (const std::string& name : names) {
      // Devices and the process's own descriptors take any number of writers.
      const std::string key = BwOutputKey(name.c_str());
      if (key.empty()) continue;
      const auto [first, fresh] = writers.emplace(key, &job);
      if (!fresh)
        return "ERROR: " + std::string(what) + " " + std::to_string(first->second->line) + " and " +
               std::to_string(job.line) + " both write " + name;
    }
  }
  return "";
}

// 4/5 of the memory the system can give without swapping.
uint64_t MemoryBudget() { return BwAvailableMemory() / 5 * 4; }

// A string as JSON text. Bytes that are not UTF-8 are written as the escapes \udc80 to
// \udcff, the way Python keeps undecodable bytes of file names, so os.fsencode gives them back.
void AppendJsonString(std::string* json, const std::string& text) {
  *json += '"';
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char escape[8];
    if (c == '"' || c == '\\') {
      *json += '\\';
      *json += char(c);
      ++i;
      continue;
    }
    if (c < 0x20) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      *json += escape;
      ++i;
      continue;
    }
    // The length of a well-formed UTF-8 sequence starting here (no overlongs, no surrogates).
    size_t length = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (length > 1) {
      if (i + length > text.size()) length = 0;
      for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) length = 0;
      const unsigned char c1 = length ? static_cast<unsigned char>(text[i + 1]) : 0;
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
        length = 0;
    }
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\udc%02x", c);
      *json += escape;
      ++i;
      continue;
    }
    json->append(text, i, length);
    i += length;
  }
  *json += '"';
}

const char* StatusName(Status status) {
  return status == Status::OK ? "ok" : status == Status::FAILED ? "failed" : "skipped";
}

std::string JsonReport(const std::vector<BatchJob>& jobs) {
  std::string json = "[";
  for (size_t j = 0; j < jobs.size(); ++j) {
    const BatchJob& job = jobs[j];
    json += j ? ",\n {\"args\": [" : "\n {\"args\": [";
    for (size_t a = 0; a < job.args.size(); ++a) {
      if (a) json += ", ";
      AppendJsonString(&json, job.args[a]);
    }
    json += "], \"status\": \"";
    json += StatusName(job.status);
    json += "\", \"message\": ";
    AppendJsonString(&json, job.message);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", job.seconds);
    json += ", \"seconds\": " + std::string(seconds) + ", \"outputs\": [";
    for (size_t o = 0; o < job.written.size(); ++o) {
      if (o) json += ", ";
      AppendJsonString(&json, job.written[o]);
    }
    json += "]";
    // The angle error of each level, for the jobs with --stats.
    if (job.command.settings.stats) {
      json += ", \"stats\": [";
      for (size_t l = 0; l < job.stats.size(); ++l) {
        char level[128];
        std::snprintf(level, sizeof level, "%s{\"level\": %d, \"mean\": %.3f, \"p99\": %.3f, \"max\": %.3f}",
                      l ? ", " : "", job.stats[l].level, job.stats[l].mean, job.stats[l].p99, job.stats[l].max);
        json += level;
      }
      json += "]";
    }
    json += "}";
  }
  json += jobs.empty() ? "]\n" : "\n]\n";
  return json;
}

// The line printed for a finished job.
std::string JobLine(const BatchJob& job) {
  if (job.status == Status::OK) return "ok " + job.label + "\n";
  return (job.status == Status::FAILED ? "FAILED " : "skipped ") + job.label + ": " + job.message + "\n";
}

void Print(const std::string& text, FILE* stream = stdout) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The batch in flight: the jobs, what runs, and what the console shows.
class Scheduler {
 public:
  Scheduler(std::vector<BatchJob>* jobs, const BwBatchOptions& options, BwRecordBook* records, bool quietSkips)
      : jobs_(*jobs),
        options_(options),
        records_(records),
        quietSkips_(quietSkips),
        start_(Clock::now()) {
    cpus_ = std::max(1, BwThreadCount());
    // Every output is synced to disk before it is put in place, so a small job spends much of
    // its time waiting for the disk: four jobs a CPU keep the CPUs busy meanwhile.
    slots_ = std::min(options.jobs > 0 ? options.jobs : 4 * cpus_, BW_BATCH_MAX_JOBS);
    budget_ = options.memoryBytes ? options.memoryBytes : MemoryBudget();
    progress_ = !options.verbose && isatty(STDERR_FILENO);
  }

  void Run() {
    while (true) {
      Admit();
      if (running_ == 0 && (next_ == jobs_.size() || stopping_)) break;
      std::vector<size_t> finished;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(200), [this] { return !done_.empty(); });
        finished.swap(done_);
      }
      for (size_t index : finished) {
        threads_[index].join();
        threads_.erase(index);
        BatchJob& job = jobs_[index];
        --running_;
        inFlightBytes_ -= job.memoryBytes;
        if (job.alone) alone_ = false;
        Finished(job);
      }
      if (progress_) DrawProgress(false);
    }
    for (size_t i = next_; i < jobs_.size(); ++i) {
      jobs_[i].status = Status::SKIPPED;
      jobs_[i].message = "not started after a failure";
      Finished(jobs_[i]);
    }
    if (progress_) {
      DrawProgress(true);
      for (const BatchJob& job : jobs_)
        if (job.status == Status::FAILED) Print(JobLine(job));
    }
  }

 private:
  // Starts every job that may start now, and finishes at once those that need no run.
  void Admit() {
    // Jobs finish in line order when one runs at a time, those that need no run included.
    while (next_ < jobs_.size() && !stopping_ && running_ < slots_ && !alone_) {
      BatchJob& job = jobs_[next_];
      if (job.status == Status::FAILED) {  // not a command line
        ++next_;
        Finished(job);
        continue;
      }
      if (!job.planned) Plan(&job);
      if (records_ && (job.records = records_->For(job.command)) &&
          job.records->UpToDate(job.command, job.levels, &job.digest, &job.written)) {
        job.status = Status::SKIPPED;
        job.message = "up to date";
        ++next_;
        Finished(job);
        continue;
      }
      if (!job.estimated) {
        Estimate(&job);
        job.estimated = true;
      }
      const bool big = job.memoryBytes > budget_ / uint64_t(slots_);
      if (running_ > 0 && (big || inFlightBytes_ + job.memoryBytes > budget_)) return;
      const int share = int(std::min<size_t>(size_t(slots_), jobs_.size() - next_ + size_t(running_)));
      const int threads = big ? cpus_ : std::max(1, cpus_ / std::max(1, share));
      job.alone = big;
      alone_ = big;
      job.status = Status::RUNNING;
      ++running_;
      inFlightBytes_ += job.memoryBytes;
      const size_t index = next_++;
      try {
        threads_.emplace(index, std::thread([this, index, threads] {
                           RunJob(&jobs_[index], threads);
                           const std::lock_guard<std::mutex> lock(mutex_);
                           done_.push_back(index);
                           changed_.notify_one();
                         }));
      } catch (const std::system_error&) {
        // No thread to be had: the job runs here.
        RunJob(&job, threads);
        --running_;
        inFlightBytes_ -= job.memoryBytes;
        alone_ = false;
        Finished(job);
      }
    }
  }

  void Finished(const BatchJob& job) {
    ++finished_;
    if (job.status == Status::OK) doneTexels_ += job.texels;
    if (job.status == Status::FAILED && options_.failFast) stopping_ = true;
    if (quietSkips_ && job.status == Status::SKIPPED) return;
    if (options_.verbose)
      Print(job.status == Status::SKIPPED ? JobLine(job) : job.console);
    else if (!progress_)
      Print(JobLine(job));
  }

  // The progress bar on standard error: jobs done, texels a second, time left.
  void DrawProgress(bool last) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const size_t total = jobs_.size();
    constexpr int kWidth = 30;
    const int filled = total ? int(uint64_t(finished_) * kWidth / total) : kWidth;
    const double rate = elapsed > 0.0 ? double(doneTexels_) / elapsed / 1e6 : 0.0;
    const double left = finished_ ? elapsed / double(finished_) * double(total - finished_) : 0.0;
    char line[160];
    std::snprintf(line, sizeof line, "\r[%s%s] %zu/%zu jobs  %.1f Mtexel/s  %d:%02d left\x1b[K%s",
                  std::string(size_t(filled), '#').c_str(), std::string(size_t(kWidth - filled), '.').c_str(),
                  finished_, total, rate, int(left) / 60, int(left) % 60, last ? "\n" : "");
    Print(line, stderr);
  }

  std::vector<BatchJob>& jobs_;
  const BwBatchOptions& options_;
  BwRecordBook* records_;
  bool quietSkips_;  // no line for a job up to date (the passes of a watch)
  Clock::time_point start_;
  int cpus_ = 1;
  int slots_ = 1;
  uint64_t budget_ = 0;
  bool progress_ = false;
  size_t next_ = 0;
  int running_ = 0;
  uint64_t inFlightBytes_ = 0;
  bool alone_ = false;
  bool stopping_ = false;
  size_t finished_ = 0;
  uint64_t doneTexels_ = 0;
  std::map<size_t, std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<size_t> done_;
};

// The jobs of a batch file, those of the shard asked for; false after printing why there are none.
bool BatchFileJobs(const BwBatchOptions& options, std::vector<BatchJob>* jobs) {
  std::string text, error;
  if (!ReadBatchFile(options.file, &text, &error)) {
    Print(error + "\n");
    return false;
  }
  size_t jobIndex = 0;
  int lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    ++lineNumber;
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    std::vector<std::string> words;
    std::string lineError;
    const bool split = BwSplitBatchLine(line, &words, &lineError);
    if (split && words.empty()) continue;  // blank or comment
    if (jobIndex++ % uint64_t(options.shardCount) != uint64_t(options.shardIndex)) continue;
    if (split) {
      jobs->push_back(MakeJob(std::move(words)));
      jobs->back().line = lineNumber;
    } else {
      BatchJob job;
      job.args = {line};
      job.label = line;
      job.status = Status::FAILED;
      job.message = lineError;
      job.console = lineError + "\n";
      jobs->push_back(std::move(job));
    }
  }
  return true;
}

// The jobs of a tree's plan, those of the shard asked for (numbered from 1 in the plan's
// order), or with --plan every job printed as its batch line. False after printing the
// manifest's fault or every problem of the plan.
bool TreeJobs(const BwBatchOptions& options, BwTreePlan* plan, std::vector<BatchJob>* jobs) {
  std::string error;
  if (!BwPlanTree(options.tree, plan, &error)) {
    Print(error + "\n");
    return false;
  }
  if (!plan->problems.empty()) {
    std::string text;
    for (const std::string& problem : plan->problems) text += problem + "\n";
    Print(text);
    return false;
  }
  std::string lines;
  for (size_t i = 0; i < plan->jobs.size(); ++i) {
    if (i % uint64_t(options.shardCount) != uint64_t(options.shardIndex)) continue;
    if (options.plan) {
      lines += BwJoinBatchLine(plan->jobs[i].args) + "\n";
      continue;
    }
    jobs->push_back(MakeJob(plan->jobs[i].args));
    jobs->back().line = int(i + 1);
  }
  if (options.plan) Print(lines);
  return true;
}

// One pass over the jobs as a batch runs them: refused when two write one file, then run, the
// summary printed and the report written. The exit status.
int RunPass(const BwBatchOptions& options, std::vector<BatchJob>* jobs, const BwTreePlan* tree, BwRecordBook* records,
            bool quietSkips) {
  // The report's file is opened first, so that a batch that could not report does not run.
  std::unique_ptr<OutputFile> report;
  if (!options.report.empty()) {
    report = std::make_unique<OutputFile>(options.report.c_str(), BwSignalObserver());
    if (!*report) {
      Print("ERROR: Unable to open " + options.report + "\n");
      return 255;
    }
  }
  const std::string shared = SharedOutput(jobs, options.tree.empty() ? "Lines" : "Jobs");
  if (!shared.empty()) {
    Print(shared + "\n");
    return 255;
  }
  std::string error;
  if (tree && !BwMakeTreeFolders(*tree, &error)) {
    Print(error + "\n");
    return 255;
  }
  Scheduler(jobs, options, records, quietSkips).Run();
  if (records) {
    records->Flush();
    for (const std::string& warning : records->Warnings()) Print(warning + "\n", stderr);
  }
  size_t ok = 0, failed = 0, skipped = 0;
  for (const BatchJob& job : *jobs)
    (job.status == Status::OK ? ok : job.status == Status::FAILED ? failed : skipped) += 1;
  char summary[128];
  std::snprintf(summary, sizeof summary, "%zu jobs: %zu ok, %zu failed, %zu skipped\n", jobs->size(), ok, failed,
                skipped);
  Print(summary);
  if (report) {
    const std::string json = JsonReport(*jobs);
    if (std::fwrite(json.data(), 1, json.size(), report->Stream()) != json.size() || !report->Commit()) {
      Print("ERROR: Unable to write " + options.report + "\n");
      return 255;
    }
  }
  return failed == 0 ? 0 : 255;
}

// Watches the folders the plan walked and the manifest's own folder.
void AddWatches(int inotify, const BwBatchOptions& options, const BwTreePlan& plan,
                std::map<int, std::string>* folders) {
  constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE;
  std::vector<std::string> watched = plan.folders;
  const size_t slash = options.tree.rfind('/');
  watched.push_back(slash == std::string::npos ? "." : options.tree.substr(0, slash + 1));
  for (const std::string& folder : watched) {
    const int watch = inotify_add_watch(inotify, folder.c_str(), kEvents | IN_ONLYDIR);
    if (watch >= 0) (*folders)[watch] = folder;
  }
}

// Waits for a change under the roots (or of the manifest) and for the changes to settle: no
// event for kBwWatchSettleMs. Changes to hidden names (temporaries, journals, the records) and
// under the output root (the tree's own outputs) do not count.
constexpr int kBwWatchSettleMs = 500;

void AwaitChange(int inotify, const std::map<int, std::string>& folders, const std::string& outputRoot) {
  bool changed = false;
  while (true) {
    pollfd ready{inotify, POLLIN, 0};
    const int n = poll(&ready, 1, changed ? kBwWatchSettleMs : -1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (changed) return;
      continue;
    }
    alignas(inotify_event) char buffer[1 << 16];
    const ssize_t length = read(inotify, buffer, sizeof buffer);
    for (ssize_t at = 0; at < length;) {
      const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += ssize_t(sizeof(inotify_event) + event->len);
      const auto folder = folders.find(event->wd);
      if (event->len == 0 || event->name[0] == '.' || folder == folders.end()) continue;
      if (folder->second == outputRoot || folder->second.compare(0, outputRoot.size() + 1, outputRoot + "/") == 0)
        continue;
      changed = true;
    }
  }
}

// --watch: after the first pass, a pass of the whole tree (planned again, so new and removed
// files count) each time its inputs change; the records skip the jobs whose inputs did not.
// Ends only by a signal, which as ever leaves each output complete or absent.
int WatchTree(const BwBatchOptions& options, BwTreePlan plan, BwRecordBook* records) {
  const int inotify = inotify_init1(IN_CLOEXEC);
  if (inotify < 0) {
    Print("ERROR: Unable to watch the tree: " + std::string(std::strerror(errno)) + "\n");
    return 255;
  }
  std::map<int, std::string> folders;
  while (true) {
    AddWatches(inotify, options, plan, &folders);
    AwaitChange(inotify, folders, plan.outputRoot);
    std::vector<BatchJob> jobs;
    if (!TreeJobs(options, &plan, &jobs)) continue;  // the problems are listed; wait for a fix
    RunPass(options, &jobs, &plan, records, true);
  }
}

}  // namespace

bool BwIsBatchCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    for (const char* option : {"--batch", "--tree"})
      if (std::strcmp(argv[i], option) == 0 ||
          (std::strncmp(argv[i], option, std::strlen(option)) == 0 && argv[i][std::strlen(option)] == '='))
        return true;
  return false;
}

bool BwParseBatchOptions(int argc, char** argv, BwBatchOptions* options, bool* help, std::string* error) {
  *help = false;
  bool haveFile = false;
  bool batch = false;  // a batch, as opposed to a tree, for the refusals' words
  for (int i = 1; i < argc; ++i) batch = batch || std::strncmp(argv[i], "--batch", 7) == 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : arg.substr(equals + 1);
    const bool hasValue = equals != std::string::npos;
    uint64_t number = 0;
    const auto bad = [&](const char* expected) {
      *error = "ERROR: Bad value in " + arg + " (" + expected + ")";
      return false;
    };
    if (arg == "--batch" && i + 1 < argc && std::strcmp(argv[i + 1], "--help") == 0) {
      *help = true;  // `bumpweld --batch --help` asks for this help, not for a file named --help
      ++i;
    } else if (arg == "--batch") {
      if (i + 1 >= argc) return bad("a batch file, - for standard input");
      options->file = argv[++i];
      haveFile = true;
    } else if (name == "--batch" && hasValue) {
      if (value.empty()) return bad("a batch file, - for standard input");
      options->file = value;
      haveFile = true;
    } else if (arg == "--tree") {
      if (i + 1 >= argc) return bad("a manifest");
      options->tree = argv[++i];
    } else if (name == "--tree" && hasValue) {
      if (value.empty()) return bad("a manifest");
      options->tree = value;
    } else if (arg == "--plan") {
      options->plan = true;
    } else if (arg == "--watch") {
      options->watch = true;
    } else if (arg == "--help") {
      *help = true;
    } else if (name == "--jobs") {
      if (!ParseNumber(value, 1, 4096, &number)) return bad("a number of jobs, at least 1");
      options->jobs = int(number);
    } else if (name == "--report") {
      if (value.empty()) return bad("a file name");
      options->report = value;
    } else if (name == "--shard") {
      const size_t slash = value.find('/');
      uint64_t count = 0;
      if (slash == std::string::npos || !ParseNumber(value.substr(slash + 1), 1, 1000000, &count) ||
          !ParseNumber(value.substr(0, slash), 0, count - 1, &number))
        return bad("K/N with 0 <= K < N");
      options->shardIndex = int(number);
      options->shardCount = int(count);
    } else if (name == "--memory") {
      if (!ParseNumber(value, 1, uint64_t(1) << 30, &number)) return bad("MiB, at least 1");
      options->memoryBytes = number << 20;
    } else if (arg == "--skip-up-to-date") {
      options->skipUpToDate = true;
    } else if (arg == "--fail-fast") {
      options->failFast = true;
    } else if (arg == "--verbose") {
      options->verbose = true;
    } else if (BwIsLongOption(arg.c_str())) {
      BwSettings check;
      std::string ignored;
      *error = BwApplyLongOption(arg.c_str(), &check, &ignored) || name == "--version"
                   ? "ERROR: " + name + (batch ? " belongs on the lines of a batch, not with --batch"
                                               : " belongs in the options of a tree's rules, not with --tree")
                   : "ERROR: Unknown option " + name;
      return false;
    } else {
      *error = batch ? "ERROR: A batch takes its jobs from its file, not " + arg
                     : "ERROR: A tree takes its jobs from its manifest, not " + arg;
      return false;
    }
  }
  if (haveFile && !options->tree.empty()) {
    *error = "ERROR: --batch and --tree do not go together";
    return false;
  }
  if ((options->plan || options->watch) && options->tree.empty()) {
    *error = std::string("ERROR: ") + (options->plan ? "--plan" : "--watch") + " goes with --tree";
    return false;
  }
  if (!haveFile && options->tree.empty() && !*help) {
    *error = "ERROR: --batch needs a batch file";
    return false;
  }
  return true;
}

int BwBatchMain(int argc, char** argv) {
  BwBatchOptions options;
  bool help = false;
  std::string error;
  if (!BwParseBatchOptions(argc, argv, &options, &help, &error)) {
    Print(error + "\n");
    return 255;
  }
  if (help) {
    Print(kBwBatchUsage);
    return 0;
  }
  BwInstallSignalHandlers();
  if (options.tree.empty()) {
    std::vector<BatchJob> jobs;
    if (!BatchFileJobs(options, &jobs)) return 255;
    // A batch with --skip-up-to-date keeps its records beside each job's output.
    std::unique_ptr<BwRecordBook> records;
    if (options.skipUpToDate) records = std::make_unique<BwRecordBook>();
    return RunPass(options, &jobs, nullptr, records.get(), false);
  }
  BwTreePlan tree;
  std::vector<BatchJob> jobs;
  if (!TreeJobs(options, &tree, &jobs)) return 255;
  if (options.plan) return 0;
  // A tree keeps its records in its output root.
  BwRecordBook records(tree.outputRoot);
  const int status = RunPass(options, &jobs, &tree, &records, false);
  if (!options.watch) return status;
  return WatchTree(options, tree, &records);
}
