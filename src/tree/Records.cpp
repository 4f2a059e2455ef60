// The records of what was built, in SQLite, with SHA-256 content hashes (OpenSSL); see Records.h.
#include "Records.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ImageProbe.h"
#include "OutputFile.h"
#include "Outputs.h"

const char BW_RECORDS_NAME[] = ".bumpweld.records";

namespace {

constexpr int kLayout = 1;                // PRAGMA user_version of the tables below
constexpr int64_t kSettled = 1000000000;  // a file's times must be this much older than its hash
constexpr size_t kHashBytes = 32;
constexpr uint64_t kHashChunk = 1 << 20;  // bytes read at a time for a hash
constexpr int kStoresPerCommit = 64;     // records written together (one commit each)
constexpr double kCommitSeconds = 0.25;  // ... or after this long

constexpr char kTables[] =
    "CREATE TABLE IF NOT EXISTS files(device INTEGER, inode INTEGER, size INTEGER, modified INTEGER, "
    "changed INTEGER, hashed_at INTEGER, hash BLOB, PRIMARY KEY(device, inode));"
    "CREATE TABLE IF NOT EXISTS jobs(output TEXT PRIMARY KEY, digest BLOB, outputs TEXT, identities TEXT);";

bool Identify(const struct stat& info, BwFileStamp* identity) {
  identity->device = uint64_t(info.st_dev);
  identity->inode = uint64_t(info.st_ino);
  identity->size = uint64_t(info.st_size);
  identity->modified = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  identity->changed = int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return true;
}

bool IdentityOf(const std::string& path, BwFileStamp* identity) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && Identify(info, identity);
}

std::string IdentityText(const BwFileStamp& id) {
  char text[160];
  std::snprintf(text, sizeof text, "%llu %llu %llu %lld %lld", (unsigned long long)id.device,
                (unsigned long long)id.inode, (unsigned long long)id.size, (long long)id.modified,
                (long long)id.changed);
  return text;
}

bool ParseIdentity(const std::string& text, BwFileStamp* id) {
  unsigned long long device = 0, inode = 0, size = 0;
  long long modified = 0, changed = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%llu %llu %llu %lld %lld%c", &device, &inode, &size, &modified, &changed, &extra) != 5)
    return false;
  *id = {device, inode, size, modified, changed};
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The folder of a path ("." for a bare name).
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Everything of a job's settings that changes the bytes of its outputs (the threads, the
// console, syncs and --stats do not), as text.
std::string SettingsText(const BwSettings& s) {
  char text[256];
  std::snprintf(text, sizeof text, "o%d m%d x%d d%d b%d h%d %a r%d bits%d f%d a%d c%d u%d q%d dx9%d s%a bl%d e%d",
                s.output, s.mipLevels, s.expandTexels, s.dilateTexels, s.boxFilter, s.bumpMap, double(s.bumpScale),
                s.round, s.outputBits, s.flipGreen, s.alphaEmpty, s.heightChannel, s.exrUnorm, s.astcQuality, s.ddsDx9,
                double(s.detailStrength), s.blend, s.clampEdges);
  return std::string(text) + "\nexr " + s.exrChannel + "\nformat " + s.format;
}

// SHA-256 of the `size` bytes of the open file `fd`, from its start; false when they cannot be
// read. A write meanwhile needs no check here: it gives the file times newer than the hash's
// (taken before the read), so the hash is never taken from the records for it again.
bool HashFile(int fd, uint64_t size, std::string* hash) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  // On the heap: a buffer in thread-local storage would be cleared for every thread the process
  // starts, hashing or not.
  std::vector<unsigned char> buffer(ok ? size_t(std::min(size, kHashChunk)) : 0);
  for (uint64_t left = size; ok && left > 0;) {
    const ssize_t n = read(fd, buffer.data(), size_t(std::min<uint64_t>(left, buffer.size())));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0 && EVP_DigestUpdate(context, buffer.data(), size_t(n)) == 1;
    if (ok) left -= uint64_t(n);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1 && length == kHashBytes;
  EVP_MD_CTX_free(context);
  if (ok) hash->assign(reinterpret_cast<const char*>(digest), length);
  return ok;
}

// Opens a regular file for reading, with its identity; -1 when it is none.
int OpenRegular(const std::string& path, BwFileStamp* identity) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && Identify(info, identity)) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

std::string HashText(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
  return std::string(reinterpret_cast<const char*>(digest), length);
}

