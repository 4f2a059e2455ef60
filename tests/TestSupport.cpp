#include "TestSupport.h"

#include "BwVector.h"
#include "Parallel.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace fs = std::filesystem;

TempDir::TempDir() : path_((fs::temp_directory_path() / "bumpweld-test-XXXXXX").string()) {
  if (!mkdtemp(path_.data())) std::abort();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Repeat(const Bytes& texel, int count) {
  Bytes texels;
  while (count-- > 0) texels.insert(texels.end(), texel.begin(), texel.end());
  return texels;
}

Bytes Written(const std::function<void(FILE*)>& write) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buffer, &size);
  write(fp);
  std::fclose(fp);
  const Bytes bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

Bytes MakeTga(int width, int height, int bitDepth, const Bytes& texels, int imageType, int descriptor) {
  using B = unsigned char;
  return Cat({{0, 0, B(imageType), 0, 0, 0, 0, 0, 0, 0, 0, 0, B(width), B(width >> 8), B(height), B(height >> 8),
               B(bitDepth), B(descriptor)}, texels});
}

void WriteTestMaps(const std::string& dir, int w, int h) {
  using B = unsigned char;
  Bytes base, detail, height;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool empty = x < 3 && y < 2;
      base.insert(base.end(), {B(empty ? 127 : 230 - x % 30), B(empty ? 127 : 90 + y * 3 % 70), B(empty ? 127 : 60 + x * 4 % 150)});
      detail.insert(detail.end(), {B(240 - (x * y) % 50), B(128 + (x * 7) % 40), B(100 + (y * 5) % 60)});
      height.push_back(B((x * 13 + y * y * 3) % 256));
    }
  WriteFile(dir + "/base.tga", MakeTga(w, h, 24, base));
  WriteFile(dir + "/detail.tga", MakeTga(w, h, 24, detail));
  WriteFile(dir + "/height.tga", MakeTga(w, h, 8, height, 3));
}

RunResult Run(const std::vector<std::string>& args, const std::string& cwd, const std::string& prefix) {
  auto quote = [](const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  };
  TempDir capture;
  std::string command = (cwd.empty() ? "" : "cd " + quote(cwd) + " && ") + prefix + quote(BUMPWELD_EXE);
  for (const std::string& arg : args) command += " " + quote(arg);
  command += " >" + quote(capture / "out") + " 2>" + quote(capture / "err") + " </dev/null";
  const int raw = std::system(command.c_str());
  // The shell reports a child killed by a signal as status 128 + signal.
  const int status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  const Bytes out = ReadFile(capture / "out"), err = ReadFile(capture / "err");
  return {status < 128 || status == 255 ? status : -1, {out.begin(), out.end()}, {err.begin(), err.end()}};
}

int Shell(const std::string& script, const std::string& cwd) {
  setenv("BW", BUMPWELD_EXE, 1);
  const int raw = std::system(("cd '" + cwd + "' && (" + script + ") </dev/null").c_str());
  return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::map<std::string, Bytes> Files(const std::string& root) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    const fs::file_status status = fs::symlink_status(entry.path());
    if (fs::is_symlink(status)) {
      const std::string target = "-> " + fs::read_symlink(entry.path()).string();
      files[name] = Bytes(target.begin(), target.end());
    } else if (fs::is_regular_file(status)) {
      files[name] = ReadFile(entry.path().string());
    } else if (fs::is_directory(status)) {
      for (const auto& [inner, bytes] : Files(entry.path().string())) files[name + "/" + inner] = bytes;
    }
  }
  return files;
}

bool HasTemporaries(const std::string& dir) {
  for (const auto& [name, bytes] : Files(dir))
    if (fs::path(name).filename().string().rfind(".bumpweld-", 0) == 0) return true;
  return false;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Spin(int count, int phase) {
  std::string frames;
  for (int i = 0; i < count; ++i) frames += std::string("\r") + "\\|/-"[(phase + i) % 4];
  return frames;
}

void ExpectSameBytesEverywhere(size_t bytes, uint64_t hash, const std::function<void(unsigned char*, int)>& encode) {
  std::vector<unsigned char> all(bytes), one(bytes);
  encode(all.data(), int(BwFastestVectorVersion()));
  {
    BwThreadLimit limit(1);
    encode(one.data(), int(BwFastestVectorVersion()));
  }
  EXPECT_EQ(all, one);
  uint64_t fnv1a = 14695981039346656037ull;
  for (unsigned char b : all) fnv1a = (fnv1a ^ b) * 1099511628211ull;
  EXPECT_EQ(fnv1a, hash);
  for (BwVectorVersion code : {BwVectorVersion::BASELINE, BwVectorVersion::AVX2, BwVectorVersion::AVX512}) {
    if (!BwVectorVersionRuns(code)) continue;
    std::vector<unsigned char> version(bytes);
    encode(version.data(), int(code));
    EXPECT_EQ(version, all) << "version " << int(code);
  }
}
