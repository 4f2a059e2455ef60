// Fuzz target: batch files and input headers. Every line of the input goes through the line
// splitter and the command-line parser, and the whole input through the header probe; none may
// crash, and a probe that answers must give a size the readers accept.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Batch.h"
#include "CommandParser.h"
#include "ImageProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::vector<std::string> words;
    std::string error;
    if (BwSplitBatchLine(text.substr(start, end - start), &words, &error) && !words.empty()) {
      const BwCommand command = BwParseCommand(words);
      if (command.outcome == BwCommand::RUN && (command.Output().size() > size || command.Base().size() > size))
        std::abort();
    } else if (!error.empty() && error.rfind("ERROR: ", 0) != 0) {
      std::abort();
    }
    start = end + 1;
  }
  BwImageProbe probe;
  if (BwProbeImage(data, size, size, &probe) &&
      (probe.width < 1 || probe.height < 1 || probe.width > 65535 || probe.height > 65535))
    std::abort();
  return 0;
}
