// A job: one merge with its own settings, console and outputs, run from start to end by
// BwRunJob. Nothing below this header reads a process-wide setting, so any number of jobs may
// run at once on different threads, each writing exactly what its own command line would.
//
// Failures inside a job unwind as BwFatalError to BwRunJob, which frees everything, removes
// every output not yet put in place and returns the message; the library never ends the
// process and never prints on its own (console text goes to the job's sink, if any).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <bumpweld/bumpweld.h>

#include "BwArray.h"

enum {
  BW_FLIP_BASE = 1,
  BW_FLIP_SECOND = 2,
  BW_FLIP_OUTPUT = 4,
};
// Which value of a height-map texel is the height: the first (blue of a colour texel, the grey
// value of a grey one), one of the colour channels or alpha, or the luma of red, green, blue.
enum BwHeightChannel {
  BW_HEIGHT_FIRST = -1,
  BW_HEIGHT_BLUE = 0,
  BW_HEIGHT_GREEN = 1,
  BW_HEIGHT_RED = 2,
  BW_HEIGHT_ALPHA = 3,
  BW_HEIGHT_LUMA = 4,
};

// Everything the flag word, the argument forms and the long options set.
struct BwSettings {
  int output = 0;           // output encoding, 0 to 7 (see Encoders.h)
  int mipLevels = 0;        // 0: one image; 1 or 2: the whole mip chain
  int quiet = 0;            // 0: everything; 1: no spinner or percentages; 2: no messages
  bool expandTexels = true; // run the border dilation stage
  int dilateTexels = 10;    // number of dilation passes
  bool boxFilter = false;   // box filter the finished full-size image
  bool bumpMap = false;     // the second map is a height map
  float bumpScale = 0.0f;   // height scale, narrowed to float
  int threads = 0;          // 0: the CPUs the process may use
  // Read uncompressed input files through a file mapping instead of copying them. A mapped file
  // that another process cuts short raises SIGBUS on access, so only a caller that handles it
  // (the command line does) should set this.
  bool mapInputs = false;

  // What the long options set (see BwApplyLongOption).
  bool round = false;           // encoders round to nearest (and clamp) instead of truncating
  int outputBits = 8;           // PNG output: 8 or 16 bits a component
  int flipGreen = 0;            // BW_FLIP_* bits: negate y of that input, or of the result
  bool alphaEmpty = false;      // a texel with alpha 0 is empty
  int heightChannel = BW_HEIGHT_FIRST;  // which value of a texel is the height
  std::string exrChannel;       // the channel of an OpenEXR height map ("" : the only one, or Y)
  std::string format;           // encoding of a DDS or KTX2 output ("" : bc5)
  bool sync = true;             // outputs are synced to disk before they are put in place
};

// Whether a command-line argument is a long option: "--" followed by lowercase letters, digits
// and '-' (up to an '='), at least one of them not a flag letter of the flag word, so that "--me"
// stays a flag word and "--rond" is an option (and refused).
bool BwIsLongOption(const char* arg);
// Sets what one long option of a job says ("--round", "--bits=16", ...); false, with a message,
// for an option no job knows or a value it does not take.
bool BwApplyLongOption(const char* option, BwSettings* settings, std::string* error);
// The long options of a job, one per line, for the usage text.
extern const char* const kBwLongOptionHelp[];

// Sets what the letters of a flag word select; where two letters set the same thing the later
// one in the order m M e E g G h H i s S B q Q wins, whatever their order in the word.
void BwApplyFlagWord(const char* flags, BwSettings* settings);

// ---- Console ----------------------------------------------------------------------------
enum BwStream { BW_STDOUT = 1, BW_STDERR = 2 };
// Receives console text: what the command line writes to standard output or standard error.
using BwSink = std::function<void(int stream, const char* text, size_t length)>;

// The console of one job: messages, spinner frames and stage ends, filtered by the quiet level,
// handed to a sink. Without a sink it is silent.
class BwConsole {
 public:
  BwConsole() = default;
  BwConsole(int quiet, BwSink sink) : quiet_(quiet), sink_(std::move(sink)) {}

  int Quiet() const { return quiet_; }
  // The spinner phase, 0 to 3: the next frame drawn.
  int SpinnerPhase() const { return spinner_; }
  void SetSpinnerPhase(int phase) { spinner_ = phase & 3; }
  // printf-style message, cut at 4095 characters, written as formatted (a '%' brought in by an
  // argument stays literal); nothing at quiet level 2.
  void Message(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void VMessage(const char* format, va_list args);
  // `count` spinner frames (\ | / - from the current phase), at quiet level 0 only.
  void Spinner(int64_t count);
  // The lone "\r" that ends a long stage, at quiet level 0 only.
  void EndStage() { Progress("\r"); }
  // Text shown at quiet level 0 only (percentage marks).
  void Progress(const char* text);
  // A file module's diagnostic, on the error stream whatever the quiet level.
  void Diagnostic(const char* text);

 private:
  void Write(int stream, const char* text, size_t length) const;

  int quiet_ = 0;
  int spinner_ = 0;
  BwSink sink_;
};

// Diagnostics of the file modules go to the console of the job running on this thread; a
// direct call outside any job writes them to standard error.
void BwDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Makes `console` the one BwDiagnostic writes to on this thread while the scope lasts.
class BwDiagnosticScope {
 public:
  explicit BwDiagnosticScope(BwConsole* console);
  ~BwDiagnosticScope();
  BwDiagnosticScope(const BwDiagnosticScope&) = delete;
  BwDiagnosticScope& operator=(const BwDiagnosticScope&) = delete;

