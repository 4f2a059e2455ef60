// The command line: the help and version texts, the settings report, and the run of one job
// on standard output, or with --batch of a whole batch (Batch.h).
#include "CommandLine.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Batch.h"
#include "CommandParser.h"
#include "Containers.h"
#include "Signals.h"

namespace {

// One bar for the whole run on standard error: how far it is and the time left, drawn at most
// ten times a second (from any of the job's threads), and only after half a second unless asked
// for. Console text clears it first, and it is drawn again at the next update.
class ProgressBar {
 public:
  explicit ProgressBar(bool asked) : asked_(asked), start_(std::chrono::steady_clock::now()) {}
  ~ProgressBar() { Clear(); }

  void Update(double done) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if ((!asked_ && seconds < 0.5) || (done < 1 && drawn_ && seconds - drawnAt_ < 0.1)) return;
    drawnAt_ = seconds;
    constexpr int kWidth = 30;
    const int filled = int(done * kWidth);
    char left[32] = "";
    if (done > 0.01 && done < 1) std::snprintf(left, sizeof left, ", %.0f s left", seconds * (1 - done) / done);
    std::fprintf(stderr, "\r[%s%s] %3d%%%s   ", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(kWidth - filled), '.').c_str(), int(done * 100), left);
    std::fflush(stderr);
    drawn_ = true;
  }

  void Clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!drawn_) return;
    std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  const bool asked_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  bool drawn_ = false;
  double drawnAt_ = 0;
};

// A console on standard output and standard error; all on standard error when `pictureOnStdout`.
// With a bar, its line is cleared before any text.
BwConsole StdioConsole(int quiet, bool pictureOnStdout = false, ProgressBar* bar = nullptr) {
  return BwConsole(quiet, [pictureOnStdout, bar](int stream, const char* text, size_t length) {
    if (bar) bar->Clear();
    std::fwrite(text, 1, length, stream == BW_STDERR || pictureOnStdout ? stderr : stdout);
  });
}

// Whether the file at `path` is the one standard output is open on (/dev/stdout, /dev/fd/1, the
// terminal's device, a file standard output is redirected to): the picture then has standard
// output to itself, so that it arrives whole.
bool IsStandardOutput(const std::string& path) {
  struct stat out, file;
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &file) == 0 && out.st_dev == file.st_dev &&
         out.st_ino == file.st_ino;
}

// Prints a paragraph in lines of at most 92 characters, the second and later indented by two.
void PrintWrapped(const std::string& text) {
  std::string line;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find(' ', at), text.size());
    const std::string word = text.substr(at, end - at);
    if (!line.empty() && line.size() + 1 + word.size() > 92) {
      std::printf("%s\n", line.c_str());
      line = "  " + word;
    } else {
      line += (line.empty() ? "" : " ") + word;
    }
    at = end + 1;
  }
  std::printf("%s\n", line.c_str());
}

// Prints the usage with every option.
void PrintHelp() {
  std::fputs(kBwUsageLine, stdout);
  for (const char* const* line = kBwFlagHelp; *line; ++line) std::printf("                     %s", *line);
  std::puts("Long options, anywhere on the line:");
  std::printf("  %-20s  %s", "--help", "this text\n");
  std::printf("  %-20s  %s", "--version", "the version\n");
  for (const char* const* line = kBwLongOptionHelp; *line; ++line) std::printf("  %s", *line);
  // The containers' lists come from their table.
  PrintWrapped("Outputs: a name ending in " + BwContainerList(BwContainerListKind::OUTPUTS) +
               " (any case) writes that container; any other name a Targa file, or a .kep texture with h, H, i, "
               "s or S. A " + BwContainerList(BwContainerListKind::CHAINS) + " file holds the whole mip chain; other "
               "containers get one numbered file a level (out.tga: out00.tga, ...).");
  PrintWrapped("Inputs: " + BwContainerList(BwContainerListKind::INPUTS) + ", recognised by their contents.");
  std::puts("Recovery: bumpweld --recover DIR completes or undoes what runs killed while putting\n"
            "  their outputs in place left in DIR (the next run on the same output does it too).");
  std::fputs("Batches: bumpweld --batch FILE [batch options], one command line a line of FILE\n", stdout);
  // The batch's option lines, after its synopsis line.
  std::fputs(std::strchr(kBwBatchUsage, '\n') + 1, stdout);
}

// bumpweld --recover DIR: every interrupted publish in DIR completed or undone.
int RecoverMain(const char* directory) {
  std::string error;
  const int count = BwRecoverOutputs(directory, &error);
  if (count < 0) {
    std::printf("%s\n", error.c_str());
    return 255;
  }
  std::printf("%s: %d interrupted output%s completed or undone\n", directory, count, count == 1 ? "" : "s");
  return 0;
}