// A regular file of the user's that nobody else may write, or nothing at all: the only things
// at the database's names that the records touch.
bool OursOrAbsent(const std::string& path, std::string* why) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (!S_ISREG(info.st_mode))
    *why = "not a regular file";
  else if (info.st_uid != geteuid())
    *why = "another user's file";
  else if (info.st_mode & 022)
    *why = "writable by others";
  return why->empty();
}

}  // namespace

BwRecords::BwRecords(const std::string& folder) : folder_(folder), file_(folder + "/" + BW_RECORDS_NAME) {
  if (Open() && Load()) return;
  if (!db_) return;  // left alone, or not to be made: no records this run
  // Damaged: made anew, empty.
  Warn("The records " + file_ + " are damaged: every job is built and the records made anew");
  Close();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::string why;
    if (OursOrAbsent(file_ + suffix, &why)) unlink((file_ + suffix).c_str());
  }
  contents_.clear();
  jobs_.clear();
  if (!Open() || !Load()) Close();
}

BwRecords::~BwRecords() {
  Flush();
  Close();
}

void BwRecords::Warn(const std::string& text) {
  const std::lock_guard<std::mutex> lock(warningsMutex_);
  warnings_.push_back("Warning! " + text);
}

std::vector<std::string> BwRecords::Warnings() {
  const std::lock_guard<std::mutex> lock(warningsMutex_);
  std::vector<std::string> warnings;
  warnings.swap(warnings_);
  return warnings;
}

bool BwRecords::Open() {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string why;
    if (!OursOrAbsent(file_ + suffix, &why)) {
      Warn("Left " + file_ + suffix + " alone: " + why + "; no records are kept there");
      return false;
    }
  }
  if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    Warn("Unable to open the records " + file_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_, 10000);
  // A lost commit (power loss) costs only a rebuild, so commits need no sync of their own.
  return sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr) ==
         SQLITE_OK;
}

void BwRecords::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

bool BwRecords::Load() {
  if (!db_) return false;
  sqlite3_stmt* statement = nullptr;
  int layout = -1;
  if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    layout = sqlite3_column_int(statement, 0);
  sqlite3_finalize(statement);
  if (layout != 0 && layout != kLayout) return false;
  if (layout == 0 &&
      sqlite3_exec(db_, (std::string(kTables) + "PRAGMA user_version=" + std::to_string(kLayout)).c_str(), nullptr,
                   nullptr, nullptr) != SQLITE_OK)
    return false;
  bool ok = sqlite3_prepare_v2(db_, "SELECT device, inode, size, modified, changed, hashed_at, hash FROM files", -1,
                               &statement, nullptr) == SQLITE_OK;
  int step = SQLITE_DONE;
  while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
    Content content;
    content.identity = {uint64_t(sqlite3_column_int64(statement, 0)), uint64_t(sqlite3_column_int64(statement, 1)),
                        uint64_t(sqlite3_column_int64(statement, 2)), sqlite3_column_int64(statement, 3),
                        sqlite3_column_int64(statement, 4)};
    content.hashedAt = sqlite3_column_int64(statement, 5);
    const void* hash = sqlite3_column_blob(statement, 6);
    if (!hash || sqlite3_column_bytes(statement, 6) != int(kHashBytes)) continue;  // a row no run wrote
    content.hash.assign(static_cast<const char*>(hash), kHashBytes);
    contents_[{content.identity.device, content.identity.inode}] = content;
  }
  ok = ok && step == SQLITE_DONE;
  sqlite3_finalize(statement);
  statement = nullptr;
  ok = ok && sqlite3_prepare_v2(db_, "SELECT output, digest, outputs, identities FROM jobs", -1, &statement, nullptr) ==
                 SQLITE_OK;
  while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
    const unsigned char* output = sqlite3_column_text(statement, 0);
    const void* digest = sqlite3_column_blob(statement, 1);
    const unsigned char* outputs = sqlite3_column_text(statement, 2);
    const unsigned char* identities = sqlite3_column_text(statement, 3);
    if (!output || !digest || !outputs || !identities || sqlite3_column_bytes(statement, 1) != int(kHashBytes))
      continue;
    Job job;
    job.digest.assign(static_cast<const char*>(digest), kHashBytes);
    job.outputs = SplitLines(reinterpret_cast<const char*>(outputs));
    bool valid = true;
    for (const std::string& line : SplitLines(reinterpret_cast<const char*>(identities))) {
      job.identities.emplace_back();
      valid = valid && ParseIdentity(line, &job.identities.back());
    }
    if (valid && !job.outputs.empty() && job.outputs.size() == job.identities.size())
      jobs_[reinterpret_cast<const char*>(output)] = std::move(job);
  }
  ok = ok && step == SQLITE_DONE;
  sqlite3_finalize(statement);
  return ok;
}

