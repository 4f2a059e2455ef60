// Output files: complete or absent, synced before and after they are put in place, written in
// place where they cannot be replaced; failed runs of the tool leave every file as it was (a
// chain failing half way is in RunOutcomeTest); descriptor names are written through their
// descriptor.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OutputFile.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

// Every fsync of this program, the library's included: whether of a directory, and the inode.
std::vector<std::pair<bool, ino_t>> gSyncs;
// The program ends at once, as by kill -9, at the gCrashAt-th fsync, link or rename (0: never).
int gCrashAt = 0, gSteps = 0;

void Step() {
  if (gCrashAt != 0 && ++gSteps == gCrashAt) _exit(3);
}

extern "C" int fsync(int fd) {
  Step();
  struct stat st;
  if (fstat(fd, &st) == 0) gSyncs.push_back({S_ISDIR(st.st_mode), st.st_ino});
  return int(syscall(SYS_fsync, fd));
}

extern "C" int linkat(int from, const char* path, int to, const char* name, int flags) {
  Step();
  return int(syscall(SYS_linkat, from, path, to, name, flags));
}

extern "C" int rename(const char* from, const char* to) {
  Step();
  return int(syscall(SYS_rename, from, to));
}

namespace {

using Tree = std::map<std::string, Bytes>;
const BwTemporary kTemporaries[] = {BwTemporary::AUTO, BwTemporary::NAMED};
const Bytes kOld = AsBytes("old"), kNew = AsBytes("new");

ino_t Inode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// An existing file stays untouched, and nothing new is visible, until Publish(), which syncs the
// bytes before it puts the file in place and the directory after (neither with SkipSync, as
// --no-sync asks); without Publish() nothing stays, and no journal either way.
TEST(OutputFile, PublishedOrNothingAndSynced) {
  for (BwTemporary temporary : kTemporaries)
    for (int variant = 0; variant < 8; ++variant) {
      const bool existing = variant & 1, publish = variant & 2, sync = !(variant & 4);
      SCOPED_TRACE(testing::Message() << "named " << (temporary == BwTemporary::NAMED) << ", variant " << variant);
      TempDir dir;
      const std::string path = dir / "out.tga";
      if (existing) WriteFile(path, kOld);
      {
        OutputFile out(path.c_str(), nullptr, temporary);
        ASSERT_TRUE(out);
        EXPECT_FALSE(out.InPlace());
        if (!sync) out.SkipSync();
        std::fputs("new", out.Stream());
        struct stat written;
        ASSERT_EQ(fstat(fileno(out.Stream()), &written), 0);
        gSyncs.clear();
        ASSERT_TRUE(out.Finish());
        EXPECT_TRUE(gSyncs.empty());
        EXPECT_TRUE(FileExists(path) == existing && ReadFile(path) == (existing ? kOld : Bytes()));
        if (publish) {
          ASSERT_TRUE(out.Publish());
          EXPECT_EQ(Inode(path), written.st_ino);
          EXPECT_TRUE(!sync || gSyncs[0] == std::make_pair(false, written.st_ino));
          // A new unnamed file is linked in place at once; any other goes through a journal,
          // whose syncs come between. The directory is synced last.
          const bool direct = !existing && temporary == BwTemporary::AUTO;
          EXPECT_TRUE(sync ? (direct ? gSyncs.size() == 2 : gSyncs.size() > 2) : gSyncs.empty()) << gSyncs.size();
          EXPECT_TRUE(!sync || gSyncs.back() == std::make_pair(true, Inode(dir.path())));
        }
      }
      const Tree after = publish ? Tree{{"out.tga", kNew}} : existing ? Tree{{"out.tga", kOld}} : Tree{};
      EXPECT_EQ(Files(dir.path()), after);
    }
}

// Three outputs put in place together, new ones and replacements, by a process that ends
// outright at each step of the publish in turn: once the next publish has recovered (or
// `bumpweld --recover`), the files are all old or all new, and no other file is left.
TEST(OutputFile, AnInterruptedPublishIsCompletedOrUndone) {
  for (BwTemporary temporary : kTemporaries)
    for (bool existing : {false, true}) {
      bool completed = false;
      for (int crashAt = 1; !completed && crashAt < 60; ++crashAt) {
        SCOPED_TRACE(testing::Message() << "named " << (temporary == BwTemporary::NAMED) << ", existing " << existing
                                        << ", step " << crashAt);
        TempDir dir;
        const char* const names[] = {"a00.tga", "a01.tga", "a02.tga"};
        Tree old;
        for (const char* name : names)
          if (existing) WriteFile(dir / name, kOld), old[name] = kOld;
        const pid_t child = fork();
        if (child == 0) {
          std::vector<std::unique_ptr<OutputFile>> files;
          std::vector<OutputFile*> set;
          for (const char* name : names) {
            files.push_back(std::make_unique<OutputFile>((dir / name).c_str(), nullptr, temporary));
            std::fputs("new", files.back()->Stream());
            if (!files.back()->Finish()) _exit(2);
            set.push_back(files.back().get());
          }
          gCrashAt = crashAt;
          _exit(BwPublishTogether(set, nullptr) ? 0 : 2);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2);
        completed = WEXITSTATUS(status) == 0;
        if (crashAt % 2) {
          EXPECT_TRUE(BwRecoverOutput((dir / names[0]).c_str()));
        } else {
          EXPECT_EQ(::Run({"--recover", dir.path()}).status, 0);
        }
        Tree now = Files(dir.path());
        const Tree fresh = {{names[0], kNew}, {names[1], kNew}, {names[2], kNew}};
        // Named temporary files a kill leaves before the publish starts are the one exception.
        if (temporary == BwTemporary::NAMED)
          for (auto it = now.begin(); it != now.end();) it = it->first.rfind(".bumpweld-", 0) == 0 && it->second == kNew ? now.erase(it) : std::next(it);
        EXPECT_TRUE(now == fresh || now == old) << testing::PrintToString(now);
        EXPECT_TRUE(!completed || now == fresh);
      }
      EXPECT_TRUE(completed);
    }
}

// Files found at a journal's name that this program may not act on are left alone, warned about
// once, and never obeyed or waited for; the publish then takes a spare name. A torn journal of
// this user's is removed. The file a planted journal names stays, and the output is written.
TEST(OutputFile, OnlyOwnJournalsAreObeyed) {
  // The journal of outputs whose first file is out.tga (its name is kept from release to release,
  // so that a run finds what an older one left).
  const std::string kJournal = ".bumpweld-journal-d93cf73d42fd3c15";
  const auto entries = [](std::initializer_list<std::string> names) {
    std::string text = "bumpweld journal 2\n";
    for (const std::string& name : names) text.append(name.c_str(), name.size() + 1);
    return AsBytes(text + std::string(1, '\0') + "commit\n");
  };
  struct Case {
    const char* what;
    std::function<void(const std::string& dir, const std::string& journal)> plant;
    bool kept;  // the planted file stays
  };
  const Case kCases[] = {
      {"absolute entry", [&](auto& dir, auto& j) { WriteFile(j, entries({".bumpweld-abcdefghij", dir + "/secret"})); }, true},
      {"entry out of its folder", [&](auto&, auto& j) { WriteFile(j, entries({"../secret", "out.tga"})); }, true},
      {"not a temporary", [&](auto&, auto& j) { WriteFile(j, entries({"secret", "out.tga"})); }, true},
      {"another output's", [&](auto&, auto& j) { WriteFile(j, entries({".bumpweld-abcdefghij", "secret"})); }, true},
      {"version 1, absolute", [&](auto& dir, auto& j) {
         WriteFile(j, AsBytes("bumpweld journal 1\n" + dir + "/secret" + std::string(1, '\0') + "x" + std::string(2, '\0')));
       }, true},
      {"writable by others", [&](auto&, auto& j) { WriteFile(j, entries({})); chmod(j.c_str(), 0666); }, true},
      {"symbolic link", [&](auto& dir, auto& j) { symlink((dir + "/sub/" + kJournal).c_str(), j.c_str()); }, true},
      {"FIFO", [&](auto&, auto& j) { mkfifo(j.c_str(), 0600); }, true},
      {"another user's", [&](auto&, auto& j) { WriteFile(j, entries({})); if (chown(j.c_str(), 65534, 65534) != 0) {} }, true},
      {"torn", [&](auto&, auto& j) { WriteFile(j, {}); }, false},
      {"torn header", [&](auto&, auto& j) { WriteFile(j, AsBytes("bumpweld jou")); }, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "another user's" && geteuid() != 0) {
      std::printf("[ SKIPPED  ] %s: a file of another user can only be made as root\n", c.what);
      continue;
    }
    TempDir dir;
    mkdir((dir / "sub").c_str(), 0755);
    WriteFile(dir / "secret", kOld);
    // Another folder's journal, which a link must not lead to.
    WriteFile(dir / ("sub/" + kJournal), entries({".bumpweld-abcdefghij", "out.tga"}));
    WriteFile(dir / ".bumpweld-abcdefghij", kNew);
    WriteFile(dir / "out.tga", kOld);
    const std::string journal = dir / kJournal;
    c.plant(dir.path(), journal);
    testing::internal::CaptureStderr();
    for (int run = 0; run < 2; ++run) {
      OutputFile out((dir / "out.tga").c_str());
      ASSERT_TRUE(out);
      std::fputs("new", out.Stream());
      EXPECT_TRUE(out.Commit());
    }
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFile(dir / "out.tga"), kNew);
    EXPECT_EQ(ReadFile(dir / "secret"), kOld);
    EXPECT_EQ(ReadFile(dir / ".bumpweld-abcdefghij"), kNew);
    struct stat st;
    EXPECT_EQ(lstat(journal.c_str(), &st) == 0, c.kept);
    // Once, naming the file.
    EXPECT_EQ(warnings, c.kept ? "Warning! Left " + journal + " alone: " + warnings.substr(warnings.find(": ") + 2) : "");
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), c.kept ? 1 : 0);
  }
}

