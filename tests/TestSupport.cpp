#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "bumpweld-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

Bytes MakeTga(int width, int height, int bitDepth, const Bytes& texels, int imageType,
              int descriptor) {
  Bytes file(18 + texels.size(), 0);
  file[2] = static_cast<unsigned char>(imageType);
  file[12] = static_cast<unsigned char>(width & 0xFF);
  file[13] = static_cast<unsigned char>(width >> 8);
  file[14] = static_cast<unsigned char>(height & 0xFF);
  file[15] = static_cast<unsigned char>(height >> 8);
  file[16] = static_cast<unsigned char>(bitDepth);
  file[17] = static_cast<unsigned char>(descriptor);
  if (!texels.empty()) std::memcpy(file.data() + 18, texels.data(), texels.size());
  return file;
}

static std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

RunResult Run(const std::vector<std::string>& args, const std::string& cwd, const std::string& prefix) {
  TempDir capture;
  std::string command;
  if (!cwd.empty()) command += "cd " + Quote(cwd) + " && ";
  command += prefix + Quote(BUMPWELD_EXE);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " >" + Quote(capture / "out") + " 2>" + Quote(capture / "err") + " </dev/null";
  const int raw = std::system(command.c_str());
  RunResult result;
  // The shell reports a child killed by a signal as status 128 + signal.
  if (raw != -1 && WIFEXITED(raw) && WEXITSTATUS(raw) < 128) result.status = WEXITSTATUS(raw);
  if (raw != -1 && WIFEXITED(raw) && WEXITSTATUS(raw) == 255) result.status = 255;
  const Bytes out = ReadFile(capture / "out");
  const Bytes err = ReadFile(capture / "err");
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string TexturesDir() {
  const char* dir = BUMPWELD_TEXTURES;
  std::error_code ignored;
  return fs::is_directory(dir, ignored) ? std::string(dir) : std::string();
}
