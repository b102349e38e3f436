// Committing to a file whose header slots disagree with its length: every commit a writer reports
// is the one a later open reads, also after the file grows.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/storage/database.hpp"
#include "tests/engine/handmade_file.hpp"

namespace molarium::storage {
namespace {

using molarium::testing::append_file;
using molarium::testing::FileBytes;
using molarium::testing::get;
using molarium::testing::handmade_index;
using molarium::testing::handmade_slot;
using molarium::testing::read_file;
using molarium::testing::SlotFields;
using molarium::testing::TempDir;
using molarium::testing::write_file;

constexpr std::size_t kSlotB = 4096;
constexpr std::uint64_t kDataStart = 8192;
// An empty committed index at the data start: its count, 0, and nothing else.
constexpr std::uint64_t kEmptyIndexEnd = kDataStart + 8;
// Enough one-atom records to carry the file past every extent the damaged slots below name.
constexpr int kMolecules = 8;
// Zeros appended after the commit: every extent a damaged slot names now lies inside the file.
constexpr std::size_t kGrowth = 1 << 16;

SlotFields slot(std::uint64_t generation) {
  SlotFields f;
  f.generation = generation;
  return f;
}

SlotFields with_empty_index(std::uint64_t generation) {
  SlotFields f = slot(generation);
  f.index_offset = kDataStart;
  f.index_length = 8;
  return f;
}

SlotFields with_data_start(std::uint64_t generation, std::uint64_t data_start) {
  SlotFields f = slot(generation);
  f.data_start = data_start;
  return f;
}

SlotFields with_index(std::uint64_t generation, std::uint64_t offset, std::uint64_t count) {
  SlotFields f = slot(generation);
  f.index_offset = offset;
  f.record_count = count;
  f.index_length = 8 + 20 * count;
  return f;
}

SlotFields with_schema(std::uint64_t generation, std::uint64_t offset, std::uint64_t length) {
  SlotFields f = with_empty_index(generation);
  f.schema_offset = offset;
  f.schema_length = length;
  return f;
}

// Two slots over an empty data region, or over an empty committed index; one slot names bytes
// past the end of the file and is invalid at open, the other holds the commit.
struct DamagedHeader {
  const char* name;
  SlotFields a;
  SlotFields b;
  bool empty_index;              // the data region holds an empty index at 8192
  std::uint64_t open_generation;  // the commit an open finds
};

std::ostream& operator<<(std::ostream& out, const DamagedHeader& c) { return out << c.name; }

const DamagedHeader kDamagedHeaders[] = {
    // The file the whole-file fuzz target found: a new file's slot B, and a slot A far ahead of it
    // whose data start lies 28 bytes past the end. The first commit goes to slot B.
    {"data_start_past_end_ahead_of_the_next_commit", with_data_start(256, 8220), slot(0), false, 0},
    {"index_past_end_ahead_of_the_next_commit", with_index(5, kDataStart, 2), slot(0), false, 0},
    {"schema_past_end_ahead_of_the_next_commit", with_schema(7, kDataStart + 8, 40), with_empty_index(0), true, 0},
    // Slot A wins ties, so its generation 1 would take the place of the first commit.
    {"tying_the_next_commit_in_slot_a", with_data_start(1, 8300), slot(0), false, 0},
    // The next commit goes to the damaged slot itself, but the records appended before it carry
    // the file past the slot's extents, where it would outrank the commit the handle holds.
    {"newer_index_lost_in_the_slot_of_the_next_commit", with_index(2, kEmptyIndexEnd, 3), with_empty_index(1), true, 1},
    {"newer_data_start_past_end_in_the_slot_of_the_next_commit", with_empty_index(4), with_data_start(9, 8201), true,
     4},
    {"tied_slot_a_past_end_in_the_slot_of_the_next_commit", with_data_start(1, 8201), with_empty_index(1), true, 1},
    // An older slot past the end can never outrank a commit; it is retired all the same.
    {"older_slot_past_end", with_data_start(0, 8300), with_empty_index(1), true, 1},
};

class DamagedHeaderCommit : public ::testing::TestWithParam<DamagedHeader> {};

// Commits `count` one-atom molecules to the file of `c` at `path` and checks every later open.
void commit_and_reopen(const DamagedHeader& c, const std::string& path, int count) {
  SCOPED_TRACE(std::to_string(count) + " molecules");
  FileBytes bytes = handmade_slot(c.a);
  const FileBytes b = handmade_slot(c.b);
  bytes.insert(bytes.end(), b.begin(), b.end());
  if (c.empty_index) {
    const FileBytes index = handmade_index(0, {});
    bytes.insert(bytes.end(), index.begin(), index.end());
  }
  write_file(path, bytes);

  auto db = AtomDatabase::open_with_options(path, false, false);
  ASSERT_TRUE(db.has_value()) << db.error().display();
  ASSERT_EQ(db->generation(), c.open_generation);
  ASSERT_EQ(db->len(), 0u);

  std::vector<atom::Molecule> molecules;
  for (int i = 0; i < count; ++i) {
    molecules.push_back(atom::Molecule::create({{static_cast<float>(i), 2.0f, 3.0f}}, {6}).value());
  }
  std::vector<const atom::Molecule*> pointers;
  for (const auto& m : molecules) pointers.push_back(&m);
  auto added = db->add_molecules(pointers);
  ASSERT_TRUE(added.has_value()) << added.error().display();
  auto flushed = db->flush();
  ASSERT_TRUE(flushed.has_value()) << flushed.error().display();
  ASSERT_EQ(db->generation(), c.open_generation + 1);

  std::vector<std::size_t> all(static_cast<std::size_t>(count));
  std::iota(all.begin(), all.end(), std::size_t{0});
  auto written = db->get_raw_bytes(all);
  ASSERT_TRUE(written.has_value());

  // Zeros past the commit are an uncommitted tail; they must not bring the damaged slot back.
  for (bool grown : {false, true}) {
    SCOPED_TRACE(grown ? "grown" : "as committed");
    if (grown) append_file(path, FileBytes(kGrowth, 0));
    for (bool mapped : {false, true}) {
      auto reopened = AtomDatabase::open_with_options(path, mapped, false);
      ASSERT_TRUE(reopened.has_value()) << reopened.error().display();
      EXPECT_EQ(reopened->generation(), c.open_generation + 1);
      ASSERT_EQ(reopened->len(), static_cast<std::size_t>(count));
      auto records = reopened->get_raw_bytes(all);
      ASSERT_TRUE(records.has_value()) << records.error().display();
      EXPECT_EQ(*records, *written);
    }
  }
}

// One record keeps the file short of the damaged slot until the commit's own index carries it
// past; many carry it past before the commit.
TEST_P(DamagedHeaderCommit, CommitIsTheOneEveryLaterOpenReads) {
  TempDir dir;
  for (int count : {1, kMolecules}) commit_and_reopen(GetParam(), dir.path(std::to_string(count) + ".molr"), count);
}

INSTANTIATE_TEST_SUITE_P(SlotsPastTheEnd, DamagedHeaderCommit, ::testing::ValuesIn(kDamagedHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

// A commit whose schema blob lies after its index: the committed end covers the blob, so cutting
// an uncommitted tail keeps the commit whole. The file is one the engine wrote, with the blob and
// the index swapped by hand.
TEST(DamagedHeaderCommit, SchemaBlobAfterTheIndexSurvivesTheTailCut) {
  TempDir dir;
  const std::string source = dir.path("source.molr");
  {
    auto db = AtomDatabase::create_with_format(source, compression::CompressionType::none());
    ASSERT_TRUE(db.has_value());
    ASSERT_TRUE(db->add_molecule(atom::Molecule::create({{1.0f, 2.0f, 3.0f}}, {6}).value()).has_value());
    ASSERT_TRUE(db->flush().has_value());  // generation 1, in slot B
  }
  const FileBytes original = read_file(source);
  const std::uint64_t schema_offset = get(original, kSlotB + 60, 8);
  const std::uint64_t schema_length = get(original, kSlotB + 68, 8);
  const std::uint64_t index_offset = get(original, kSlotB + 24, 8);
  const std::uint64_t index_length = get(original, kSlotB + 32, 8);
  ASSERT_EQ(schema_offset + schema_length, index_offset);
  ASSERT_EQ(index_offset + index_length, original.size());

  FileBytes swapped(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(schema_offset));
  swapped.insert(swapped.end(), original.begin() + static_cast<std::ptrdiff_t>(index_offset), original.end());
  swapped.insert(swapped.end(), original.begin() + static_cast<std::ptrdiff_t>(schema_offset),
                 original.begin() + static_cast<std::ptrdiff_t>(index_offset));
  SlotFields b = with_index(1, schema_offset, 1);
  b.schema_offset = schema_offset + index_length;
  b.schema_length = schema_length;
  const FileBytes slot_b = handmade_slot(b);
  std::copy(slot_b.begin(), slot_b.end(), swapped.begin() + kSlotB);
  const std::string path = dir.path("swapped.molr");
  write_file(path, swapped);

  auto db = AtomDatabase::open_with_options(path, false, false);
  ASSERT_TRUE(db.has_value()) << db.error().display();
  ASSERT_EQ(db->len(), 1u);
  EXPECT_FALSE(db->has_uncommitted_tail());
  ASSERT_TRUE(db->add_molecule(atom::Molecule::create({{4.0f, 5.0f, 6.0f}}, {8}).value()).has_value());
  auto flushed = db->flush();
  ASSERT_TRUE(flushed.has_value()) << flushed.error().display();

  auto reopened = AtomDatabase::open_with_options(path, false, false);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().display();
  EXPECT_EQ(reopened->generation(), 2u);
  ASSERT_EQ(reopened->len(), 2u);
  const std::size_t both[] = {0, 1};
  auto records = reopened->get_raw_bytes(both);
  ASSERT_TRUE(records.has_value()) << records.error().display();
  // The first record is still the one the engine wrote at the data start.
  const std::uint64_t first_length = get(original, index_offset + 8 + 8, 4);
  EXPECT_EQ((*records)[0], Bytes(original.begin() + kDataStart,
                                 original.begin() + static_cast<std::ptrdiff_t>(kDataStart + first_length)));
}

}  // namespace
}  // namespace molarium::storage
