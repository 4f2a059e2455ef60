// The C interface: jobs behind an opaque handle, every failure a status and a message.
#include <bumpweld/bumpweld.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#include "BwArray.h"
#include "CommandParser.h"
#include "Encoders.h"
#include "Job.h"
#include "MapLoaders.h"
#include "Parallel.h"
#include "Samples.h"

struct bw_job {
  // What the caller set; the settings of a run are made from them (Settings()).
  std::string flags;
  std::vector<std::string> options;
  bool heights = false;
  float scale = 0.0f;
  std::string scaleText;  // the height scale as typed (bw_job_set_height_scale_text), or ""
  int threads = 0;
  bool confined = false;  // bw_job_confine_files
  bw_console_fn console = nullptr;
  void* consoleUser = nullptr;
  std::string error;
  int status = BW_OK;
  std::vector<BwLevelBytes> levels;
  std::vector<std::string> outputs;  // the files the last run put in place
  std::vector<BwLevelStats> stats;   // with --stats, the angle error of each level of the last run
  // The last command line read by bw_job_set_command (none: no output word), and its words
  // (kept when it is refused).
  BwCommand command;
  std::vector<std::string> words;
};

namespace {

// The settings of the job's flag word, then its long options, height scale and threads.
BwSettings Settings(const bw_job& job) {
  BwSettings settings;
  std::string ignored;  // every option was checked when it was set
  BwApplyFlagWord(job.flags.c_str(), &settings);
  for (const std::string& option : job.options) BwApplyLongOption(option.c_str(), &settings, &ignored);
  settings.bumpMap = job.heights;
  settings.bumpScale = job.scale;
  if (job.threads > 0) settings.threads = job.threads;
  return settings;
}

BwConsole JobConsole(const bw_job& job, int quiet) {
  if (!job.console) return BwConsole();
  const bw_console_fn console = job.console;
  void* user = job.consoleUser;
  return BwConsole(quiet, [console, user](int stream, const char* text, size_t length) {
    console(user, stream, text, length);
  });
}

int Failed(bw_job* job, int status, const char* message) {
  if (!job) return BW_ERROR_ARGUMENT;
  job->error = message;
  job->status = status;
  return status;
}

int Succeeded(bw_job* job) {
  job->error.clear();
  job->status = BW_OK;
  return BW_OK;
}

// The failure of a call that ran out of memory.
int OutOfMemory(bw_job* job) { return Failed(job, BW_ERROR_MEMORY, kBwNoMemoryMessage); }

// Whether `name` stays within the working folder: relative, with no ".." part.
bool InFolder(const std::string& name) {
  if (name[0] == '/' || name[0] == '\\') return false;
  for (size_t start = 0;;) {
    const size_t end = name.find_first_of("/\\", start);
    if (name.compare(start, end - start, "..") == 0) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// For a job confined to its folder, refuses the first of the file names (empty: none) that lies
// outside it; BW_OK when there is none.
int RefuseOutside(bw_job* job, std::initializer_list<std::string> names) {
  if (job->confined)
    for (const std::string& name : names)
      if (!name.empty() && !InFolder(name))
        return Failed(job, BW_ERROR_OPEN, ("ERROR: The file " + name + " is outside the job's folder").c_str());
  return BW_OK;
}

// The height scale as typed, for the message that refuses one that is not finite.
const char* ScaleText(const bw_job& job) { return job.heights && !job.scaleText.empty() ? job.scaleText.c_str() : nullptr; }

int Run(bw_job* job, const BwInput& base, const BwInput& second, BwOutputWriter& output) {
  const BwSettings settings = Settings(*job);
  if (const int refused = RefuseOutside(job, {settings.mask, base.image ? "" : base.name, second.image ? "" : second.name}))
    return refused;
  BwConsole console = JobConsole(*job, settings.quiet);
  if (BwRunJob(settings, console, base, second, output, &job->error, ScaleText(*job), &job->status, &job->stats))
    return BW_OK;
  job->outputs.clear();
  return job->status;
}

BwMemoryImage MemoryImage(const bw_image& image) {
  BwMemoryImage memory;
  memory.texels = image.texels;
  memory.type = image.type;
  memory.width = image.width;
  memory.height = image.height;
  memory.channels = image.channels;
  memory.strideBytes = image.stride_bytes;
  memory.topFirst = image.top_first != 0;
  memory.targaOrder = image.bgr_order != 0;
  return memory;
}

// An input of bw_run_inputs as the job takes it; `image` holds the memory image it points to.
BwInput Input(const bw_input& input, const char* imageName, BwMemoryImage* image) {
  BwInput in;
  if (input.image) {
    *image = MemoryImage(*input.image);
    in.image = image;
  }
  in.name = input.name ? input.name : imageName;
  return in;
}

}  // namespace

extern "C" {

const char* bw_version(void) { return BUMPWELD_VERSION; }

uint64_t bw_available_memory(void) { return BwAvailableMemory(); }

bw_job* bw_job_new(void) { return new (std::nothrow) bw_job; }

void bw_job_free(bw_job* job) { delete job; }

int bw_job_set_flags(bw_job* job, const char* flag_word) {
  if (!job || !flag_word) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No flag word");
  for (const char* c = flag_word; *c; ++c)
    if (*c != '-' && !std::strchr(kBwFlagLetters, *c)) {
      return Failed(job, BW_ERROR_COMMAND, (std::string("ERROR: Unknown flag letter '") + *c + "' in " + flag_word).c_str());
    }
  job->flags = flag_word;
  return Succeeded(job);
}

int bw_is_option(const char* name) {
  try {
    return name && BwIsJobOption(name) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int bw_job_set_option(bw_job* job, const char* option) {
  if (!job || !option) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No option");
  try {
    BwSettings check;
    std::string error;
    if (!BwIsLongOption(option)) return Failed(job, BW_ERROR_COMMAND, (std::string("ERROR: Unknown option ") + option).c_str());
    if (!BwApplyLongOption(option, &check, &error)) return Failed(job, BW_ERROR_COMMAND, error.c_str());
    if (const int refused = RefuseOutside(job, {check.mask})) return refused;
    job->options.push_back(option);
    return Succeeded(job);
  } catch (...) {
    return OutOfMemory(job);
  }
}

void bw_job_clear_options(bw_job* job) {
  if (!job) return;
  job->options.clear();
  job->threads = 0;
}

void bw_job_set_height_scale(bw_job* job, double scale) {
  if (!job) return;
  job->heights = true;
  job->scale = BwNarrowToFloat(scale);
  job->scaleText.clear();
}

int bw_job_set_height_scale_text(bw_job* job, const char* text) {
  if (!job) return BW_ERROR_ARGUMENT;
  if (!text || !*text) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No height scale");
  try {
    job->scaleText = text;
  } catch (...) {
    return OutOfMemory(job);
  }
  job->heights = true;
  job->scale = BwReadHeightScale(text);
  return Succeeded(job);
}

void bw_job_clear_height_scale(bw_job* job) {
  if (job) job->heights = false;
}

void bw_job_set_threads(bw_job* job, int threads) {
  if (job) job->threads = threads > 0 ? threads : 0;
}

void bw_job_confine_files(bw_job* job, int confined) {
  if (job) job->confined = confined != 0;
}

void bw_job_set_console(bw_job* job, bw_console_fn console, void* user) {
  if (!job) return;
  job->console = console;
  job->consoleUser = user;
}

int bw_run_files(bw_job* job, const char* base, const char* second, const char* output) {
  if (!job) return BW_ERROR_ARGUMENT;
  job->levels.clear();
  job->outputs.clear();
  if (!base || !second || !output) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No file name");
  try {
    BwInput baseInput, secondInput;
    baseInput.name = base;
    secondInput.name = second;
    if (const int refused = RefuseOutside(job, {output})) return refused;
    const auto files = BwFileOutput(output, nullptr, &job->outputs);
    return Run(job, baseInput, secondInput, *files);
  } catch (...) {
    return OutOfMemory(job);
  }
}

int bw_job_set_command(bw_job* job, int argc, const char* const* argv) {
  if (!job) return BW_ERROR_ARGUMENT;
  if (argc < 0 || (argc > 0 && !argv)) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No arguments");
  try {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
      if (!argv[i]) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No arguments");
      args.push_back(argv[i]);
    }
    BwCommand command = BwParseCommand(args);
    job->command = BwCommand();
    job->words = std::move(args);
    if (command.outcome != BwCommand::RUN) return Failed(job, BW_ERROR_COMMAND, BwCommandRefusal(command).c_str());
    job->flags = command.Flags() ? command.Flags() : "";
    job->options = command.longOptions;
    job->heights = command.settings.bumpMap;
    job->scale = command.settings.bumpScale;
    job->scaleText = command.ScaleText() ? command.ScaleText() : "";
    job->command = std::move(command);
    return Succeeded(job);
  } catch (...) {
    job->command = BwCommand();
    return OutOfMemory(job);
  }
}

int bw_job_set_command_line(bw_job* job, const char* line) {
  if (!job) return BW_ERROR_ARGUMENT;
  if (!line) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No arguments");
  try {
    std::vector<std::string> words;
    std::string error;
    job->command = BwCommand();
    job->words.clear();
    if (!BwSplitBatchLine(line, &words, &error)) return Failed(job, BW_ERROR_COMMAND, error.c_str());
    if (words.empty()) return Succeeded(job);  // blank, or only a comment
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    return bw_job_set_command(job, int(argv.size()), argv.data());
  } catch (...) {
    return OutOfMemory(job);
  }
}

int bw_command_word_count(const bw_job* job) { return job ? int(job->words.size()) : 0; }

const char* bw_command_word(const bw_job* job, int index) {
  if (!job || index < 0 || size_t(index) >= job->words.size()) return nullptr;
  return job->words[size_t(index)].c_str();
}

int bw_run_command(bw_job* job) {
  if (!job) return BW_ERROR_ARGUMENT;
  job->levels.clear();
  job->outputs.clear();
  if (job->command.outputWord < 0) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No command line was set");
  try {
    const BwSettings settings = Settings(*job);
    const BwCommand& command = job->command;
    if (const int refused = RefuseOutside(job, {command.Base(), command.Second(), command.Output(), settings.mask}))
      return refused;
    BwConsole console = JobConsole(*job, settings.quiet);
    const auto files = BwFileOutput(job->command.Output(), nullptr, &job->outputs);
    if (BwRunCommand(job->command, settings, console, *files, &job->error, &job->status, &job->stats)) return BW_OK;
    job->outputs.clear();
    return job->status;
  } catch (...) {
    return OutOfMemory(job);
  }
}

int bw_output_count(const bw_job* job) { return job ? int(job->outputs.size()) : 0; }

const char* bw_output_name(const bw_job* job, int index) {
  if (!job || index < 0 || size_t(index) >= job->outputs.size()) return nullptr;
  return job->outputs[size_t(index)].c_str();
}

int bw_run_images(bw_job* job, const bw_image* base, const bw_image* second) {
  if (!job) return BW_ERROR_ARGUMENT;
  job->levels.clear();
  job->outputs.clear();
  if (!base || !second) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No image");
  try {
    const BwMemoryImage baseImage = MemoryImage(*base), secondImage = MemoryImage(*second);
    BwInput baseInput, secondInput;
    baseInput.name = "base image";
    baseInput.image = &baseImage;
    secondInput.name = job->heights ? "height image" : "second image";
    secondInput.image = &secondImage;
    const auto memory = BwMemoryOutput(&job->levels);
    return Run(job, baseInput, secondInput, *memory);
  } catch (...) {
    job->levels.clear();
    return OutOfMemory(job);
  }
}

int bw_run_inputs(bw_job* job, const bw_input* base, const bw_input* second, const char* output) {
  if (!job) return BW_ERROR_ARGUMENT;
  job->levels.clear();
  job->outputs.clear();
  if (!base || !second) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No input");
  if ((!base->image && !base->name) || (!second->image && !second->name))
    return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No file name");
  try {
    BwMemoryImage baseImage, secondImage;
    const BwInput baseInput = Input(*base, "base image", &baseImage);
    const BwInput secondInput = Input(*second, job->heights ? "height image" : "second image", &secondImage);
    if (const int refused = RefuseOutside(job, {output ? output : ""})) return refused;
    const auto writer = output ? BwFileOutput(output, nullptr, &job->outputs) : BwMemoryOutput(&job->levels);
    return Run(job, baseInput, secondInput, *writer);
  } catch (...) {
    job->levels.clear();
    return OutOfMemory(job);
  }
}

int bw_job_check_image(bw_job* job, const bw_image* image, const char* name, uint64_t bytes) {
  if (!job) return BW_ERROR_ARGUMENT;
  if (!image) return Failed(job, BW_ERROR_ARGUMENT, "ERROR: No image");
  try {
    const std::string what = std::string("ERROR: ") + (name ? name : "image") + " ";
    uint64_t spanBytes = 0;
    const std::string fault = BwMemoryImageFault(MemoryImage(*image), &spanBytes);
    if (!fault.empty()) return Failed(job, BW_ERROR_ARGUMENT, (what + fault).c_str());
    if (spanBytes > bytes) {
      const std::string size = std::to_string(image->width) + "x" + std::to_string(image->height);
      const std::string rows = image->stride_bytes ? ", rows " + std::to_string(image->stride_bytes) + " bytes apart" : "";
      return Failed(job, BW_ERROR_ARGUMENT, (what + "of " + size + " texels (" + std::to_string(image->channels) +
                                             " values a texel" + rows + ") needs " + std::to_string(spanBytes) +
                                             " bytes; " + std::to_string(bytes) + " were given").c_str());
    }
    return Succeeded(job);
  } catch (...) {
    return OutOfMemory(job);
  }
}

int bw_result_count(const bw_job* job) { return job ? int(job->levels.size()) : 0; }

const unsigned char* bw_result_level(const bw_job* job, int level, int* width, int* height,
                                     size_t* size, size_t* header_bytes) {
  if (!job || level < 0 || size_t(level) >= job->levels.size()) return nullptr;
  const BwLevelBytes& bytes = job->levels[size_t(level)];
  if (width) *width = bytes.width;
  if (height) *height = bytes.height;
  if (size) *size = bytes.bytes.size();
  if (header_bytes) *header_bytes = size_t(bytes.headerBytes);
  return bytes.bytes.data();
}

int bw_result_layout(const bw_job* job, int level, int* width, int* height, int* channels, int* type) {
  if (!job || level < 0 || size_t(level) >= job->levels.size()) return BW_ERROR_ARGUMENT;
  const BwLevelBytes& bytes = job->levels[size_t(level)];
  if (width) *width = bytes.width;
  if (height) *height = bytes.height;
  if (channels) *channels = bytes.channels;
  if (type)
    *type = bytes.floatValues      ? BW_FLOAT32
            : bytes.valueBytes == 1 ? BW_UINT8
            : bytes.valueBytes == 4 ? BW_UINT32
            : bytes.signedValues    ? BW_INT16
                                    : BW_UINT16;
  return BW_OK;
}

int bw_result_copy(const bw_job* job, int level, void* texels, ptrdiff_t stride_bytes, int top_first, int bgr_order) {
  if (!job || level < 0 || size_t(level) >= job->levels.size() || !texels) return BW_ERROR_ARGUMENT;
  const BwLevelBytes& bytes = job->levels[size_t(level)];
  const ptrdiff_t rowBytes = ptrdiff_t(bytes.width) * bytes.channels * bytes.valueBytes;
  if (stride_bytes == 0) stride_bytes = rowBytes;
  if (stride_bytes < rowBytes) return BW_ERROR_ARGUMENT;
  const BwThreadLimit threads(job->threads);
  BwCopyLevelTexels(bytes, static_cast<unsigned char*>(texels), stride_bytes, top_first != 0, bgr_order != 0);
  return BW_OK;
}

int bw_sample_size(void) { return kBwSampleSize; }

int bw_sample_map(int which, unsigned char* rgb) {
  if (!rgb || which < 0 || which > 2) return BW_ERROR_ARGUMENT;
  BwMakeSample(BwSample(which), rgb);
  return BW_OK;
}

int bw_stats_count(const bw_job* job) { return job ? int(job->stats.size()) : 0; }

int bw_stats_level(const bw_job* job, int level, double* mean, double* p99, double* max) {
  if (!job || level < 0 || size_t(level) >= job->stats.size()) return BW_ERROR_ARGUMENT;
  const BwLevelStats& stats = job->stats[size_t(level)];
  if (mean) *mean = stats.mean;
  if (p99) *p99 = stats.p99;
  if (max) *max = stats.max;
  return BW_OK;
}

const char* bw_job_error(const bw_job* job) { return job ? job->error.c_str() : ""; }

int bw_job_status(const bw_job* job) { return job ? job->status : BW_ERROR_ARGUMENT; }

const char* bw_strerror(int status) {
  switch (status) {
    case BW_OK: return "ok";
    case BW_ERROR_ARGUMENT: return "bad argument";
    case BW_ERROR_COMMAND: return "not a command line, flag word or option the tool takes";
    case BW_ERROR_SETTINGS: return "settings that do not go together";
    case BW_ERROR_OPEN: return "cannot open a file";
    case BW_ERROR_READ: return "cannot read an input";
    case BW_ERROR_SIZE: return "the maps differ in size";
    case BW_ERROR_WRITE: return "cannot write an output";
    case BW_ERROR_MEMORY: return "out of memory";
    default: return "unknown status";
  }
}

}  // extern "C"
