// The database file: creating, opening mapped and in memory, committing, uncommitted tails, and
// the per-record accessors, checked against files built and read byte by byte.
#include "engine/storage/database.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <limits>

#include "tests/engine/handmade_file.hpp"

namespace molarium::storage {
namespace {

using compression::CompressionType;
using molarium::testing::append_file;
using molarium::testing::EntryFields;
using molarium::testing::FileBytes;
using molarium::testing::flip_byte;
using molarium::testing::get;
using molarium::testing::handmade_index;
using molarium::testing::handmade_slot;
using molarium::testing::overwrite;
using molarium::testing::read_file;
using molarium::testing::SlotFields;
using molarium::testing::write_file;

constexpr char kMappedIndexFlush[] =
    "Cannot flush a database opened with a memory-mapped index (read-only); reopen without mmap to write.";

FileBytes slot_of(const FileBytes& file, int slot) {
  return FileBytes(file.begin() + slot * 4096, file.begin() + (slot + 1) * 4096);
}

std::string text(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

const std::vector<EntryFields> kTwoRecords = {{8192, 5, 50, 3}, {8197, 7, 70, 4}};

// A committed file made by hand: slot A generation 1 naming the index, slot B generation 0 empty,
// records "hello" at 8192 and "world!!" at 8197, then the schema blob if any, then the index
// (count `stored_count`).
struct HandmadeFile {
  std::vector<EntryFields> entries;
  std::uint64_t stored_count = 0;
  std::uint32_t record_format = 2;
  std::uint8_t codec = 0;
  std::int32_t level = 0;
  FileBytes blob = {};
};

FileBytes build(const HandmadeFile& spec) {
  const FileBytes index = handmade_index(spec.stored_count, spec.entries);
  SlotFields a;
  a.generation = 1;
  a.record_count = spec.entries.size();
  a.record_format = spec.record_format;
  a.codec = spec.codec;
  a.level = spec.level;
  if (!spec.blob.empty()) {
    a.schema_offset = 8204;
    a.schema_length = spec.blob.size();
  }
  a.index_offset = 8204 + spec.blob.size();
  a.index_length = index.size();
  FileBytes file = handmade_slot(a);
  const FileBytes b = handmade_slot(SlotFields{});
  file.insert(file.end(), b.begin(), b.end());
  for (char c : std::string("hello") + "world!!") file.push_back(static_cast<std::uint8_t>(c));
  file.insert(file.end(), spec.blob.begin(), spec.blob.end());
  file.insert(file.end(), index.begin(), index.end());
  return file;
}

FileBytes handmade_committed_file(const std::vector<EntryFields>& entries, std::uint64_t stored_count) {
  return build({.entries = entries, .stored_count = stored_count});
}
constexpr std::uint64_t kHandmadeCommittedEnd = 8204 + 48;  // two entries, no blob

class Database : public ::testing::Test {
 protected:
  molarium::testing::TempDir dir_;  // before path_, which it names
  std::string path_ = dir_.path("db.molr");

  AtomDatabase create(CompressionType compression = CompressionType::none()) {
    auto db = AtomDatabase::create_with_format(path_, compression);
    EXPECT_TRUE(db) << db.error().display();
    return std::move(*db);
  }
  AtomDatabase open(bool mapped, bool populate = false) {
    auto db = AtomDatabase::open_with_options(path_, mapped, populate);
    EXPECT_TRUE(db) << db.error().display();
    return std::move(*db);
  }
  void expect_open_fails(Error::Kind kind, const std::string& message) {
    for (bool mapped : {false, true}) {
      auto db = AtomDatabase::open_with_options(path_, mapped, false);
      ASSERT_FALSE(db) << "mapped " << mapped;
      EXPECT_EQ(db.error().kind(), kind);
      EXPECT_EQ(db.error().message(), message) << "mapped " << mapped;
    }
  }
  std::uint64_t file_size() const { return std::filesystem::file_size(path_); }
};

// --- Creating -------------------------------------------------------------------------------

TEST_F(Database, CreatedFileIsTwoIdenticalEmptySlots) {
  const AtomDatabase db = create(CompressionType::zstd(-3));
  const FileBytes file = read_file(path_);
  ASSERT_EQ(file.size(), 8192u);
  SlotFields expected;
  expected.codec = 2;
  expected.level = -3;
  EXPECT_EQ(slot_of(file, 0), handmade_slot(expected));
  EXPECT_EQ(slot_of(file, 1), handmade_slot(expected));
  EXPECT_EQ(db.len(), 0u);
  EXPECT_EQ(db.generation(), 0u);
  EXPECT_EQ(db.committed_end(), 8192u);
  EXPECT_EQ(db.record_format(), 2u);
  EXPECT_FALSE(db.opened_mapped());
  EXPECT_FALSE(db.index().is_mapped());
}

TEST_F(Database, CreatedFileOpensEmptyInBothModes) {
  create(CompressionType::lz4());
  for (bool mapped : {false, true}) {
    const AtomDatabase db = open(mapped);
    EXPECT_EQ(db.len(), 0u);
    EXPECT_EQ(db.generation(), 0u);
    EXPECT_EQ(db.committed_end(), 8192u);
    EXPECT_EQ(db.compression(), CompressionType::lz4());
    EXPECT_FALSE(db.schema_lock());
    EXPECT_FALSE(db.index().is_mapped());
    EXPECT_EQ(db.opened_mapped(), mapped);
    EXPECT_FALSE(db.has_uncommitted_tail());
  }
}

TEST_F(Database, CreateOverAMappedFileLeavesTheOldMappingReadable) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  std::optional<SharedMmapBytes> held;
  {
    AtomDatabase old_db = open(true);
    held = old_db.get_shared_mmap_bytes(1);
    ASSERT_TRUE(held);
    create();  // would SIGBUS the reads below if the old file were truncated in place
    ASSERT_TRUE(old_db.get_compressed_slice(0));
    EXPECT_EQ(text(*old_db.get_compressed_slice(0)), "hello");
  }
  EXPECT_EQ(text(held->as_slice()), "world!!");
  EXPECT_EQ(file_size(), 8192u);
  EXPECT_EQ(open(false).len(), 0u);
}

// --- Committing -----------------------------------------------------------------------------

TEST_F(Database, FirstCommitWritesSlotBThenSlotA) {
  AtomDatabase db = create();
  const FileBytes created = read_file(path_);

  ASSERT_TRUE(db.flush());
  FileBytes file = read_file(path_);
  ASSERT_EQ(file.size(), 8200u);  // an empty index: eight zero bytes
  SlotFields first;
  first.generation = 1;
  first.index_offset = 8192;
  first.index_length = 8;
  EXPECT_EQ(slot_of(file, 1), handmade_slot(first));
  EXPECT_EQ(slot_of(file, 0), slot_of(created, 0));
  EXPECT_EQ(get(file, 8192, 8), 0u);
  EXPECT_EQ(db.generation(), 1u);
  EXPECT_EQ(db.committed_end(), 8200u);

  ASSERT_TRUE(db.flush());
  file = read_file(path_);
  ASSERT_EQ(file.size(), 8208u);
  SlotFields second = first;
  second.generation = 2;
  second.index_offset = 8200;
  EXPECT_EQ(slot_of(file, 0), handmade_slot(second));
  EXPECT_EQ(slot_of(file, 1), handmade_slot(first));
  EXPECT_EQ(db.generation(), 2u);
  EXPECT_EQ(db.committed_end(), 8208u);

  const AtomDatabase reopened = open(false);
  EXPECT_EQ(reopened.generation(), 2u);
  EXPECT_EQ(reopened.committed_end(), 8208u);
  EXPECT_FALSE(reopened.has_uncommitted_tail());
}

TEST_F(Database, CommitKeepsCompressionAndRecordFormat) {
  write_file(path_, build({.entries = kTwoRecords, .stored_count = 2, .record_format = 3, .codec = 2, .level = 7}));
  AtomDatabase db = open(false);
  EXPECT_EQ(db.record_format(), 3u);
  EXPECT_EQ(db.compression(), CompressionType::zstd(7));
  ASSERT_TRUE(db.flush());

  const FileBytes file = read_file(path_);
  ASSERT_EQ(file.size(), kHandmadeCommittedEnd + 48);
  SlotFields b;
  b.generation = 2;
  b.index_offset = kHandmadeCommittedEnd;
  b.index_length = 48;
  b.record_count = 2;
  b.record_format = 3;
  b.codec = 2;
  b.level = 7;
  EXPECT_EQ(slot_of(file, 0), handmade_slot(b));  // generation 2 goes to slot A
  const FileBytes rewritten(file.begin() + kHandmadeCommittedEnd, file.end());
  EXPECT_EQ(rewritten, handmade_index(2, kTwoRecords));
}

TEST_F(Database, CommitWritesTheSchemaBlobBeforeTheIndex) {
  // An empty lock: version 1, no positions type, no entries.
  const FileBytes blob = {1, 0, 0, 0, 0xff, 0, 0, 0, 0};
  write_file(path_, build({.entries = kTwoRecords, .stored_count = 2, .blob = blob}));
  const std::uint64_t committed_end = kHandmadeCommittedEnd + blob.size();

  AtomDatabase db = open(false);
  ASSERT_TRUE(db.schema_lock());
  EXPECT_TRUE(db.schema_lock()->entries.empty());
  EXPECT_FALSE(db.schema_lock()->positions_type);
  EXPECT_EQ(db.committed_end(), committed_end);
  EXPECT_FALSE(db.has_uncommitted_tail());
  ASSERT_TRUE(db.flush());

  const FileBytes after = read_file(path_);
  ASSERT_EQ(after.size(), committed_end + blob.size() + 48);
  SlotFields b;
  b.generation = 2;
  b.schema_offset = committed_end;
  b.schema_length = blob.size();
  b.index_offset = committed_end + blob.size();
  b.index_length = 48;
  b.record_count = 2;
  EXPECT_EQ(slot_of(after, 0), handmade_slot(b));
  EXPECT_EQ(FileBytes(after.begin() + committed_end, after.begin() + committed_end + blob.size()), blob);
  EXPECT_EQ(FileBytes(after.begin() + committed_end + blob.size(), after.end()), handmade_index(2, kTwoRecords));

  const AtomDatabase mapped = open(true);
  ASSERT_TRUE(mapped.schema_lock());
  EXPECT_EQ(mapped.len(), 2u);
}

TEST_F(Database, DamagedSchemaBlobFailsTheOpen) {
  const FileBytes blob = {1, 0, 0, 0, 5, 0, 0, 0, 0};  // positions type 5 does not exist
  write_file(path_, build({.entries = kTwoRecords, .stored_count = 2, .blob = blob}));
  expect_open_fails(Error::Kind::InvalidData, "Unsupported schema positions type tag 5");
}

// --- Choosing the header at open ------------------------------------------------------------

TEST_F(Database, DamagedNewerSlotLetsTheOlderCommitWin) {
  AtomDatabase db = create();
  ASSERT_TRUE(db.flush());
  ASSERT_TRUE(db.flush());  // generation 2 in slot A, generation 1 in slot B
  flip_byte(path_, 100);
  const AtomDatabase older = open(false);
  EXPECT_EQ(older.generation(), 1u);
  EXPECT_EQ(older.committed_end(), 8200u);
  EXPECT_TRUE(older.has_uncommitted_tail());

  flip_byte(path_, 4096 + 100);
  expect_open_fails(Error::Kind::InvalidData, "Invalid or corrupted header (no valid header slots)");
}

TEST_F(Database, BadMagicIsRefusedEvenWithAValidSlotB) {
  AtomDatabase db = create();
  ASSERT_TRUE(db.flush());
  overwrite(path_, 0, {'X'});
  expect_open_fails(Error::Kind::InvalidData, "Invalid file format");
}

TEST_F(Database, BadVersionIsRefusedEvenWithAValidSlotB) {
  AtomDatabase db = create();
  ASSERT_TRUE(db.flush());
  overwrite(path_, 4, {3, 0, 0, 0});
  expect_open_fails(Error::Kind::InvalidData, "Unsupported file format version 3 (expected 2)");
}

TEST_F(Database, ShortFilesFailToFillWholeBuffer) {
  for (const FileBytes& bytes : {FileBytes{}, FileBytes{'M', 'O', 'L', 'R', 2}, FileBytes{'M', 'O', 'L', 'R', 2, 0, 0, 0},
                                 FileBytes(handmade_slot(SlotFields{}))}) {
    write_file(path_, bytes);
    expect_open_fails(Error::Kind::Io, "failed to fill whole buffer");
  }
}

TEST_F(Database, MissingFileIsAnIoError) {
  auto db = AtomDatabase::open_with_options(path_, false, false);
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().kind(), Error::Kind::Io);
}

TEST_F(Database, UnsupportedRecordFormatIsRefused) {
  SlotFields a;
  a.record_format = 4;
  FileBytes file = handmade_slot(a);
  file.resize(8192, 0);  // slot B all zeros: invalid
  write_file(path_, file);
  expect_open_fails(Error::Kind::InvalidData, "Unsupported record format 4.");
}

// --- Reading through the index --------------------------------------------------------------

TEST_F(Database, MappedOpenReadsRecordsInPlace) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  const AtomDatabase db = open(true);
  EXPECT_TRUE(db.index().is_mapped());
  EXPECT_EQ(db.len(), 2u);
  EXPECT_EQ(db.generation(), 1u);
  EXPECT_EQ(db.committed_end(), kHandmadeCommittedEnd);
  EXPECT_EQ(text(*db.get_compressed_slice(0)), "hello");
  EXPECT_EQ(text(*db.get_compressed_slice(1)), "world!!");
  EXPECT_EQ(db.uncompressed_size(1), 70u);
  EXPECT_EQ(db.num_atoms(0), 3u);
  EXPECT_FALSE(db.get_compressed_slice(2));
  EXPECT_FALSE(db.get_shared_mmap_bytes(2));
  EXPECT_FALSE(db.uncompressed_size(2));
  EXPECT_FALSE(db.num_atoms(2));
}

