// Read-only file mappings and the byte ranges that keep them alive.
#include "engine/storage/mapping.hpp"

#include <gtest/gtest.h>

#include "tests/engine/handmade_file.hpp"

namespace molarium::storage {
namespace {

TEST(FileMapping, MapsTheWholeFile) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("file");
  molarium::testing::write_file(path, {1, 2, 3, 4, 5});
  auto mapping = FileMapping::map_file(path);
  ASSERT_TRUE(mapping);
  const ByteView bytes = (*mapping)->bytes();
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{1, 2, 3, 4, 5}));
}

TEST(FileMapping, EmptyFileMapsToNoBytes) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("empty");
  molarium::testing::write_file(path, {});
  auto mapping = FileMapping::map_file(path);
  ASSERT_TRUE(mapping);
  EXPECT_EQ((*mapping)->size(), 0u);
  EXPECT_TRUE((*mapping)->bytes().empty());
}

TEST(FileMapping, MissingFileIsAnIoError) {
  molarium::testing::TempDir dir;
  auto mapping = FileMapping::map_file(dir.path("missing"));
  ASSERT_FALSE(mapping);
  EXPECT_EQ(mapping.error().kind(), Error::Kind::Io);
}

TEST(SharedMmapBytes, RangeKeepsTheMappingAliveAfterOtherHoldersGo) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("file");
  molarium::testing::write_file(path, {10, 11, 12, 13, 14, 15});
  SharedMmapBytes range;
  {
    auto mapping = FileMapping::map_file(path);
    ASSERT_TRUE(mapping);
    range = SharedMmapBytes{*mapping, 2, 5};
  }
  EXPECT_EQ(range.mapping.use_count(), 1);
  EXPECT_EQ(range.size(), 3u);
  const ByteView bytes = range.as_slice();
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{12, 13, 14}));
}

}  // namespace
}  // namespace molarium::storage
