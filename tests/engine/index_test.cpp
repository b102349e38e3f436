// The record index: its byte format, its decoding errors, and owned and mapped lookups.
#include "engine/storage/index.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "tests/engine/handmade_file.hpp"

namespace molarium::storage::index {
namespace {

using molarium::testing::FileBytes;
using molarium::testing::handmade_index;
using molarium::testing::put;

Result<std::vector<MoleculeIndex>> decode(const FileBytes& bytes) {
  return decode_index(ByteView(bytes.data(), bytes.size()));
}

void expect_invalid(const Result<std::vector<MoleculeIndex>>& result, const std::string& message) {
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(result.error().message(), message);
}

TEST(IndexFormat, EmptyIndexIsEightZeroBytes) {
  const Bytes bytes = encode_index({});
  EXPECT_EQ(bytes, Bytes(8, 0));
  auto decoded = decode_index(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->empty());
}

TEST(IndexFormat, EntriesAreTwentyPackedLittleEndianBytes) {
  const std::vector<MoleculeIndex> entries = {
      {.offset = 8192, .compressed_len = 100, .uncompressed_len = 250, .num_atoms = 3},
      {.offset = 0x0102030405060708ull, .compressed_len = 0xa0b0c0d0, .uncompressed_len = 7, .num_atoms = 0xffffffff},
  };
  const FileBytes expected = handmade_index(2, {{8192, 100, 250, 3}, {0x0102030405060708ull, 0xa0b0c0d0, 7, 0xffffffff}});
  const Bytes bytes = encode_index(entries);
  EXPECT_EQ(FileBytes(bytes.begin(), bytes.end()), expected);
  EXPECT_EQ(bytes.size(), 48u);

  auto decoded = decode(expected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, entries);
}

TEST(IndexFormat, ShorterThanCountIsTooSmall) {
  expect_invalid(decode(FileBytes(7, 0)), "Index too small");
  expect_invalid(decode(FileBytes()), "Index too small");
}

TEST(IndexFormat, LengthMustMatchCount) {
  FileBytes bytes = handmade_index(2, {{1, 2, 3, 4}, {5, 6, 7, 8}});
  bytes.pop_back();
  expect_invalid(decode(bytes), "Index length mismatch (expected 48, got 47)");

  bytes = handmade_index(1, {{1, 2, 3, 4}, {5, 6, 7, 8}});
  expect_invalid(decode(bytes), "Index length mismatch (expected 28, got 48)");
}

TEST(IndexFormat, HugeCountIsRefusedWithoutAllocating) {
  FileBytes bytes(8, 0);
  put(bytes, 0, std::numeric_limits<std::uint64_t>::max() / 20 + 1, 8);
  expect_invalid(decode(bytes), "Index length overflow");

  // No overflow, but far more entries than bytes: a plain mismatch, and no attempt to reserve them.
  put(bytes, 0, std::numeric_limits<std::uint64_t>::max() / 20, 8);
  auto result = decode(bytes);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message().rfind("Index length mismatch (expected ", 0), 0u);
}

TEST(IndexStorageOwned, ExtendAppendsInOrderAndLooksUp) {
  IndexStorage index;
  EXPECT_FALSE(index.is_mapped());
  EXPECT_EQ(index.record_count(), 0u);
  EXPECT_FALSE(index.entry(0));
  ASSERT_TRUE(index.extend({{8192, 4, 4, 1}}));
  ASSERT_TRUE(index.extend({{8196, 5, 6, 2}, {8201, 7, 8, 3}}));
  EXPECT_EQ(index.record_count(), 3u);
  EXPECT_EQ(index.entry(0), (MoleculeIndex{8192, 4, 4, 1}));
  EXPECT_EQ(index.entry(2), (MoleculeIndex{8201, 7, 8, 3}));
  EXPECT_FALSE(index.entry(3));
}

class IndexStorageMapped : public ::testing::Test {
 protected:
  // A file with `prefix` filler bytes, then the index bytes, mapped whole.
  std::shared_ptr<const FileMapping> map(std::size_t prefix, const FileBytes& index_bytes) {
    FileBytes file(prefix, 0xee);
    file.insert(file.end(), index_bytes.begin(), index_bytes.end());
    const std::string path = dir_.path("index");
    molarium::testing::write_file(path, file);
    auto mapping = FileMapping::map_file(path);
    EXPECT_TRUE(mapping);
    return *mapping;
  }
  molarium::testing::TempDir dir_;
};

TEST_F(IndexStorageMapped, ReadsEntriesInPlaceAtAnyAlignment) {
  const auto mapping = map(13, handmade_index(2, {{8192, 10, 20, 3}, {8202, 11, 21, 4}}));
  const IndexStorage index = IndexStorage::mapped(mapping, 13, 2);
  EXPECT_TRUE(index.is_mapped());
  EXPECT_EQ(index.record_count(), 2u);
  EXPECT_EQ(index.entry(0), (MoleculeIndex{8192, 10, 20, 3}));
  EXPECT_EQ(index.entry(1), (MoleculeIndex{8202, 11, 21, 4}));
  EXPECT_FALSE(index.entry(2));
  EXPECT_TRUE(index.owned_entries().empty());
}

TEST_F(IndexStorageMapped, EntryNotWhollyInsideTheMappingIsAbsent) {
  FileBytes index_bytes = handmade_index(2, {{8192, 10, 20, 3}, {8202, 11, 21, 4}});
  index_bytes.resize(index_bytes.size() - 1);
  const auto mapping = map(0, index_bytes);
  const IndexStorage index = IndexStorage::mapped(mapping, 0, 2);
  EXPECT_TRUE(index.entry(0));
  EXPECT_FALSE(index.entry(1));

  const IndexStorage far = IndexStorage::mapped(mapping, std::numeric_limits<std::uint64_t>::max() - 8, 2);
  EXPECT_FALSE(far.entry(0));
}

TEST_F(IndexStorageMapped, ExtendIsRefused) {
  IndexStorage index = IndexStorage::mapped(map(0, handmade_index(0, {})), 0, 0);
  auto result = index.extend({{8192, 1, 1, 1}});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(result.error().message(),
            "Cannot add molecules to a database opened with a memory-mapped index (read-only); reopen without mmap "
            "to write.");
  EXPECT_EQ(index.record_count(), 0u);
}

}  // namespace
}  // namespace molarium::storage::index