 private:
  BwConsole* previous_;
};

// ---- A running job ----------------------------------------------------------------------
// The failure that ends a job: the message as the command line prints it, without its "\n".
// `code` is the kind of failure, a BW_ERROR_ code of the C interface.
struct BwFatalError {
  std::string message;
  int code = BW_ERROR_READ;
};

// What the stages of a running job share: its settings, its console and the size of the image
// being made (the base map sets it, the mip chain halves it).
struct BwRun {
  BwRun(const BwSettings& s, BwConsole& c) : settings(s), console(c) {}
  const BwSettings& settings;
  BwConsole& console;
  int width = 0;
  int height = 0;
  int encoding = 0;  // the encoding code of the output (see Encoders.h)

  // Prints the message (as BwConsole::Message) and ends the job with it; `code` says what kind
  // of failure it is (a BW_ERROR_ code).
  [[noreturn]] void Fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

// Throws BwFatalError after an allocation failed.
[[noreturn]] void BwFailAllocation(BwRun& run);

// ---- Inputs -----------------------------------------------------------------------------
// An image in memory: `channels` values a texel (1 grey, 2 grey and alpha, 3 colour, 4 colour
// and alpha) of the component type `type` (8-bit, 16-bit, float; see MapLoaders.h), rows
// `strideBytes` apart (0: packed), the first row the top of the picture or the bottom, colour
// texels in red, green, blue order or in Targa order (blue, green, red).
struct BwMemoryImage {
  const void* texels = nullptr;
  int type = 0;
  int width = 0;
  int height = 0;
  int channels = 3;
  int64_t strideBytes = 0;
  bool topFirst = true;
  bool targaOrder = false;
};

// One input of a job: a file name, or an image in memory (then `name` only names it in
// messages).
struct BwInput {
  std::string name;
  const BwMemoryImage* image = nullptr;
};

// ---- Outputs ----------------------------------------------------------------------------
// Where the levels of a job go. Level() receives each level in order, largest first, as
// encoded texels to be taken one piece at a time; the writer may keep them pending and puts
// them in place only in Finish(), so that a failed job leaves nothing behind. A writer that is
// destroyed without Finish() discards what it holds.
class BwOutputWriter {
 public:
  virtual ~BwOutputWriter() = default;
  // Whether a level written to this writer can still be discarded afterwards (a device or a
  // pipe cannot take back what it was given).
  virtual bool CanDiscard(BwRun& run, int level) = 0;
  // Writes a width x height level. When `keep` is given and says no once every texel is made,
  // or the source stops early (it returns false), the level is dropped and the result is
  // false; any other failure ends the job.
  virtual bool Level(BwRun& run, int level, const BwTexelSource& encoded,
                     const std::function<bool()>& keep) = 0;
  // Puts every level in place; failures end the job.
  virtual void Finish(BwRun& run) = 0;
  // The encoding code (see Encoders.h) of the levels this output takes for the job's settings;
  // ends the job when they ask for one it cannot hold.
  virtual int Encoding(BwRun& run);
};

// Output files named as the command line names them: the output name itself, or with a mip
// chain one numbered file per level (out.tga -> out00.tga, out01.tga, ...). The observer, if
// any, is told of every named temporary file (see OutputFile.h).
class BwOutputObserver;
// When `published` is given it receives the names of the files put in place.
std::unique_ptr<BwOutputWriter> BwFileOutput(const std::string& outName,
                                             BwOutputObserver* observer = nullptr,
                                             std::vector<std::string>* published = nullptr);

// One level as the file writer would have written it: the whole file's bytes.
struct BwLevelBytes {
  int width = 0;
  int height = 0;
  int headerBytes = 0;  // bytes before the first texel
  std::vector<unsigned char> bytes;
};
// Levels kept in memory, in `levels`.
std::unique_ptr<BwOutputWriter> BwMemoryOutput(std::vector<BwLevelBytes>* levels);

// ---- Running a job ----------------------------------------------------------------------
// Runs the merge of `base` and `second` into `output` with `settings`, printing through
// `console`. Returns true on success; on failure false with the message in *error (without its
// line end), every buffer freed and nothing left of the outputs. `scaleText` is the height
// scale as the user typed it, for the message that refuses one that is not finite (null: the
// number is shown).
// *status, when given, receives BW_OK or the kind of the failure.
bool BwRunJob(const BwSettings& settings, BwConsole& console, const BwInput& base,
              const BwInput& second, BwOutputWriter& output, std::string* error,
              const char* scaleText = nullptr, int* status = nullptr) noexcept;

// The file name of mip level `level` for the output name outName, in a container of one file
// per level.
std::string BwLevelFileName(const std::string& outName, bool mipChain, int level);
// Whether a file name ends in `extension` (a dot and lowercase letters), in any case.
bool BwHasExtension(const std::string& name, const char* extension);
// Whether the output name outName is a container that holds a whole mip chain in one file: a
// name ending in .dds or .ktx2, in any case.
bool BwIsChainContainer(const std::string& outName);
// The file that level `level` of a job's output outName goes to.
std::string BwOutputFileName(const std::string& outName, bool mipChain, int level);
// The files a job writes for the output name outName when its base map is width x height, in
// the order they are written: the output name itself, or with a mip chain one numbered file per
// level (out.tga -> out00.tga, out01.tga, ...), except that a DDS or KTX2 file holds them all.
std::vector<std::string> BwOutputFileNames(const std::string& outName, bool mipChain, int width, int height);