TEST_F(Database, SharedBytesOutliveTheDatabase) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  std::optional<SharedMmapBytes> bytes;
  {
    const AtomDatabase db = open(true);
    bytes = db.get_shared_mmap_bytes(0);
  }
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->start, 8192u);
  EXPECT_EQ(bytes->end, 8197u);
  EXPECT_EQ(text(bytes->as_slice()), "hello");
}

TEST_F(Database, InMemoryOpenSlicesOnlyItsCommittedRegion) {
  // A third entry names bytes past the committed end (three entries: 8204 + 8 + 3 * 20), where an
  // uncommitted tail holds "tail": a mapped handle maps them, an unmapped one maps only what
  // was committed and reads the rest from the file.
  constexpr std::uint64_t kCommittedEnd = 8272;
  FileBytes file = handmade_committed_file({{8192, 5, 5, 3}, {8197, 7, 7, 4}, {kCommittedEnd, 4, 4, 1}}, 3);
  ASSERT_EQ(file.size(), kCommittedEnd);
  for (char c : std::string("tail")) file.push_back(static_cast<std::uint8_t>(c));
  write_file(path_, file);
  for (const bool mapped : {false, true}) {
    const AtomDatabase db = open(mapped);
    EXPECT_EQ(db.committed_end(), kCommittedEnd);
    EXPECT_EQ(db.has_uncommitted_tail(), !mapped);
    EXPECT_EQ(text(*db.get_compressed_slice(0)), "hello");
    EXPECT_EQ(text(db.get_shared_mmap_bytes(1)->as_slice()), "world!!");
    EXPECT_EQ(db.get_compressed_slice(2).has_value(), mapped);
    EXPECT_EQ(db.get_shared_mmap_bytes(2).has_value(), mapped);
    auto tail = db.record(2);
    ASSERT_TRUE(tail) << tail.error().display();
    EXPECT_EQ(text(tail->bytes()), "tail");
    EXPECT_EQ(db.num_atoms(1), 4u);
    EXPECT_FALSE(db.num_atoms(3));
  }
}

