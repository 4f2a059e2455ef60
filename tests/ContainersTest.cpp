// The table of containers: each output name writes the container its row names, a file the tool
// wrote is recognised as that container from its first bytes, and the probe reads its size.
#include <sys/stat.h>

#include "Containers.h"
#include "ImageProbe.h"
#include "TestSupport.h"

namespace {

TEST(Containers, OutputsAreRecognisedAndProbedByTheirRow) {
  TempDir dir;
  WriteTestMaps(dir.path(), 9, 5);
  const std::pair<const char*, BwContainerId> kCases[] = {
      {"o.tga", BwContainerId::TARGA}, {"o.PNG", BwContainerId::PNG}, {"o.tif", BwContainerId::TIFF},
      {"o.Tiff", BwContainerId::TIFF}, {"o.exr", BwContainerId::EXR}, {"o.dds", BwContainerId::DDS},
      {"o.KTX2", BwContainerId::KTX2}, {"o.Astc", BwContainerId::ASTC},
  };
  for (const auto& [name, id] : kCases) {
    SCOPED_TRACE(name);
    const BwContainerRow* row = BwOutputContainer(name);
    EXPECT_EQ(row ? row->id : BwContainerId::TARGA, id);
    ASSERT_EQ(::Run({"-Q", "base.tga", "detail.tga", name}, dir.path()).status, 0);
    const Bytes file = ReadFile(dir / name);
    EXPECT_EQ(BwInputContainer(file.data(), file.size()).id, id);
    BwImageProbe probe;
    ASSERT_TRUE(BwProbeImageFile(dir / name, &probe));
    EXPECT_EQ(probe.width * 100 + probe.height, 905);
    EXPECT_GT(probe.readerBytes, 0u);
  }
  // Only names a container claims: .kep textures and Targa files are chosen by the encoding.
  EXPECT_EQ(BwOutputContainer("o.kep"), nullptr);
  EXPECT_EQ(BwOutputContainer("tif"), nullptr);
}

TEST(Containers, ListsNameEveryRow) {
  EXPECT_EQ(BwContainerList(BwContainerListKind::OUTPUTS), ".png, .tif, .tiff, .exr, .dds, .ktx2 or .astc");
  EXPECT_EQ(BwContainerList(BwContainerListKind::CHAINS), ".exr, .dds or .ktx2");
  EXPECT_EQ(BwContainerList(BwContainerListKind::INPUTS), "Targa, PNG, TIFF, OpenEXR, DDS, KTX2 and .astc");
}

}  // namespace