// Links are followed and stay; devices and hard-linked files are written in place (descriptor
// names are in the tool's runs below). Names that cannot be written fail at the open.
TEST(OutputFile, WhatIsWrittenInPlace) {
  TempDir dir;
  WriteFile(dir / "real.tga", kOld);
  fs::create_symlink("real.tga", dir / "link.tga");
  WriteFile(dir / "linked.tga", kOld);
  fs::create_hard_link(dir / "linked.tga", dir / "other.tga");
  const struct { std::string path; bool opens, commits, inPlace; } cases[] = {
      {dir / "link.tga", true, true, false},  {"/dev/null", true, true, true},
      {"/dev/full", true, false, true},       {dir / "linked.tga", true, true, true},
      {"/dev/fd/987", false, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    OutputFile out(c.path.c_str());
    EXPECT_EQ(bool(out), c.opens);
    EXPECT_EQ(OutputFile::WouldBeInPlace(c.path.c_str()), c.inPlace);
    if (!out) continue;
    EXPECT_EQ(out.InPlace(), c.inPlace);
    std::fputs("new", out.Stream());
    EXPECT_EQ(out.Commit(), c.commits);
  }
  EXPECT_EQ(Files(dir.path()), (Tree{{"link.tga", AsBytes("-> real.tga")}, {"linked.tga", kNew},
                                     {"other.tga", kNew}, {"real.tga", kNew}}));
  EXPECT_TRUE(fs::is_character_file("/dev/null") && fs::is_character_file("/dev/full"));
}

// A replaced file keeps its permission bits but never a set-user-ID or set-group-ID bit, and
// keeps its owner and group (which only root can give to another user's file).
TEST(OutputFile, ReplacementKeepsModeAndOwnerButNoSetIdBits) {
  const bool root = geteuid() == 0;
  for (BwTemporary temporary : kTemporaries) {
    TempDir dir;
    const std::string path = dir / "out.tga";
    WriteFile(path, kOld);
    ASSERT_EQ(chmod(path.c_str(), 06754), 0);
    ASSERT_TRUE(!root || chown(path.c_str(), 65534, 65534) == 0);
    struct stat before, after;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    OutputFile out(path.c_str(), nullptr, temporary);
    ASSERT_TRUE(out && out.Commit());
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0754u);
    EXPECT_EQ(std::make_pair(after.st_uid, after.st_gid), std::make_pair(before.st_uid, before.st_gid));
  }
}

