// Output files that are complete or absent; see OutputFile.h.
#include "OutputFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The temporary file of the output being written (one at a time), for BwRemovePendingOutput.
char gPendingTemporary[PATH_MAX + 1];

void SetPendingTemporary(const std::string& path) {
  const size_t length = path.size() <= PATH_MAX ? path.size() : 0;
  std::memcpy(gPendingTemporary, path.data(), length);
  gPendingTemporary[length] = '\0';
}

// Directory part of a path, with its trailing '/', or "" for a bare name.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links at `path` to the name they finally lead to (which may not exist yet).
// False for a loop of links, which cannot be opened.
bool ResolveLinks(std::string* path) {
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::vector<char> link(size_t(PATH_MAX) + 1);
    const ssize_t length = readlink(path->c_str(), link.data(), link.size() - 1);
    if (length <= 0) return false;
    const std::string next(link.data(), size_t(length));
    *path = next[0] == '/' ? next : DirectoryOf(*path) + next;
  }
  return false;
}

// Whether a new file could be given this name: it has a last component, and one its directory
// accepts (the directory itself is checked by creating the temporary file there).
bool NameIsCreatable(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const std::string name = path.substr(directory.size());
  if (name.empty() || name == "." || name == "..") return false;
  const long nameMax = pathconf(directory.empty() ? "." : directory.c_str(), _PC_NAME_MAX);
  return nameMax < 0 || name.size() <= size_t(nameMax);
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(const char* path) {
  target_ = path;
  if (!ResolveLinks(&target_)) return;
  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return;
  if (exists && !S_ISREG(st.st_mode)) {
    // Devices, FIFOs and directories are written (or refused) in place.
    stream_ = std::fopen(target_.c_str(), "wb");
    return;
  }
  // The open fails where opening the file itself for writing would.
  if (exists ? access(target_.c_str(), W_OK) != 0 : !NameIsCreatable(target_)) return;
  // A fresh name that nobody can predict or have linked, created exclusively beside the target
  // so that the final rename stays within one file system.
  std::string pattern = DirectoryOf(target_) + ".bumpweld-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return;
  temporary_ = pattern;
  SetPendingTemporary(temporary_);
  fchmod(fd, exists ? (st.st_mode & 07777) : NewFileMode());
  stream_ = fdopen(fd, "wb");
  if (!stream_) {
    close(fd);
    Discard();
  }
}

OutputFile::~OutputFile() {
  if (stream_) std::fclose(stream_);
  stream_ = nullptr;
  Discard();
}

bool OutputFile::Finish() {
  if (!stream_) return false;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  ok = std::fclose(stream_) == 0 && ok;
  stream_ = nullptr;
  finished_ = ok;
  return ok;
}

bool OutputFile::Publish() {
  if (!finished_) return false;
  finished_ = false;
  if (temporary_.empty()) return true;
  const bool ok = std::rename(temporary_.c_str(), target_.c_str()) == 0;
  if (ok) temporary_.clear();
  Discard();
  return ok;
}

void OutputFile::Discard() {
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
  SetPendingTemporary(temporary_);
}

void BwRemovePendingOutput() {
  if (gPendingTemporary[0] != '\0') unlink(gPendingTemporary);
}
