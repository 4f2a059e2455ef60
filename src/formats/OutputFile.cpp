// Output files that are complete or absent; see OutputFile.h.
#include "OutputFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

// Links the unnamed file open on `fd` to `name` (never replacing one).
bool LinkDescriptor(int fd, const std::string& name) {
  char procPath[40];
  std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, procPath, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  // Without /proc, through the descriptor itself (which takes CAP_DAC_READ_SEARCH).
  return errno == ENOENT && linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string cwd(size_t(PATH_MAX), '\0');
  if (!getcwd(cwd.data(), cwd.size())) return path;
  cwd.resize(std::strlen(cwd.c_str()));
  return cwd + "/" + path;
}

// The journal of a set of outputs whose first target is `target`: beside it, named after it, so
// that the next run writing the same outputs finds it.
constexpr char kJournalPrefix[] = ".bumpweld-journal-";
constexpr char kJournalHeader[] = "bumpweld journal 1\n";
constexpr char kCommitMark[] = "commit\n";

std::string JournalFor(const std::string& target) {
  const std::string directory = DirectoryOf(target);
  uint64_t hash = 0xcbf29ce484222325u;
  for (size_t i = directory.size(); i < target.size(); ++i) hash = (hash ^ uint8_t(target[i])) * 0x100000001b3u;
  char name[64];
  std::snprintf(name, sizeof name, "%s%016llx", kJournalPrefix, static_cast<unsigned long long>(hash));
  return directory + name;
}

