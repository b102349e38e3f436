// POSIX file handles: exact reads and writes, lengths, and removal of a path.
#include "engine/storage/file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/handmade_file.hpp"

namespace molarium::storage {
namespace {

TEST(File, ReadPastTheEndFailsToFillWholeBuffer) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("file");
  molarium::testing::write_file(path, {1, 2, 3});
  auto file = File::open_read(path);
  ASSERT_TRUE(file);
  std::uint8_t buffer[4];
  auto read = file->read_exact(buffer, sizeof buffer);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind(), Error::Kind::Io);
  EXPECT_EQ(read.error().message(), "failed to fill whole buffer");
  auto positional = file->read_exact_at(buffer, 2, 2);
  ASSERT_FALSE(positional);
  EXPECT_EQ(positional.error().message(), "failed to fill whole buffer");
  ASSERT_TRUE(file->read_exact_at(buffer, 2, 1));
  EXPECT_EQ(buffer[0], 2);
  EXPECT_EQ(buffer[1], 3);
}

TEST(File, WritesSeeksAndSetsLength) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("file");
  auto file = File::create_truncate(path);
  ASSERT_TRUE(file);
  const Bytes bytes = {1, 2, 3, 4, 5};
  ASSERT_TRUE(file->write_all(bytes));
  EXPECT_EQ(file->seek_end(), 5u);
  EXPECT_EQ(file->length(), 5u);
  ASSERT_TRUE(file->seek(1));
  ASSERT_TRUE(file->write_all(Bytes{9}));
  ASSERT_TRUE(file->set_length(3));
  ASSERT_TRUE(file->full_sync());
  ASSERT_TRUE(file->close());
  EXPECT_FALSE(file->is_open());
  EXPECT_EQ(molarium::testing::read_file(path), (molarium::testing::FileBytes{1, 9, 3}));
}

TEST(File, OpenWriteDoesNotCreate) {
  molarium::testing::TempDir dir;
  auto file = File::open_write(dir.path("missing"));
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), Error::Kind::Io);
}

TEST(File, RemoveIgnoresAMissingPath) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("file");
  EXPECT_TRUE(remove_file_if_exists(path));
  molarium::testing::write_file(path, {1});
  EXPECT_TRUE(remove_file_if_exists(path));
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace molarium::storage
