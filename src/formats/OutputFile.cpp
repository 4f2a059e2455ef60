// Output files that are complete or absent; see OutputFile.h.
#include "OutputFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {


// Directory part of a path, with its trailing '/', or "" for a bare name.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const char* OrDot(const std::string& directory) { return directory.empty() ? "." : directory.c_str(); }

// The descriptor a name stands for (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N, or
// /proc/P/fd/N with P this process), or -1. Such a name is written through its descriptor:
// following its link instead would lead to "pipe:[N]", to "X (deleted)", or to a file opened for
// appending that a rename would then wipe out.
int DescriptorNamed(const std::string& path) {
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  const std::string prefixes[] = {"/dev/fd/", "/proc/self/fd/", "/proc/" + std::to_string(getpid()) + "/fd/"};
  for (const std::string& prefix : prefixes) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string number = path.substr(prefix.size());
    // At most nine digits: no overflow of an int.
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos)
      return -1;
    return std::atoi(number.c_str());
  }
  return -1;
}

// Follows symbolic links at `path` to the name they finally lead to (which may not exist yet),
// stopping at a name for one of the process's descriptors (*descriptor then tells which). False
// for a loop of links, which cannot be opened.
bool ResolveLinks(std::string* path, int* descriptor) {
  for (int hops = 0; hops <= 40; ++hops) {
    *descriptor = DescriptorNamed(*path);
    struct stat st;
    if (*descriptor >= 0 || lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string link(size_t(PATH_MAX) + 1, '\0');
    const ssize_t length = readlink(path->c_str(), link.data(), link.size() - 1);
    if (length <= 0) return false;
    link.resize(size_t(length));
    *path = link[0] == '/' ? link : DirectoryOf(*path) + link;
  }
  errno = ELOOP;
  return false;
}

// Whether a new file could be given this name: it has a last component, and one its directory
// accepts (the directory itself is checked by creating the temporary file there).
bool NameIsCreatable(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const std::string name = path.substr(directory.size());
  errno = ENOENT;
  if (name.empty() || name == "." || name == "..") return false;
  const long nameMax = pathconf(OrDot(directory), _PC_NAME_MAX);
  errno = ENAMETOOLONG;
  return nameMax < 0 || name.size() <= size_t(nameMax);
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// How the output at a path is written.
struct Plan {
  std::string target;   // symbolic links resolved
  int descriptor = -1;  // the process's descriptor the name stands for, or -1
  bool exists = false;  // an existing file (st describes it)
  struct stat st = {};
  bool inPlace = false;
};

// False when the path cannot be written at all (errno tells why).
bool MakePlan(const char* path, Plan* plan) {
  plan->target = path;
  if (!ResolveLinks(&plan->target, &plan->descriptor)) return false;
  const char* target = plan->target.c_str();
  plan->inPlace = plan->descriptor >= 0;
  if (plan->inPlace) return true;
  plan->exists = stat(target, &plan->st) == 0;
  if (!plan->exists) return errno == ENOENT && NameIsCreatable(plan->target);
  // Devices and FIFOs are written in place (a directory fails at the open). The open of an
  // existing file fails where opening the file itself for writing would.
  if (!S_ISREG(plan->st.st_mode)) return plan->inPlace = true;
  if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) return false;
  // A file with other hard links is rewritten so that every link sees the new content (as cp
  // does). A directory that refuses new names would refuse the temporary file; the shell's `>`
  // still writes such a file, and so does this, in place.
  plan->inPlace = plan->st.st_nlink > 1 ||
                  faccessat(AT_FDCWD, OrDot(DirectoryOf(plan->target)), W_OK | X_OK, AT_EACCESS) != 0;
  return true;
}

// A name beside the others in `directory` that nobody can predict: ".bumpweld-" and ten letters
// from the kernel's random source (or, failing that, from the clock, the process and a count).
std::string RandomName(const std::string& directory) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[10];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != ssize_t(sizeof bytes)) {
    static std::atomic<uint64_t> count{0};
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 30) ^ (uint64_t(getpid()) << 44) ^
                 (++count * 0x9E3779B97F4A7C15u);
    for (unsigned char& b : bytes) {
      x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9u;
      b = static_cast<unsigned char>(x >> 56);
    }
  }
  std::string name = directory + ".bumpweld-";
  for (unsigned char b : bytes) name += kLetters[b % 62];
  return name;
}

// Makes a file under a fresh name in `directory` with `make` (an exclusive create or a link),
// telling the observer of the name before it is tried, so that no moment exists at which the
// file has a name the observer does not know. The name, or "" (errno tells why).
template <typename Make>
std::string FreshName(const std::string& directory, BwOutputObserver* observer, const Make& make) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = RandomName(directory);
    if (observer) observer->Created(name.c_str());
    if (make(name)) return name;
    const int error = errno;
    if (observer) observer->Gone(name.c_str());
    errno = error;
    if (error != EEXIST) break;
  }
  return std::string();
}

