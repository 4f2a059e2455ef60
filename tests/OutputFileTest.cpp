// Output files are complete or absent; links are followed; devices are written in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "OutputFile.h"
#include "TestSupport.h"

namespace {

using Names = std::vector<std::string>;

Names List(const std::string& dir) {
  Names names;
  DIR* d = opendir(dir.c_str());
  while (const dirent* e = d ? readdir(d) : nullptr)
    if (e->d_name[0] != '.' || (e->d_name[1] && e->d_name[1] != '.')) names.push_back(e->d_name);
  if (d) closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Text(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

}  // namespace

TEST(OutputFile, CommitOrNothing) {
  for (bool existing : {true, false})
    for (bool commit : {true, false}) {
      SCOPED_TRACE(testing::Message() << "existing " << existing << ", commit " << commit);
      TempDir dir;
      const std::string path = dir / "out.tga";
      if (existing) WriteFile(path, {'o', 'l', 'd'});
      {
        OutputFile out(path.c_str());
        ASSERT_TRUE(out);
        std::fputs("new", out.Stream());
        std::fflush(out.Stream());
        EXPECT_EQ(Text(path), existing ? "old" : "");  // untouched until the commit
        EXPECT_EQ(commit && out.Commit(), commit);
      }
      const bool present = existing || commit;
      EXPECT_EQ(List(dir.path()), present ? Names{"out.tga"} : Names{});
      EXPECT_EQ(Text(path), commit ? "new" : existing ? "old" : "");
    }
}

TEST(OutputFile, SymbolicLinkIsFollowed) {
  TempDir dir;
  WriteFile(dir / "real.tga", {'o', 'l', 'd'});
  ASSERT_EQ(symlink("real.tga", (dir / "link.tga").c_str()), 0);
  OutputFile out((dir / "link.tga").c_str());
  ASSERT_TRUE(out);
  std::fputs("new", out.Stream());
  EXPECT_TRUE(out.Commit());
  EXPECT_TRUE(S_ISLNK(ModeOf(dir / "link.tga")));
  EXPECT_EQ(Text(dir / "real.tga"), "new");
  EXPECT_EQ(List(dir.path()), (Names{"link.tga", "real.tga"}));
}

TEST(OutputFile, DevicesDirectoriesAndMissingDirectories) {
  TempDir dir;
  mkdir((dir / "sub").c_str(), 0755);
  ASSERT_EQ(symlink("/dev/full", (dir / "full.tga").c_str()), 0);
  ASSERT_EQ(symlink("loop.tga", (dir / "loop.tga").c_str()), 0);
  const struct { std::string path; bool opens, commits; } cases[] = {
      {"/dev/null", true, true}, {"/dev/full", true, false}, {dir / "full.tga", true, false},
      {dir / "sub", false, false}, {dir / "none/out.tga", false, false}, {"", false, false},
      {dir / std::string(256, 'x'), false, false}, {dir / "loop.tga", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    OutputFile out(c.path.c_str());
    EXPECT_EQ(bool(out), c.opens);
    if (out) std::fputs("texels", out.Stream());
    EXPECT_EQ(out.Commit(), c.commits);
  }
  EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")) && S_ISCHR(ModeOf("/dev/full")));
  EXPECT_TRUE(S_ISLNK(ModeOf(dir / "full.tga")) && S_ISDIR(ModeOf(dir / "sub")));
  EXPECT_TRUE(S_ISLNK(ModeOf(dir / "loop.tga")));
  EXPECT_EQ(List(dir.path()), (Names{"full.tga", "loop.tga", "sub"}));
}
