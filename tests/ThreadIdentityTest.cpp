// The same run on one CPU and on all of them writes the same bytes, to files and to the console.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Every file a run left in `dir`, by name.
std::map<std::string, Bytes> Files(const std::string& dir) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::directory_iterator(dir))
    files[entry.path().filename().string()] = ReadFile(entry.path().string());
  return files;
}

// A normal map of mostly upward random texels with empty (127, 127, 127) patches, or a grey
// height map, from a fixed pseudo-random sequence.
Bytes RandomMap(int width, int height, int bitDepth, uint32_t seed) {
  Bytes texels;
  for (int i = 0; i < width * height; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const unsigned char r = static_cast<unsigned char>(seed >> 24);
    if (bitDepth == 8) {
      texels.push_back(r);
    } else if ((seed >> 8) % 17 == 0) {
      texels.insert(texels.end(), {127, 127, 127});
    } else {
      texels.insert(texels.end(), {static_cast<unsigned char>(160 + r % 96),
                                   static_cast<unsigned char>(seed >> 16), r});
    }
  }
  return MakeTga(width, height, bitDepth, texels, bitDepth == 8 ? 3 : 2);
}

void ExpectSameOnOneCpu(const std::vector<std::string>& args) {
  SCOPED_TRACE(::testing::PrintToString(args));
  TempDir one, all;
  const RunResult single = Run(args, one.path(), "taskset -c 0 ");
  const RunResult multi = Run(args, all.path());
  ASSERT_EQ(single.status, 0) << single.out;
  EXPECT_EQ(multi.status, 0);
  EXPECT_EQ(single.out, multi.out);
  EXPECT_TRUE(Files(one.path()) == Files(all.path()));
}

}  // namespace

TEST(ThreadIdentity, OddSizesAndEveryStage) {
  if (std::system("taskset -c 0 true >/dev/null 2>&1") != 0) GTEST_SKIP() << "taskset is not available";
  TempDir inputs;
  const int sizes[][2] = {{1, 70001}, {70001, 1}, {5, 5}, {1023, 17}, {1023, 117}};
  for (const auto& size : sizes) {
    const std::string base = inputs / "base.tga", detail = inputs / "detail.tga",
                      height = inputs / "height.tga";
    WriteFile(base, RandomMap(size[0], size[1], 24, 1));
    WriteFile(detail, RandomMap(size[0], size[1], 24, 2));
    WriteFile(height, RandomMap(size[0], size[1], 8, 3));
    ExpectSameOnOneCpu({"-mB", base, detail, "out.tga"});
    ExpectSameOnOneCpu({"-Gi", base, detail, "out.kep"});
    ExpectSameOnOneCpu({"-MB", base, height, "2.5", "out.tga"});
  }
}

TEST(ThreadIdentity, RealMaps) {
  const std::string textures = TexturesDir();
  if (textures.empty()) GTEST_SKIP() << "the shared texture folder is absent";
  if (std::system("taskset -c 0 true >/dev/null 2>&1") != 0) GTEST_SKIP() << "taskset is not available";
  ExpectSameOnOneCpu({textures + "/rock058_normal_1024.tga", textures + "/fabric_normal_1024.tga", "out.tga"});
  ExpectSameOnOneCpu({"-mB", textures + "/rock058_normal_1024.tga", textures + "/rock058_height_1024.tga",
                      "1.0", "out.tga"});
}