// Syncs the directory that just took a new name. A directory this process may not read cannot be
// opened to be synced, and some file systems cannot sync one (EINVAL): neither fails the output.
bool SyncDirectory(const std::string& directory) {
  const int fd = open(OrDot(directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool ok = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return ok;
}

}  // namespace

OutputFile::OutputFile(const char* path, BwOutputObserver* observer, BwTemporary temporary)
    : observer_(observer) {
  Plan plan;
  if (!path || !MakePlan(path, &plan)) return;
  target_ = plan.target;
  int fd = -1;
  if (plan.descriptor >= 0) {
    // Text the console already holds for this descriptor goes out ahead of the file.
    if (plan.descriptor == STDOUT_FILENO) std::fflush(stdout);
    fd = fcntl(plan.descriptor, F_DUPFD_CLOEXEC, 0);
  } else {
    if (!plan.inPlace) {
      fd = CreateTemporary(plan.exists, temporary);
      // The same refusal as above, found only by trying (access control lists, security modules).
      if (fd < 0 && plan.exists && (errno == EACCES || errno == EPERM)) plan.inPlace = true;
    }
    if (plan.inPlace) fd = open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0 && plan.exists && S_ISREG(plan.st.st_mode)) {
      // Owner and group stay where this process may keep them; where it may not, the new content
      // belongs to the process, as with any file it creates.
      if (fchown(fd, plan.st.st_uid, plan.st.st_gid) != 0) {
      }
      // Set-user-ID and set-group-ID bits were granted to the old content, not to this.
      fchmod(fd, plan.st.st_mode & 07777 & ~mode_t(06000));
    }
  }
  if (fd >= 0) stream_ = fdopen(fd, "wb");
  if (!stream_) {
    const int error = errno;
    if (fd >= 0) close(fd);
    if (!temporary_.empty()) unlink(temporary_.c_str());
    if (!temporary_.empty() && observer_) observer_->Gone(temporary_.c_str());
    temporary_.clear();
    errno = error;
    return;
  }
  opened_ = true;
}

int OutputFile::CreateTemporary(bool replacing, BwTemporary temporary) {
  const std::string directory = DirectoryOf(target_);
  if (temporary == BwTemporary::AUTO) {
    // A file without a name until it is linked in place: nothing to remove should the process
    // end in any way. The mode of a new file is 0666 less the umask, as for any created file.
    const int fd = open(OrDot(directory), O_TMPFILE | O_WRONLY | O_CLOEXEC, replacing ? 0600 : 0666);
    if (fd >= 0) {
      kind_ = Kind::UNNAMED;
      return fd;
    }
    // Refusals of unnamed files by the kernel or the file system, which named ones may pass.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  }
  int fd = -1;
  temporary_ = FreshName(directory, observer_, [&fd](const std::string& name) {
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd >= 0;
  });
  if (fd < 0) return -1;
  kind_ = Kind::NAMED;
  if (!replacing) fchmod(fd, NewFileMode());
  return fd;
}

OutputFile::~OutputFile() {
  // An unnamed file that was never linked goes with its descriptor.
  CloseStream();
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    if (observer_) observer_->Gone(temporary_.c_str());
  }
}

bool OutputFile::CloseStream() {
  if (!stream_) return true;
  const bool ok = std::fclose(stream_) == 0;
  stream_ = nullptr;
  return ok;
}

bool OutputFile::Finish() {
  if (state_ == State::FINISHED) return true;
  if (state_ != State::WRITING || !stream_) return false;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  // Devices, FIFOs and terminals have nothing to sync to disk.
  struct stat st;
  if (ok && sync_ && fstat(fileno(stream_), &st) == 0 && S_ISREG(st.st_mode)) ok = fsync(fileno(stream_)) == 0;
  // The unnamed file keeps its descriptor until it is linked.
  if (kind_ != Kind::UNNAMED) ok = CloseStream() && ok;
  state_ = ok ? State::FINISHED : State::FAILED;
  return ok;
}

bool OutputFile::Publish() {
  if (state_ == State::PUBLISHED) return true;
  if (state_ != State::FINISHED) return false;
  bool ok = true;
  if (kind_ == Kind::UNNAMED) {
    ok = LinkUnnamed();
    // Finish() flushed and synced every byte: closing has nothing left to fail.
    CloseStream();
  } else if (kind_ == Kind::NAMED) {
    ok = std::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (ok && observer_) observer_->Gone(temporary_.c_str());
    if (ok) temporary_.clear();
  }
  if (ok && sync_ && kind_ != Kind::IN_PLACE) ok = SyncDirectory(DirectoryOf(target_));
  state_ = ok ? State::PUBLISHED : State::FAILED;
  return ok;
}

bool OutputFile::LinkUnnamed() {
  const int fd = fileno(stream_);
  char procPath[40];
  std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
  const auto linkTo = [&](const std::string& name) {
    if (linkat(AT_FDCWD, procPath, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    // Without /proc, through the descriptor itself (which takes CAP_DAC_READ_SEARCH).
    return errno == ENOENT && linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
  };
  if (linkTo(target_)) return true;
  if (errno != EEXIST) return false;
  // A link never replaces a name: the file is linked under a fresh name beside the target, which
  // the rename then moves over it. Only between the two does the file have a name of its own.
  const std::string name = FreshName(DirectoryOf(target_), observer_, linkTo);
  if (name.empty()) return false;
  const bool renamed = std::rename(name.c_str(), target_.c_str()) == 0;
  const int error = errno;
  if (!renamed) unlink(name.c_str());
  if (observer_) observer_->Gone(name.c_str());
  errno = error;
  return renamed;
}

bool OutputFile::WouldBeInPlace(const char* path) {
  Plan plan;
  return path && MakePlan(path, &plan) && plan.inPlace;
}

OutputFile* BwOutputSet::Add(const char* path, BwTemporary temporary) {
  auto file = std::make_unique<OutputFile>(path, observer_, temporary);
  if (!*file) return nullptr;
  files_.push_back(std::move(file));
  return files_.back().get();
}

bool BwOutputSet::Commit() {
  for (const auto& file : files_)
    if (!file->Finish()) return false;
  for (const auto& file : files_)
    if (!file->Publish()) return false;
  return true;
}

bool BwOutputSet::InPlace() const {
  return std::any_of(files_.begin(), files_.end(), [](const auto& file) { return file->InPlace(); });
}