TEST_F(Database, EntriesPointingOutsideTheFileGiveNoBytes) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::vector<EntryFields> entries = {{1ull << 40, 5, 5, 1}, {max - 2, 5, 5, 1}, {8200, 100, 100, 1}};
  FileBytes file = handmade_committed_file(entries, 3);
  write_file(path_, file);
  const AtomDatabase db = open(true);
  ASSERT_EQ(db.len(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(db.get_compressed_slice(i)) << i;
    EXPECT_FALSE(db.get_shared_mmap_bytes(i)) << i;
    EXPECT_EQ(db.num_atoms(i), 1u);
  }
}

TEST_F(Database, MappedIndexCountMustAgreeWithHeader) {
  // The header sized the index for 2 entries, but the index itself claims 3.
  write_file(path_, handmade_committed_file(kTwoRecords, 3));
  auto mapped = AtomDatabase::open_with_options(path_, true, false);
  ASSERT_FALSE(mapped);
  EXPECT_EQ(mapped.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(mapped.error().message(), "Index record count mismatch (header 2, index 3)");
  auto in_memory = AtomDatabase::open_with_options(path_, false, false);
  ASSERT_FALSE(in_memory);
  EXPECT_EQ(in_memory.error().message(), "Index length mismatch (expected 68, got 48)");
}

TEST_F(Database, PopulateHasNoEffect) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  const AtomDatabase plain = open(true, false);
  const AtomDatabase populated = open(true, true);
  EXPECT_EQ(plain.len(), populated.len());
  EXPECT_EQ(plain.generation(), populated.generation());
  EXPECT_EQ(plain.committed_end(), populated.committed_end());
  EXPECT_EQ(plain.compression(), populated.compression());
  EXPECT_EQ(plain.index().is_mapped(), populated.index().is_mapped());
  EXPECT_EQ(text(*plain.get_compressed_slice(1)), text(*populated.get_compressed_slice(1)));
}

