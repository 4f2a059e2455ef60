// One command line read into a job: the argument forms, the flag word and the long options, the
// usage text and the settings report. Reads nothing but its arguments, touches no process-wide
// setting, never prints and never ends the process, so a batch can read thousands of command
// lines in one process. An argument list that is none of the forms, or holds a long option no
// job knows, comes back with the text the command line prints for it.
#pragma once

#include <string>
#include <vector>

#include "Console.h"
#include "Outputs.h"
#include "Settings.h"

// "Bumpweld v00.00.01\n": the first line of the settings report and the --version text.
extern const char kBwVersionLine[];
// The one-line synopsis, with its line end.
extern const char kBwUsageLine[];
// The letters a flag word may hold, beside '-'.
extern const char kBwFlagLetters[];
// The flag letters, one line each, for the usage text; null-terminated.
extern const char* const kBwFlagHelp[];

// Whether a command-line argument is a long option: "--" followed by lowercase letters, digits
// and '-' (up to an '='), at least one of them not a flag letter of the flag word, so that "--me"
// stays a flag word and "--rond" is an option (and refused).
bool BwIsLongOption(const char* arg);
// Sets what one long option of a job says ("--round", "--bits=16", ...); false, with a message,
// for an option no job knows or a value it does not take.
bool BwApplyLongOption(const char* option, BwSettings* settings, std::string* error);
// Whether `name` ("--round", "--bits": without a value) is a long option of a job.
bool BwIsJobOption(const char* name);
// The long options of a job, one per line, for the usage text.
extern const char* const kBwLongOptionHelp[];

// Sets what the letters of a flag word select; where two letters set the same thing the later
// one in the order m M e E g G h H i s S B q Q wins, whatever their order in the word.
void BwApplyFlagWord(const char* flags, BwSettings* settings);

struct BwCommand {
  enum Outcome {
    RUN,         // one of the argument forms
    HELP,        // --help came first among the requests and refusals
    VERSION,     // --version came first
    USAGE,       // a wrong number of arguments: `message` is the usage text to print
    BAD_OPTION,  // a long option no job takes: `message` is the refusal, without its line end
  };
  Outcome outcome = RUN;
  std::string message;
  // The long options as typed, in order, and the other arguments, in order.
  std::vector<std::string> longOptions;
  std::vector<std::string> words;
  // Which of `words` is what (-1: absent). The height scale is there only for a height map.
  int flagsWord = -1;
  int baseWord = -1;
  int secondWord = -1;
  int scaleWord = -1;
  int outputWord = -1;
  // The defaults, then the flag word, then the long options; bumpMap and bumpScale (read as
  // C's atof reads it, narrowed to float) from the form.
  BwSettings settings;

  const char* Flags() const { return flagsWord >= 0 ? words[size_t(flagsWord)].c_str() : nullptr; }
  const char* ScaleText() const { return scaleWord >= 0 ? words[size_t(scaleWord)].c_str() : nullptr; }
  const std::string& Base() const { return words[size_t(baseWord)]; }
  const std::string& Second() const { return words[size_t(secondWord)]; }
  const std::string& Output() const { return words[size_t(outputWord)]; }
};

// Reads the arguments of one command line (without the program name). Long options stand
// anywhere and are taken out first; the first --help, --version or refused option decides the
// outcome; then three words are base second output, four are flags base second output when
// the first holds a '-' anywhere, else base height scale output, and five are flags base
// height scale output.
BwCommand BwParseCommand(const std::vector<std::string>& args);

// Why a command that is not one of the forms cannot run as a job of a batch (or of the library),
// as one line: the first line of the usage text, the refusal of an option, or that --help,
// --version or a batch option has no place there. "" for a command that runs.
std::string BwCommandRefusal(const BwCommand& command);

// The usage text of a wrong argument count: the synopsis, and the flag lines when
// `withFlags` (no argument or one).
std::string BwUsageText(bool withFlags);

// Runs a command that is one of the forms, with `settings` (the command's own, or ones made from
// it): the settings report on the console first, as the command line prints it, then the job
// on the command's files (see BwRunJob).
bool BwRunCommand(const BwCommand& command, const BwSettings& settings, BwConsole& console,
                  BwOutputWriter& output, std::string* error, int* status = nullptr,
                  std::vector<BwLevelStats>* stats = nullptr);

// Splits one line of a batch file into words as a POSIX shell does: blanks separate words;
// single quotes keep everything; double quotes keep everything but a backslash before $ ` " or
// \; a backslash outside quotes keeps the next character; a '#' that starts a word starts a
// comment. A trailing carriage return is dropped. False with a message for an open quote or a
// backslash at the end of the line.
bool BwSplitBatchLine(const std::string& line, std::vector<std::string>* words, std::string* error);
// The line of a batch file that BwSplitBatchLine reads back as `words`: a word of letters, digits
// and the characters _ - . , / : = + @ % as it is, any other in single quotes ('\'' for a quote).
// A word with a line break has no such line: "" then.
std::string BwJoinBatchLine(const std::vector<std::string>& words);

// The height scale a command line's text gives: the number at its start as C's atof reads it,
// narrowed to float.
float BwReadHeightScale(const char* text);
