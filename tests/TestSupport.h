// Helpers shared by the tests: scratch directories, files, Targa images, runs of the real
// executable and captured console output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
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
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);
Bytes Cat(std::initializer_list<Bytes> parts);
inline Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
// `count` copies of `texel`.
Bytes Repeat(const Bytes& texel, int count);
// What `write` puts on a memory stream.
Bytes Written(const std::function<void(FILE*)>& write);
// An uncompressed Targa file: 18-byte header (image type, depth, descriptor as given) + texels.
Bytes MakeTga(int width, int height, int bitDepth, const Bytes& texels, int imageType = 2, int descriptor = 0);

// base.tga (a normal map with an empty 3 x 2 corner, so dilation has work), detail.tga and an
// 8-bit height.tga of w x h texels in dir, asymmetric so that a flipped row or channel shows.
void WriteTestMaps(const std::string& dir, int w, int h);

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally (a signal)
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the bumpweld executable with `args` in directory `cwd` (empty: the current one), after
// the shell words `prefix` (such as "taskset -c 0 ").
RunResult Run(const std::vector<std::string>& args, const std::string& cwd = "", const std::string& prefix = "");

// Runs the shell script `script` in `cwd`, where "$BW" names the bumpweld executable; its status.
int Shell(const std::string& script, const std::string& cwd);

// Every file under `root` by its path relative to it: a regular file's bytes, a symbolic link's
// "-> target" (not followed); directories only through what they hold.
std::map<std::string, Bytes> Files(const std::string& root);
// Whether `dir` holds a temporary output file.
bool HasTemporaries(const std::string& dir);

bool EndsWith(const std::string& text, const std::string& suffix);

// Checks a block encoder's determinism: encode(out, version) with every processor version that
// runs here and on one thread gives the bytes of the default run, whose FNV-1a hash is `hash`
// (pinned, so the baseline build checks the same bytes). `bytes` is the size of its output.
void ExpectSameBytesEverywhere(size_t bytes, uint64_t hash, const std::function<void(unsigned char*, int)>& encode);
// `count` spinner frames from `phase` (0 to 3) on.
std::string Spin(int count, int phase = 0);

// What `f` prints on standard output, or on standard error.
template <typename F>
std::string Printed(F f, bool toStderr = false) {
  toStderr ? testing::internal::CaptureStderr() : testing::internal::CaptureStdout();
  f();
  return toStderr ? testing::internal::GetCapturedStderr() : testing::internal::GetCapturedStdout();
}
