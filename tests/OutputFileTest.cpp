// Output files are complete or absent; links are followed; devices are written in place.
#include <filesystem>
#include <set>

#include "OutputFile.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

// Names in `dir`, temporary files included.
std::set<std::string> List(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

std::string Text(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// Writes `text` through an OutputFile at `path`; whether it opened and whether it committed.
std::pair<bool, bool> Put(const std::string& path, const char* text) {
  OutputFile out(path.c_str());
  if (out) std::fputs(text, out.Stream());
  return {bool(out), out.Commit()};
}

// An existing file stays untouched until the commit; without one, nothing is left.
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
        EXPECT_EQ(Text(path), existing ? "old" : "");
        EXPECT_EQ(commit && out.Commit(), commit);
      }
      EXPECT_EQ(List(dir.path()), existing || commit ? std::set<std::string>{"out.tga"} : std::set<std::string>{});
      EXPECT_EQ(Text(path), commit ? "new" : existing ? "old" : "");
    }
}

// A link is followed and stays a link; devices and directories are never replaced; names that
// cannot be created (missing directory, empty, too long, a link loop) fail at the open.
TEST(OutputFile, LinksDevicesAndNamesThatCannotBeCreated) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  WriteFile(dir / "real.tga", {'o', 'l', 'd'});
  fs::create_symlink("real.tga", dir / "link.tga");
  fs::create_symlink("/dev/full", dir / "full.tga");
  fs::create_symlink("loop.tga", dir / "loop.tga");
  const struct { std::string path; bool opens, commits; } cases[] = {
      {dir / "link.tga", true, true},   {"/dev/null", true, true},
      {"/dev/full", true, false},       {dir / "full.tga", true, false},
      {dir / "sub", false, false},      {dir / "none/out.tga", false, false},
      {"", false, false},               {dir / std::string(256, 'x'), false, false},
      {dir / "loop.tga", false, false}};
  for (const auto& c : cases) EXPECT_EQ(Put(c.path, "new"), std::make_pair(c.opens, c.commits)) << c.path;
  EXPECT_EQ(Text(dir / "real.tga"), "new");
  for (const char* link : {"link.tga", "full.tga", "loop.tga"}) EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
  EXPECT_TRUE(fs::is_character_file("/dev/null") && fs::is_character_file("/dev/full") &&
              fs::is_directory(dir / "sub"));
  EXPECT_EQ(List(dir.path()), (std::set<std::string>{"full.tga", "link.tga", "loop.tga", "real.tga", "sub"}));
}