// Hints that name the fix for a failed command, on standard error and only when it is a
// terminal: logs and scripts see the console as it always was.
void PrintHints(const BwCommand& command, const std::string& error) {
  if (!isatty(STDERR_FILENO)) return;
  const auto hint = [](const std::string& text) { std::fprintf(stderr, "hint: %s\n", text.c_str()); };
  // "-q -m a.tga b.tga o.tga": the second flag word was taken for a file.
  for (const std::string& word : command.words)
    if (word.size() > 1 && word[0] == '-' && word != command.words.front() && error.find(" " + word) != std::string::npos)
      hint("flags go in one word (-qm, not -q -m)");
  // "--blend whiteout": an option's value after a space.
  for (const std::string& option : command.longOptions)
    if (option.find('=') == std::string::npos && error.find("Bad value in " + option + " ") != std::string::npos)
      hint("write an option's value after '=': " + option + "=VALUE");
  // A file that could not be opened or written: the system's reason.
  for (const auto& [prefix, opening] : {std::pair<std::string, bool>{"ERROR: Unable to open ", true},
                                        std::pair<std::string, bool>{"ERROR: Unable to write ", false}}) {
    if (error.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string name = error.substr(prefix.size());
    if (name.empty() || name[0] == '-') continue;  // a flag word taken for a file: hinted above
    const bool input = opening && (name == command.Base() || name == command.Second());
    const size_t slash = name.rfind('/');
    const std::string probe = input ? name : slash == std::string::npos ? "." : name.substr(0, slash + 1);
    if (access(probe.c_str(), input ? R_OK : W_OK | X_OK) != 0) hint(name + ": " + std::strerror(errno));
  }
  // Maps of two sizes: which is which.
  int sizes[4] = {};
  if (std::sscanf(error.c_str(), "Normal map sizes must match! (%dx%d %dx%d)", &sizes[0], &sizes[1], &sizes[2],
                  &sizes[3]) == 4)
    hint(command.Base() + " is " + std::to_string(sizes[0]) + "x" + std::to_string(sizes[1]) + ", " +
         command.Second() + " " + std::to_string(sizes[2]) + "x" + std::to_string(sizes[3]) +
         ": both maps must have one size");
  // An 8-bit grey picture given as the second normal map: a height map without its scale.
  if (error.find("Normal map should be at 32 or 24bits per pixel!") != std::string::npos && command.scaleWord < 0)
    hint("a map with one channel is read as heights only with a height scale: if " + command.Second() +
         " is a height map, give its scale before the output, as in bumpweld " + command.Base() + " " +
         command.Second() + " 2.5 " + command.Output());
}

}  // namespace

int BumpweldMain(int argc, char** argv) {
  if (BwIsBatchCommand(argc, argv)) return BwBatchMain(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "--recover") == 0) return RecoverMain(argv[2]);
  BwInstallSignalHandlers();
  const BwCommand command = BwParseCommand(std::vector<std::string>(argv + 1, argv + argc));
  const bool pictureOnStdout = command.outcome == BwCommand::RUN && IsStandardOutput(command.Output());
  // The bar: asked for with --progress, or by default when the console is on a terminal (and not
  // quietened), where it takes the spinner's place. Logs and pipes see the console as before.
  const bool terminal = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO) && command.settings.quiet == 0;
  std::unique_ptr<ProgressBar> bar;
  if (command.outcome == BwCommand::RUN && (command.settings.progress || terminal))
    bar = std::make_unique<ProgressBar>(command.settings.progress);
  const int quiet = bar && isatty(STDOUT_FILENO) ? std::max(command.settings.quiet, 1) : command.settings.quiet;
  BwConsole console = StdioConsole(quiet, pictureOnStdout, bar.get());
  if (bar) console.SetProgressHook([&bar](double done) { bar->Update(done); });
  // Hints of a run that succeeds, shown after it on a terminal's standard error.
  std::vector<std::string> hints;
  if (isatty(STDERR_FILENO)) console.SetHintHook([&hints](const char* text) { hints.push_back(text); });
  switch (command.outcome) {
    case BwCommand::RUN: break;
    case BwCommand::HELP: PrintHelp(); return 0;
    case BwCommand::VERSION: std::fputs(kBwVersionLine, stdout); return 0;
    case BwCommand::BAD_OPTION:
      std::printf("%s\n", command.message.c_str());
      PrintHints(command, command.message);
      return 255;
    case BwCommand::USAGE: console.Message("%s", command.message.c_str()); return 255;
  }
  BwSettings settings = command.settings;
  settings.mapInputs = true;  // a file cut short while mapped ends the run through SIGBUS
  std::string error;
  const auto output = BwFileOutput(command.Output(), BwSignalObserver());
  const bool ok = BwRunCommand(command, settings, console, *output, &error);
  bar.reset();
  for (const std::string& hint : hints) std::fprintf(stderr, "hint: %s\n", hint.c_str());
  if (ok) return 0;
  PrintHints(command, error);
  return 255;
}