// --- Mapped handles and commits -------------------------------------------------------------

TEST_F(Database, MappedOpenOfCommittedFileRefusesFlush) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  const FileBytes before = read_file(path_);
  AtomDatabase db = open(true);
  auto flushed = db.flush();
  ASSERT_FALSE(flushed);
  EXPECT_EQ(flushed.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(flushed.error().message(), kMappedIndexFlush);
  EXPECT_EQ(read_file(path_), before);
}

TEST_F(Database, MappedOpenOfNeverCommittedFileAcceptsCommits) {
  create();
  {
    AtomDatabase db = open(true);
    EXPECT_FALSE(db.index().is_mapped());
    EXPECT_TRUE(db.opened_mapped());
    ASSERT_TRUE(db.flush());
    EXPECT_EQ(db.generation(), 1u);
  }
  AtomDatabase committed = open(true);
  EXPECT_TRUE(committed.index().is_mapped());
  EXPECT_EQ(committed.len(), 0u);
  auto flushed = committed.flush();
  ASSERT_FALSE(flushed);
  EXPECT_EQ(flushed.error().message(), kMappedIndexFlush);
}

// --- Uncommitted tails ----------------------------------------------------------------------

TEST_F(Database, OpeningAloneLeavesTheTailInPlace) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  append_file(path_, FileBytes(100, 0xab));
  const AtomDatabase in_memory = open(false);
  EXPECT_TRUE(in_memory.has_uncommitted_tail());
  EXPECT_EQ(in_memory.committed_end(), kHandmadeCommittedEnd);
  const AtomDatabase mapped = open(true);
  EXPECT_FALSE(mapped.has_uncommitted_tail());
  EXPECT_EQ(file_size(), kHandmadeCommittedEnd + 100);
}