// The stored hash of a file of this identity, when it is to be trusted: times that were already
// a second old when it was hashed.
bool BwRecords::Recall(const BwFileStamp& identity, std::string* hash) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = contents_.find({identity.device, identity.inode});
  if (found == contents_.end() || !(found->second.identity == identity) ||
      identity.modified >= found->second.hashedAt - kSettled || identity.changed >= found->second.hashedAt - kSettled)
    return false;
  *hash = found->second.hash;
  return true;
}

bool BwRecords::ContentHash(const std::string& path, bool openFirst, std::string* hash) {
  BwFileStamp identity;
  int fd = openFirst ? OpenRegular(path, &identity) : -1;
  if (openFirst ? fd < 0 : !IdentityOf(path, &identity)) return false;
  if (Recall(identity, hash)) {
    if (fd >= 0) close(fd);
    return true;
  }
  Content content;
  content.identity = identity;
  content.hashedAt = Now();
  if (fd < 0) {  // opened after its identity was taken: it must still be that file
    BwFileStamp opened;
    fd = OpenRegular(path, &opened);
    if (fd >= 0 && !(opened == identity)) {
      close(fd);
      fd = -1;
    }
  }
  const bool hashed = fd >= 0 && HashFile(fd, identity.size, &content.hash);
  if (fd >= 0) close(fd);
  if (!hashed) return false;
  *hash = content.hash;
  const std::lock_guard<std::mutex> lock(mutex_);
  contents_[{identity.device, identity.inode}] = content;
  hashed_.push_back(std::move(content));
  return true;
}

// An output's name in the records: its folder with links resolved (each folder resolved once),
// and its own name; "" when the folder cannot be resolved.
std::string BwRecords::OutputName(const std::string& output) {
  const size_t slash = output.rfind('/');
  const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
  const std::string folder = FolderOf(output);
  const std::lock_guard<std::mutex> lock(mutex_);
  auto found = folders_.find(folder);
  if (found == folders_.end()) {
    char resolved[PATH_MAX];
    found = folders_.emplace(folder, realpath(folder.c_str(), resolved) ? resolved : "").first;
  }
  return found->second.empty() ? "" : found->second + "/" + name;
}

std::string BwRecords::JobDigest(const BwCommand& command, bool fresh) {
  std::string text =
      std::string("bumpweld ") + BUMPWELD_VERSION + " " + kBwVersionLine + SettingsText(command.settings);
  const std::string inputs[] = {command.Base(), command.Second(), command.settings.mask};
  for (const std::string& input : inputs) {
    std::string hash;
    if (input.empty()) {
      text += "\nnone";
      continue;
    }
    if (!ContentHash(input, fresh, &hash)) return "";
    text += "\n" + hash;
  }
  text += "\n" + OutputName(command.Output());
  return HashText(text);
}

bool BwRecords::UpToDate(const BwCommand& command, const std::vector<std::string>& levels, std::string* digest,
                         std::vector<std::string>* outputs) {
  digest->clear();
  const std::string name = OutputName(command.Output());
  Job job;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = jobs_.find(name);
    if (found == jobs_.end()) return false;
    job = found->second;
  }
  // The files the job writes, and those files still.
  if (job.outputs != levels) return false;
  for (size_t i = 0; i < levels.size(); ++i) {
    BwFileStamp identity;
    if (!IdentityOf(levels[i], &identity) || !(identity == job.identities[i])) return false;
  }
  *digest = JobDigest(command, false);
  if (digest->empty() || *digest != job.digest) return false;
  *outputs = job.outputs;
  return true;
}

bool BwRecords::UpToDate(const BwCommand& command, std::string* digest, std::vector<std::string>* outputs) {
  BwImageProbe base;
  digest->clear();
  if (!BwProbeImageFile(command.Base(), &base)) return false;
  const std::vector<std::string> levels =
      BwOutputFileNames(command.Output(), command.settings.mipLevels != 0, base.width, base.height);
  return UpToDate(command, levels, digest, outputs);
}