// A writable file in a directory that refuses new names is written in place, as `>` would; a
// new name there still fails. Root passes every permission check, so the test drops to nobody.
TEST(OutputFile, FileInReadOnlyDirectoryIsWrittenInPlace) {
  TempDir dir;
  const std::string ro = dir / "ro", path = ro + "/out.tga";
  fs::create_directory(ro);
  WriteFile(path, kOld);
  ASSERT_EQ(chmod(path.c_str(), 0666) | chmod(ro.c_str(), 0555) | chmod(dir.path().c_str(), 0711), 0);
  auto run = [&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    OutputFile out(path.c_str());
    const bool written = out && out.InPlace() && std::fputs("new", out.Stream()) >= 0 && out.Commit();
    _exit(written && !OutputFile((ro + "/new.tga").c_str()) ? 0 : 1);
  };
  EXPECT_EXIT(run(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(Files(ro), (Tree{{"out.tga", kNew}}));
  chmod(ro.c_str(), 0755);
}

// Failed runs of the tool end with status 255 and their message (or by the signal of the file
// size limit, in the `ulimit` row) and leave every file as it was: no partial or temporary
// file, an old output untouched, links still links.
TEST(OutputFileCli, FailedRunsLeaveEveryFileAsItWas) {
  const std::string tooLong(256, 'x'), open = "ERROR: Unable to open ", write = "ERROR: Unable to write ",
                    limit = "trap '' XFSZ && ulimit -f 4 && ";
  using Args = std::vector<std::string>;
  const struct { Args args; std::string prefix, message; } cases[] = {  // no message: killed by SIGXFSZ
      {{"base.tga", "narrow.tga", "out.tga"}, "", "Normal map sizes must match! (64x64 63x64)"},
      {{"base.tga", "height.tga", "1", "out.tga"}, "", "Normal map sizes must match! (64x64 64x1)"},
      {{"-h", "base.tga", "det.tga", "nodir/out.kep"}, "", write + "nodir/out.kep"},
      {{"-q", "base.tga", "det.tga", "file/out.tga"}, "", open + "file/out.tga"},
      {{"-e", "base.tga", "det.tga", "nodir/out.tga"}, "", open + "nodir/out.tga"},
      {{"-q", "base.tga", "det.tga", "sub"}, "", open + "sub"},
      {{"-q", "base.tga", "det.tga", ""}, "", open},
      {{"-q", "base.tga", "det.tga", tooLong}, "", open + tooLong},
      {{"-q", "base.tga", "det.tga", "loop.tga"}, "", open + "loop.tga"},
      {{"-e", "base.tga", "det.tga", "/dev/full"}, "", write + "/dev/full"},
      {{"-q", "base.tga", "det.tga", "full.tga"}, "", write + "full.tga"},
      {{"-e", "base.tga", "det.tga", "out.tga"}, limit, write + "out.tga"},
      {{"-H", "base.tga", "det.tga", "out.kep"}, limit, write + "out.kep"},
      {{"-H", "base.tga", "det.tga", "out.kep"}, "ulimit -f 4 && ", ""},
      {{"-q", "base.tga", "det.tga", "small/out.tga"}, "", write + "small/out.tga"}};
  TempDir dir;
  WriteFile(dir / "base.tga", MakeTga(64, 64, 24, Bytes(64 * 64 * 3, 200)));
  WriteFile(dir / "det.tga", MakeTga(64, 64, 24, Bytes(64 * 64 * 3, 90)));
  WriteFile(dir / "narrow.tga", MakeTga(63, 64, 24, Bytes(63 * 64 * 3, 90)));
  WriteFile(dir / "height.tga", MakeTga(64, 1, 8, Bytes(64, 9), 3));
  WriteFile(dir / "file", AsBytes("file"));
  WriteFile(dir / "out.tga", kOld);
  WriteFile(dir / "out.kep", kOld);
  fs::create_directory(dir / "sub");
  fs::create_symlink("/dev/full", dir / "full.tga");
  fs::create_symlink("loop.tga", dir / "loop.tga");
  // A file system that fills up during the write (two 4 KiB pages, one taken by the old file).
  fs::create_directory(dir / "small");
  const bool small = geteuid() == 0 && mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=8k") == 0;
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small ? dir / "small" : ""};
  WriteFile(dir / "small/out.tga", kOld);
  const auto before = Files(dir.path());
  for (const auto& c : cases) {
    if (c.args.back() == "small/out.tga" && !small) continue;
    SCOPED_TRACE(testing::PrintToString(c.args));
    const RunResult r = ::Run(c.args, dir.path(), c.prefix);
    EXPECT_EQ(r.status, c.message.empty() ? -1 : 255);
    EXPECT_TRUE(EndsWith(r.out, c.message.empty() ? "" : c.message + "\n")) << r.out;
    EXPECT_TRUE(Files(dir.path()) == before);
    EXPECT_FALSE(HasTemporaries(dir.path()));
    EXPECT_TRUE(c.args[0] != "-h" || r.err == "Warning! Could not open texture map \"nodir/out.kep\"\n") << r.err;
  }
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// Names of the tool's own descriptors are written through them, whatever they are open on: a
// file opened for appending keeps what it held, a pipe gets the bytes, a deleted file gets them
// without a file named "log.txt (deleted)" appearing. The base map has empty texels, which make
// a regular output take a second attempt at the file; an output in place must not.
TEST(OutputFileCli, DescriptorNamesAreWrittenInPlace) {
  const std::pair<std::string, bool> cases[] = {  // script, whether log.txt stays
      {"\"$BW\" -Q base.tga det.tga /dev/stdout >> log.txt", true},
      {"\"$BW\" -Q base.tga det.tga /dev/fd/3 3>> log.txt", true},
      {"sh -c 'exec \"$BW\" -Q base.tga det.tga /proc/$$/fd/3' 3>> log.txt", true},
      {"\"$BW\" -Q base.tga det.tga /dev/stdout | cat >> log.txt", true},
      {"(rm log.txt && exec \"$BW\" -Q base.tga det.tga /dev/stdout) >> log.txt", false},
      // With the picture on standard output the console goes to standard error.
      {"\"$BW\" base.tga det.tga /dev/stdout 2>/dev/null | cat >> log.txt", true},
      {"\"$BW\" -q base.tga det.tga /dev/fd/1 2>/dev/null >> log.txt", true}};
  TempDir dir;
  Bytes base = MakeTga(48, 8, 24, Bytes(48 * 8 * 3, 200));
  std::fill_n(base.begin() + 18 + 300, 30, 127);
  WriteFile(dir / "base.tga", base);
  WriteFile(dir / "det.tga", MakeTga(48, 8, 24, Bytes(48 * 8 * 3, 90)));
  ASSERT_EQ(Shell("\"$BW\" -Q base.tga det.tga ref.tga", dir.path()), 0);
  const Bytes ref = ReadFile(dir / "ref.tga");
  for (const auto& [script, stays] : cases) {
    SCOPED_TRACE(script);
    WriteFile(dir / "log.txt", AsBytes("log\n"));
    EXPECT_EQ(Shell(script, dir.path()), 0);
    Tree expected = {{"base.tga", base}, {"det.tga", ReadFile(dir / "det.tga")}, {"ref.tga", ref}};
    if (stays) expected["log.txt"] = Cat({AsBytes("log\n"), ref});
    EXPECT_TRUE(Files(dir.path()) == expected);
  }
}

}  // namespace