// An exclusive lock on a directory while it lives (none where the directory cannot be opened).
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory)
      : fd_(open(OrDot(directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;
};

bool SyncDirectories(const std::vector<std::string>& directories) {
  bool ok = true;
  for (const std::string& directory : directories) ok = SyncDirectory(directory) && ok;
  return ok;
}

// A journal's entries, (own name, target) pairs, and whether it was committed. False for a file
// that cannot be read or is not a journal this program wrote.
bool ReadJournal(const std::string& path, std::vector<std::pair<std::string, std::string>>* entries,
                 bool* committed) {
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (!fp) return false;
  std::string text;
  char buffer[4096];
  for (size_t n; text.size() < (size_t(1) << 24) && (n = std::fread(buffer, 1, sizeof buffer, fp)) > 0;)
    text.append(buffer, n);
  std::fclose(fp);
  const size_t header = sizeof kJournalHeader - 1;
  errno = EINVAL;
  if (text.compare(0, header, kJournalHeader) != 0) return false;
  // Names end with a NUL byte and an empty name ends the list; a list cut short was never
  // committed.
  size_t pos = header;
  std::vector<std::string> names;
  bool ended = false;
  for (size_t end; !ended && (end = text.find('\0', pos)) != std::string::npos; pos = end + 1) {
    ended = end == pos;
    if (!ended) names.push_back(text.substr(pos, end - pos));
  }
  for (size_t i = 0; i + 1 < names.size(); i += 2) entries->emplace_back(names[i], names[i + 1]);
  *committed = ended && names.size() % 2 == 0 && text.compare(pos, std::string::npos, kCommitMark) == 0;
  return true;
}

// Finishes what the journal at `path` says: renames its files over their targets when it was
// committed, else removes them; then removes the journal. The caller holds the directory lock.
bool Recover(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> entries;
  bool committed = false;
  if (!ReadJournal(path, &entries, &committed)) return errno == ENOENT;
  std::vector<std::string> directories = {DirectoryOf(path)};
  bool ok = true;
  for (const auto& [name, target] : entries) {
    if (committed) {
      if (std::rename(name.c_str(), target.c_str()) != 0 && errno != ENOENT) ok = false;
      directories.push_back(DirectoryOf(target));
    } else if (unlink(name.c_str()) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  ok = SyncDirectories(directories) && ok;
  return ok && unlink(path.c_str()) == 0;
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
  // A regular file is synced when it is put in place, with the files published with it; its
  // writeback starts now, so that the disk works while the job makes the next one. Devices,
  // FIFOs and terminals have nothing to sync to disk.
  struct stat st;
  if (ok && sync_ && fstat(fileno(stream_), &st) == 0 && S_ISREG(st.st_mode)) {
    unsynced_ = true;
    BwStartWriteback(stream_);
  } else if (kind_ != Kind::UNNAMED) {
    ok = CloseStream() && ok;
  }
  state_ = ok ? State::FINISHED : State::FAILED;
  return ok;
}

bool OutputFile::SyncFinished() {
  if (!unsynced_) return true;
  unsynced_ = false;
  bool ok = fsync(fileno(stream_)) == 0;
  // The unnamed file keeps its descriptor until it is linked.
  if (kind_ != Kind::UNNAMED) ok = CloseStream() && ok;
  if (!ok) state_ = State::FAILED;
  return ok;
}

bool OutputFile::Publish() { return BwPublishTogether({this}, nullptr); }

bool OutputFile::WouldBeInPlace(const char* path) {
  Plan plan;
  return path && MakePlan(path, &plan) && plan.inPlace;
}

bool BwRecoverOutput(const char* path) {
  std::string target = path;
  int descriptor = -1;
  if (!ResolveLinks(&target, &descriptor) || descriptor >= 0) return true;
  const DirectoryLock lock(DirectoryOf(target));
  return Recover(JournalFor(target));
}

int BwRecoverOutputs(const char* directory, std::string* error) {
  const std::string prefix = std::string(directory) + "/";
  DIR* dir = opendir(directory);
  if (!dir) {
    *error = std::string("ERROR: Unable to open ") + directory;
    return -1;
  }
  std::vector<std::string> journals;
  while (const dirent* entry = readdir(dir))
    if (std::strncmp(entry->d_name, kJournalPrefix, sizeof kJournalPrefix - 1) == 0)
      journals.push_back(prefix + entry->d_name);
  closedir(dir);
  const DirectoryLock lock(prefix);
  for (const std::string& journal : journals) {
    if (!Recover(journal)) {
      *error = "ERROR: Unable to recover " + journal;
      return -1;
    }
  }
  return int(journals.size());
}

bool BwPublishTogether(const std::vector<OutputFile*>& files, std::string* failed) {
  using State = OutputFile::State;
  using Kind = OutputFile::Kind;
  for (OutputFile* file : files) {
    if (file->state_ != State::PUBLISHED && file->state_ != State::FINISHED) {
      if (failed) *failed = file->target_;
      errno = EINVAL;
      return false;
    }
  }
  // Every file's bytes on disk, one after another: each one's writeback started when it was
  // finished, so these wait mostly for the last of it, and the file system logs them together.
  for (OutputFile* file : files) {
    if (file->state_ == State::FINISHED && !file->SyncFinished()) {
      if (failed) *failed = file->target_;
      return false;
    }
  }
  std::vector<OutputFile*> moving;  // the files to put in place
  for (OutputFile* file : files) {
    if (file->state_ == State::PUBLISHED) continue;
    if (file->kind_ == Kind::IN_PLACE)
      file->state_ = State::PUBLISHED;
    else
      moving.push_back(file);
  }
  if (moving.empty()) return true;
  OutputFile* const first = moving.front();
  const bool sync = first->sync_;
  BwOutputObserver* const observer = first->observer_;
  const DirectoryLock lock(DirectoryOf(first->target_));
  const std::string journal = JournalFor(first->target_);
  Recover(journal);  // what a killed run writing these outputs left

  // A single new file is linked to its name at once: a link never replaces a name, so the file
  // appears whole or not at all, and it never has another name.
  if (moving.size() == 1 && first->kind_ == Kind::UNNAMED &&
      LinkDescriptor(fileno(first->stream_), first->target_)) {
    first->CloseStream();
    first->state_ = State::PUBLISHED;
    return !sync || SyncDirectory(DirectoryOf(first->target_));
  }

  // The journal first: the name each file gets beside its target, and the targets.
  std::vector<std::string> names, directories = {DirectoryOf(first->target_)};
  std::string text = kJournalHeader;
  for (OutputFile* file : moving) {
    names.push_back(file->kind_ == Kind::NAMED ? file->temporary_ : RandomName(DirectoryOf(file->target_)));
    for (const std::string& name : {Absolute(names.back()), Absolute(file->target_)})
      text.append(name.c_str(), name.size() + 1);
    directories.push_back(DirectoryOf(file->target_));
  }
  text += '\0';
  std::sort(directories.begin(), directories.end());
  directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
  if (observer) observer->PublishBegin();
  int fd = -1;
  // Before the point of commit every target is as it was: undoing removes the new names.
  const auto fail = [&](OutputFile* file, bool undo) {
    const int error = errno;
    if (fd >= 0) close(fd);
    if (undo) {
      for (size_t i = 0; i < moving.size(); ++i) {
        if (moving[i]->kind_ != Kind::UNNAMED || moving[i]->temporary_.empty()) continue;
        unlink(names[i].c_str());
        if (observer) observer->Gone(names[i].c_str());
        moving[i]->temporary_.clear();
      }
      unlink(journal.c_str());
    } else {
      // Past the point of commit the journal and the files it names stay for the next run.
      for (size_t i = 0; i < moving.size(); ++i) {
        if (moving[i]->temporary_.empty()) continue;
        if (observer) observer->Gone(names[i].c_str());
        moving[i]->temporary_.clear();
      }
    }
    if (observer) observer->PublishEnd();
    if (failed) *failed = file->target_;
    for (OutputFile* f : moving) f->state_ = f->state_ == State::PUBLISHED ? State::PUBLISHED : State::FAILED;
    errno = error;
    return false;
  };
  fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return fail(first, false);
  if (write(fd, text.data(), text.size()) != ssize_t(text.size()) || (sync && fsync(fd) != 0) ||
      (sync && !SyncDirectory(DirectoryOf(journal))))
    return fail(first, true);
  // Every file under its own name beside its target, and those names on disk.
  for (size_t i = 0; i < moving.size(); ++i) {
    OutputFile* file = moving[i];
    if (file->kind_ != Kind::UNNAMED) continue;
    if (observer) observer->Created(names[i].c_str());
    if (!LinkDescriptor(fileno(file->stream_), names[i])) {
      if (observer) observer->Gone(names[i].c_str());
      return fail(file, true);
    }
    file->temporary_ = names[i];
  }
  // The point of commit: from here on the next run completes the publish, should this one end.
  if ((sync && !SyncDirectories(directories)) ||
      write(fd, kCommitMark, sizeof kCommitMark - 1) != ssize_t(sizeof kCommitMark - 1) ||
      (sync && fsync(fd) != 0))
    return fail(first, true);
  close(fd);
  fd = -1;
  for (size_t i = 0; i < moving.size(); ++i) {
    OutputFile* file = moving[i];
    // A rename that fails now leaves the journal, for the next run to complete.
    if (std::rename(names[i].c_str(), file->target_.c_str()) != 0) return fail(file, false);
    if (observer) observer->Gone(names[i].c_str());
    file->temporary_.clear();
    file->CloseStream();
    file->state_ = State::PUBLISHED;
  }
  const bool ok = (!sync || SyncDirectories(directories)) && unlink(journal.c_str()) == 0;
  if (observer) observer->PublishEnd();
  return ok;
}
