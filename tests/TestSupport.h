// Helpers shared by the tests: scratch directories, files, Targa images and runs of the real
// executable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The path of `name` inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// An uncompressed Targa file: 18-byte header (image type, depth, descriptor as given) + texels.
Bytes MakeTga(int width, int height, int bitDepth, const Bytes& texels, int imageType = 2,
              int descriptor = 0);

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally (a signal)
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the bumpweld executable with `args` in directory `cwd` (empty: the current one), after
// the shell words `prefix` (such as "taskset -c 0 ").
RunResult Run(const std::vector<std::string>& args, const std::string& cwd = "",
              const std::string& prefix = "");

bool EndsWith(const std::string& text, const std::string& suffix);

// Directory of the shared real texture maps, or "" when it is absent.
std::string TexturesDir();
