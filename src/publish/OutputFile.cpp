// Output files that are complete or absent; see OutputFile.h.
#include "OutputFile.h"

#include "Console.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <set>
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

// The journal of a set of outputs whose first target is `target`: beside it, named after it, so
// that the next run writing the same outputs finds it. Should its name be taken by a file this
// program may not act on, the publish uses the next of a few spare names.
constexpr char kJournalPrefix[] = ".bumpweld-journal-";
constexpr char kJournalHeader[] = "bumpweld journal 2\n";
// The first version listed absolute paths; its journals are still completed when every name lies
// in the journal's own folder.
constexpr char kJournalHeaderV1[] = "bumpweld journal 1\n";
constexpr char kCommitMark[] = "commit\n";
constexpr int kJournalSlots = 4;
constexpr off_t kJournalMaxBytes = off_t(1) << 20;

uint64_t NameHash(const std::string& name) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (char c : name) hash = (hash ^ uint8_t(c)) * 0x100000001b3u;
  return hash;
}

std::string JournalName(const std::string& targetName, int slot) {
  char name[80];
  std::snprintf(name, sizeof name, "%s%016llx", kJournalPrefix, static_cast<unsigned long long>(NameHash(targetName)));
  return slot == 0 ? name : name + ("-" + std::to_string(slot));
}

std::string JournalFor(const std::string& target, int slot) {
  const std::string directory = DirectoryOf(target);
  return directory + JournalName(target.substr(directory.size()), slot);
}

// Whether `name` has the form of RandomName's names.
bool IsTemporaryName(const std::string& name) {
  constexpr size_t kPrefix = sizeof ".bumpweld-" - 1;
  return name.size() == kPrefix + 10 && name.compare(0, kPrefix, ".bumpweld-") == 0 &&
         std::all_of(name.begin() + kPrefix, name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Whether `name` may be the target of a journal's entry: a file of the journal's own folder that
// is not one of this program's own.
bool IsTargetName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.compare(0, sizeof ".bumpweld-" - 1, ".bumpweld-") != 0;
}

// Whether `path` is a regular file (not a link) of this user's: the only kind of file a journal's
// entry may move or remove.
bool IsOwnFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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

// Warns once in the process about a file at a journal's name that is left alone.
void WarnIgnored(const std::string& path, const char* why) {
  static std::mutex mutex;
  static std::set<std::string> warned;
  const std::lock_guard<std::mutex> lock(mutex);
  if (warned.insert(path).second) BwDiagnostic("Warning! Left %s alone: %s\n", path.c_str(), why);
}

// What a journal asks: (temporary, target) names in its folder, and whether it was committed.
struct Journal {
  std::vector<std::pair<std::string, std::string>> entries;
  bool committed = false;
};

// Reads the journal at `path` (directory + name). ABSENT when there is no file; IGNORED, with
// *why, for a file that is not a journal this user's run of this program wrote, which nobody may
// act on: a link, a FIFO or another kind of file, one of another user's or that others may write,
// one too large, one whose entries reach out of its folder or to targets it does not stand for.
// A journal cut short is read as far as it goes (a torn one lists nothing): it was not committed.
enum class JournalRead { ABSENT, IGNORED, READ };
JournalRead ReadJournal(const std::string& directory, const std::string& name, Journal* journal, const char** why) {
  const std::string path = directory + name;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return JournalRead::ABSENT;
  *why = "not a journal of this user's";
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    *why = errno == ELOOP ? "a symbolic link" : "not readable";
    return JournalRead::IGNORED;
  }
  std::string text;
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
  } else if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_nlink != 1) {
    *why = "another user's, or writable by others";
  } else if (st.st_size > kJournalMaxBytes) {
    *why = "too large";
  } else {
    text.resize(size_t(st.st_size) + 1);
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = read(fd, &text[got], text.size() - got);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
      got += n > 0 ? size_t(n) : 0;
    }
    text.resize(got);
    *why = nullptr;
  }
  close(fd);
  if (*why) return JournalRead::IGNORED;
  *why = "not in the journal's format";
  const std::string header = kJournalHeader, headerV1 = kJournalHeaderV1;
  // A torn journal: its writer ended before the header was whole.
  if (text.size() < header.size() && header.compare(0, text.size(), text) == 0) return JournalRead::READ;
  const bool v1 = text.compare(0, headerV1.size(), headerV1) == 0;
  if (!v1 && text.compare(0, header.size(), header) != 0) return JournalRead::IGNORED;
  // Names end with a NUL byte and an empty name ends the list; a list cut short was never
  // committed.
  *why = "names files it does not stand for";
  size_t pos = header.size();
  std::vector<std::string> names;
  bool ended = false;
  for (size_t end; !ended && (end = text.find('\0', pos)) != std::string::npos; pos = end + 1) {
    ended = end == pos;
    if (ended) break;
    std::string entry = text.substr(pos, end - pos);
    if (v1) {
      const std::string folder = DirectoryOf(entry);
      if (folder.empty() || !SameFile(folder, OrDot(directory))) return JournalRead::IGNORED;
      entry.erase(0, folder.size());
    }
    names.push_back(std::move(entry));
  }
  for (size_t i = 0; i + 1 < names.size(); i += 2) journal->entries.emplace_back(names[i], names[i + 1]);
  for (const auto& [temporary, target] : journal->entries)
    if (!IsTemporaryName(temporary) || !IsTargetName(target)) return JournalRead::IGNORED;
  // The journal's name is made from its first target's.
  if (!journal->entries.empty() && name.compare(0, JournalName(journal->entries[0].second, 0).size(),
                                                JournalName(journal->entries[0].second, 0)) != 0)
    return JournalRead::IGNORED;
  journal->committed = ended && names.size() % 2 == 0 && text.compare(pos + 1, std::string::npos, kCommitMark) == 0;
  return JournalRead::READ;
}