TEST_F(Database, TruncationCutsTheTailBackToTheCommittedEnd) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  const FileBytes committed = read_file(path_);
  append_file(path_, FileBytes(100, 0xab));
  AtomDatabase db = open(false);
  ASSERT_TRUE(db.truncate_uncommitted_tail_if_needed());
  EXPECT_FALSE(db.has_uncommitted_tail());
  EXPECT_EQ(read_file(path_), committed);

  // Once cut, later bytes are the caller's own and are left alone.
  append_file(path_, FileBytes(10, 0xcd));
  ASSERT_TRUE(db.truncate_uncommitted_tail_if_needed());
  EXPECT_EQ(file_size(), kHandmadeCommittedEnd + 10);
}

TEST_F(Database, CommitCutsTheTailBeforeAppending) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  append_file(path_, FileBytes(100, 0xab));
  AtomDatabase db = open(false);
  ASSERT_TRUE(db.flush());
  EXPECT_FALSE(db.has_uncommitted_tail());
  const FileBytes file = read_file(path_);
  ASSERT_EQ(file.size(), kHandmadeCommittedEnd + 48);
  EXPECT_EQ(FileBytes(file.begin() + kHandmadeCommittedEnd, file.end()), handmade_index(2, kTwoRecords));

  const AtomDatabase reopened = open(true);
  EXPECT_EQ(reopened.generation(), 2u);
  EXPECT_EQ(text(*reopened.get_compressed_slice(1)), "world!!");
}

TEST_F(Database, FileWithoutWritePermissionOpensButFailsToCommit) {
  write_file(path_, handmade_committed_file(kTwoRecords, 2));
  std::filesystem::permissions(path_, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
  // Root writes whatever the permission bits say, so the check runs in a child that gives up root.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && ::setuid(65534) != 0) std::_Exit(10);
    if (::access(path_.c_str(), W_OK) == 0) std::_Exit(11);
    auto db = AtomDatabase::open_with_options(path_, false, false);
    if (!db || db->len() != 2) std::_Exit(12);
    auto flushed = db->flush();
    std::_Exit(!flushed && flushed.error().kind() == Error::Kind::Io ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace molarium::storage