void BwRecords::Store(const BwCommand& command, const std::string& digest, const std::vector<std::string>& outputs) {
  if (digest.empty() || outputs.empty()) return;
  Job job{digest, outputs, {}};
  for (const std::string& output : outputs) {
    job.identities.emplace_back();
    if (!IdentityOf(output, &job.identities.back())) return;  // not a file: nothing to record
  }
  const std::string name = OutputName(command.Output());
  if (name.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  pending_.emplace_back(name, job);
  jobs_[name] = std::move(job);
  const auto now = std::chrono::steady_clock::now();
  if (pending_.size() >= size_t(kStoresPerCommit) ||
      std::chrono::duration<double>(now - lastCommit_).count() >= kCommitSeconds)
    Commit(lock);
}

void BwRecords::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  Commit(lock);
  const std::lock_guard<std::mutex> writing(writing_);  // and any commit still being written
}

// Takes the pending records and the contents hashed meanwhile under `lock` (on mutex_), and
// writes them in one transaction with it released: lookups and hashes on other threads go on
// while SQLite writes, and waits for a checkpoint's sync.
void BwRecords::Commit(std::unique_lock<std::mutex>& lock) {
  lastCommit_ = std::chrono::steady_clock::now();
  if (pending_.empty() && hashed_.empty()) return;
  std::vector<std::pair<std::string, Job>> jobs;
  jobs.swap(pending_);
  std::vector<Content> contents;
  contents.swap(hashed_);
  lock.unlock();
  const std::lock_guard<std::mutex> writing(writing_);
  if (!db_) return;
  sqlite3_stmt* file = nullptr;
  sqlite3_stmt* job = nullptr;
  bool ok = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  ok = ok && sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO files VALUES(?, ?, ?, ?, ?, ?, ?)", -1, &file, nullptr) ==
                 SQLITE_OK;
  ok = ok && sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO jobs VALUES(?, ?, ?, ?)", -1, &job, nullptr) == SQLITE_OK;
  for (const Content& content : contents) {
    if (!ok) break;
    const BwFileStamp& id = content.identity;
    sqlite3_bind_int64(file, 1, sqlite3_int64(id.device));
    sqlite3_bind_int64(file, 2, sqlite3_int64(id.inode));
    sqlite3_bind_int64(file, 3, sqlite3_int64(id.size));
    sqlite3_bind_int64(file, 4, id.modified);
    sqlite3_bind_int64(file, 5, id.changed);
    sqlite3_bind_int64(file, 6, content.hashedAt);
    sqlite3_bind_blob(file, 7, content.hash.data(), int(content.hash.size()), SQLITE_STATIC);
    ok = sqlite3_step(file) == SQLITE_DONE && sqlite3_reset(file) == SQLITE_OK;
  }
  for (const auto& [name, record] : jobs) {
    if (!ok) break;
    std::string outputs, identities;
    for (size_t i = 0; i < record.outputs.size(); ++i) {
      outputs += (i ? "\n" : "") + record.outputs[i];
      identities += (i ? "\n" : "") + IdentityText(record.identities[i]);
    }
    sqlite3_bind_text(job, 1, name.c_str(), int(name.size()), SQLITE_STATIC);
    sqlite3_bind_blob(job, 2, record.digest.data(), int(record.digest.size()), SQLITE_STATIC);
    sqlite3_bind_text(job, 3, outputs.c_str(), int(outputs.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(job, 4, identities.c_str(), int(identities.size()), SQLITE_TRANSIENT);
    ok = sqlite3_step(job) == SQLITE_DONE && sqlite3_reset(job) == SQLITE_OK;
  }
  sqlite3_finalize(file);
  sqlite3_finalize(job);
  ok = ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) {
    if (!writeFailed_)
      Warn("Unable to write the records " + file_ + ": " + sqlite3_errmsg(db_) +
           " (the jobs are built again next time)");
    writeFailed_ = true;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

BwRecords* BwRecordBook::For(const BwCommand& command) {
  const std::string& output = command.Output();
  // A device or descriptor has no records (and its folder, /dev say, is not for them).
  if (root_.empty() && BwOutputKey(output.c_str()).empty()) return nullptr;
  const std::string folder = root_.empty() ? FolderOf(output) : root_;
  const std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<BwRecords>& records = books_[folder];
  if (!records) records = std::make_unique<BwRecords>(folder);
  return records.get();
}

std::vector<std::string> BwRecordBook::Warnings() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> warnings;
  for (auto& [folder, records] : books_)
    for (std::string& warning : records->Warnings()) warnings.push_back(std::move(warning));
  return warnings;
}

void BwRecordBook::Flush() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [folder, records] : books_) records->Flush();
}