// Finishes what the journal `name` in `directory` says: renames its files over their targets
// when it was committed, else removes them; then removes the journal. The caller holds the
// directory lock. True when no journal is left at that name; a file that is not one of ours is
// left alone (and warned about once). *read (if given) tells which it was.
bool Recover(const std::string& directory, const std::string& name, JournalRead* read = nullptr) {
  Journal journal;
  const char* why = nullptr;
  const JournalRead found = ReadJournal(directory, name, &journal, &why);
  if (read) *read = found;
  if (found == JournalRead::ABSENT) return true;
  if (found == JournalRead::IGNORED) {
    WarnIgnored(directory + name, why);
    return false;
  }
  bool ok = true;
  for (const auto& [temporary, target] : journal.entries) {
    const std::string from = directory + temporary;
    // Only this user's own files move or go; a name another user took is left alone.
    if (!IsOwnFile(from)) continue;
    if (journal.committed ? std::rename(from.c_str(), (directory + target).c_str()) != 0 : unlink(from.c_str()) != 0)
      ok = ok && errno == ENOENT;
  }
  ok = SyncDirectory(directory) && ok;
  return ok && unlink((directory + name).c_str()) == 0;
}

// Every journal of the outputs whose first target is `target` dealt with; the slot free for a new
// journal, or -1 when every one is taken by a file that cannot be removed.
int RecoverSlots(const std::string& target) {
  const std::string directory = DirectoryOf(target);
  int free = -1;
  for (int slot = 0; slot < kJournalSlots; ++slot) {
    const std::string name = JournalFor(target, slot).substr(directory.size());
    if (Recover(directory, name) && free < 0) free = slot;
  }
  return free;
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

std::string BwOutputKey(const char* path) {
  Plan plan;
  if (!MakePlan(path, &plan) && plan.descriptor < 0) {
    // A name that cannot be written keys by its spelling: its open fails in either job.
    return path;
  }
  if (plan.descriptor >= 0 || (plan.exists && !S_ISREG(plan.st.st_mode))) return "";
  if (plan.exists) return "inode " + std::to_string(plan.st.st_dev) + ":" + std::to_string(plan.st.st_ino);
  // A name still to be made: its directory with links resolved, and the name itself.
  const std::string directory = DirectoryOf(plan.target);
  std::unique_ptr<char, decltype(&std::free)> real(realpath(OrDot(directory), nullptr), &std::free);
  return "path " + (real ? std::string(real.get()) + "/" : directory) + plan.target.substr(directory.size());
}

bool BwRecoverOutput(const char* path) {
  std::string target = path;
  int descriptor = -1;
  if (!ResolveLinks(&target, &descriptor) || descriptor >= 0) return true;
  const DirectoryLock lock(DirectoryOf(target));
  return RecoverSlots(target) >= 0;
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
    if (std::strncmp(entry->d_name, kJournalPrefix, sizeof kJournalPrefix - 1) == 0) journals.push_back(entry->d_name);
  closedir(dir);
  const DirectoryLock lock(prefix);
  int count = 0;
  for (const std::string& journal : journals) {
    // Files that are not journals of ours are warned about and left, and not counted.
    JournalRead read = JournalRead::ABSENT;
    const bool done = Recover(prefix, journal, &read);
    if (read != JournalRead::READ) continue;
    if (!done) {
      *error = "ERROR: Unable to recover " + prefix + journal;
      return -1;
    }
    ++count;
  }
  return count;
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
  // The files to put in place, a set for each directory their targets are in (a journal names
  // files of its own directory only); there is more than one only where links lead a chain's
  // levels into other directories, whose sets are then put in place one after the other.
  std::vector<std::vector<OutputFile*>> sets;
  for (OutputFile* file : files) {
    if (file->state_ == State::PUBLISHED) continue;
    if (file->kind_ == Kind::IN_PLACE) {
      file->state_ = State::PUBLISHED;
      continue;
    }
    auto set = std::find_if(sets.begin(), sets.end(), [&](const std::vector<OutputFile*>& s) {
      return DirectoryOf(s[0]->target_) == DirectoryOf(file->target_);
    });
    if (set == sets.end())
      sets.push_back({file});
    else
      set->push_back(file);
  }
  for (const std::vector<OutputFile*>& set : sets)
    if (!OutputFile::PublishInDirectory(set, failed)) return false;
  return true;
}

bool OutputFile::PublishInDirectory(const std::vector<OutputFile*>& moving, std::string* failed) {
  OutputFile* const first = moving.front();
  const bool sync = first->sync_;
  BwOutputObserver* const observer = first->observer_;
  const std::string directory = DirectoryOf(first->target_);
  const DirectoryLock lock(directory);
  // What a killed run writing these outputs left, and a name for this publish's journal.
  const int slot = RecoverSlots(first->target_);

  // A single new file is linked to its name at once: a link never replaces a name, so the file
  // appears whole or not at all, and it never has another name.
  if (moving.size() == 1 && first->kind_ == Kind::UNNAMED && LinkDescriptor(fileno(first->stream_), first->target_)) {
    first->CloseStream();
    first->state_ = State::PUBLISHED;
    return !sync || SyncDirectory(directory);
  }

  // The journal first: the name each file gets beside its target, and the targets.
  std::vector<std::string> names;
  std::string text = kJournalHeader;
  for (OutputFile* file : moving) {
    names.push_back(file->kind_ == Kind::NAMED ? file->temporary_ : RandomName(directory));
    for (const std::string& path : {names.back(), file->target_}) {
      const std::string name = path.substr(directory.size());
      text.append(name.c_str(), name.size() + 1);
    }
  }
  text += '\0';
  const std::string journal = JournalFor(first->target_, slot);
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
  if (slot >= 0) fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    // No journal, so nothing was done: the files stay with their outputs, which remove them.
    const int error = slot < 0 ? EEXIST : errno;
    if (observer) observer->PublishEnd();
    if (failed) *failed = first->target_;
    for (OutputFile* file : moving) file->state_ = State::FAILED;
    errno = error;
    return false;
  }
  if (write(fd, text.data(), text.size()) != ssize_t(text.size()) || (sync && fsync(fd) != 0) ||
      (sync && !SyncDirectory(directory)))
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
  if ((sync && !SyncDirectory(directory)) ||
      write(fd, kCommitMark, sizeof kCommitMark - 1) != ssize_t(sizeof kCommitMark - 1) || (sync && fsync(fd) != 0))
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
  const bool ok = (!sync || SyncDirectory(directory)) && unlink(journal.c_str()) == 0;
  if (observer) observer->PublishEnd();
  return ok;
}
