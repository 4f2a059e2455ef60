// The records of what was built: one small SQLite database in an output folder
// (BW_RECORDS_NAME) saying, for each output a job wrote, what it was made from: the content of
// every input (base, second, mask), the settings as the command line's parser read them and the
// tool's version, hashed together (SHA-256), with the identity (device, inode, size, times) of
// every file the job put in place. A job is up to date when its outputs are still those files
// and its inputs, settings and version hash to the same value.
//
// The content hash of an input is kept by the file's identity, as git's index keeps it: a file
// whose device, inode, size, modification and change times are those recorded (and were so a
// second before it was hashed, so that a write in the same clock tick is not missed) is not
// read again.
//
// Why a record stays true: it is written after its outputs are in place and names them by
// identity, so a run killed between the two leaves a record that no longer matches the files
// (and the job is built again), and a record lost to a full disk or a crash only costs a
// rebuild. Records never make a file be written or removed: they only let a job be skipped.
// Several runs may share the database (SQLite's locks; a waiting writer waits up to ten seconds).
// A database that cannot be read as one (damaged, of another layout, or anything but a regular
// file of the user) is set aside with a warning: a damaged regular file is replaced by an empty
// database, anything else is left alone and the run keeps no records; either way every job is
// built.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommandParser.h"

// The database's name inside the output folder: hidden, so a tree's walk never reads it.
extern const char BW_RECORDS_NAME[];

// The identity of a file as the records compare it: where it is, its size and its times.
struct BwFileStamp {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t modified = 0, changed = 0;  // nanoseconds
  bool operator==(const BwFileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size && modified == other.modified &&
           changed == other.changed;
  }
};

// The records of one output folder. Every member may be called on any thread; a commit's
// writing holds up no lookup or hash.
class BwRecords {
 public:
  // Opens, or makes, the database `folder`/BW_RECORDS_NAME. Never fails: without a usable
  // database it keeps nothing, and Warnings() says why.
  explicit BwRecords(const std::string& folder);
  ~BwRecords();
  BwRecords(const BwRecords&) = delete;
  BwRecords& operator=(const BwRecords&) = delete;

  // The hash of what a job's outputs are made from (its inputs' contents, settings, the tool's
  // version); "" when an input cannot be read. `fresh`: the inputs are likely not in the records
  // (the job has none), so each is opened at once rather than first looked up by its name.
  std::string JobDigest(const BwCommand& command, bool fresh);
  // Whether the job is up to date: its record names `levels` (the files it writes), those are
  // the files there now, and its inputs, settings and version hash to the record's digest.
  // *outputs then holds the files. *digest is the job's digest when it was worked out ("" when
  // the record already failed to match: JobDigest makes it).
  bool UpToDate(const BwCommand& command, const std::vector<std::string>& levels, std::string* digest,
                std::vector<std::string>* outputs);
  // The same with the files the job writes found from its base map's header.
  bool UpToDate(const BwCommand& command, std::string* digest, std::vector<std::string>* outputs);
  // Records a job that wrote `outputs` from what `digest` hashes (the digest taken before it ran,
  // so that an input changed during the run makes the record stale, never wrong). Records are
  // written a few dozen at a time, or a quarter of a second apart; a failure to write is a
  // warning.
  void Store(const BwCommand& command, const std::string& digest, const std::vector<std::string>& outputs);
  // Writes the records not written yet.
  void Flush();

  // Warnings since the last call, each one line.
  std::vector<std::string> Warnings();

 private:
  struct Content {
    BwFileStamp identity;
    int64_t hashedAt = 0;  // when it was hashed, nanoseconds of the real-time clock
    std::string hash;
  };
  struct Job {
    std::string digest;
    std::vector<std::string> outputs;
    std::vector<BwFileStamp> identities;
  };

  bool Open();
  bool Load();
  void Close();
  void Commit(std::unique_lock<std::mutex>& lock);
  void Warn(const std::string& text);
  bool Recall(const BwFileStamp& identity, std::string* hash);
  bool ContentHash(const std::string& path, bool openFirst, std::string* hash);
  std::string OutputName(const std::string& output);

  std::string folder_, file_;
  struct sqlite3* db_ = nullptr;
  std::mutex mutex_;    // the tables below
  std::mutex writing_;  // the database, while a commit writes it
  std::map<std::pair<uint64_t, uint64_t>, Content> contents_;  // by device and inode
  std::vector<Content> hashed_;                                // hashed, not yet written
  std::map<std::string, Job> jobs_;                            // by output name
  std::map<std::string, std::string> folders_;                 // output folders, links resolved
  std::vector<std::pair<std::string, Job>> pending_;           // stored, not yet written
  std::chrono::steady_clock::time_point lastCommit_ = std::chrono::steady_clock::now();
  bool writeFailed_ = false;  // under writing_
  std::mutex warningsMutex_;
  std::vector<std::string> warnings_;
};

// The records of many folders, each opened when a job first names it (a batch's outputs may lie
// anywhere): by the folder of a job's output.
class BwRecordBook {
 public:
  // With `root`, every job's record goes into that one folder's database (a tree's output root).
  explicit BwRecordBook(std::string root = "") : root_(std::move(root)) {}
  BwRecords* For(const BwCommand& command);
  std::vector<std::string> Warnings();
  void Flush();

 private:
  std::string root_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<BwRecords>> books_;
};
