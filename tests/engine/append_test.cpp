// Appending records: record format switches, schema agreement, uncommitted tails, raw records,
// rebuilt locks, read-only handles, failed appends and determinism across pool sizes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "engine/atom.hpp"
#include "engine/compression.hpp"
#include "engine/pool.hpp"
#include "engine/storage/database.hpp"
#include "tests/engine/handmade_file.hpp"

using molarium::storage::SectionKind;
using molarium::storage::TypeTag;

extern char** environ;

namespace {

using molarium::Bytes;
using molarium::Error;
using molarium::atom::Molecule;
using molarium::compression::CompressionType;
using molarium::storage::AtomDatabase;
using molarium::storage::BorrowedRecord;
using molarium::storage::BorrowedRecordWithPositions;
using molarium::storage::DatabaseSchema;
using molarium::storage::DatabaseSchemaSection;
using molarium::storage::OwnedRecord;
using molarium::testing::FileBytes;
using molarium::testing::get;
using molarium::testing::put;
using molarium::testing::read_file;
using molarium::testing::reference_adler32;
using molarium::testing::TempDir;
using molarium::testing::write_file;
namespace types = molarium::types;

constexpr char kReadOnlyMessage[] =
    "Cannot add molecules to a database opened with a memory-mapped index (read-only); reopen without mmap to "
    "write.";

// n atoms at (tag + i, 0, 0), atomic number 1 + i % 90.
Molecule molecule_f32(std::size_t n, float tag) {
  std::vector<types::Vec3F32> positions;
  std::vector<std::uint8_t> numbers;
  for (std::size_t i = 0; i < n; ++i) {
    positions.push_back({tag + static_cast<float>(i), 0.0f, 0.0f});
    numbers.push_back(static_cast<std::uint8_t>(1 + i % 90));
  }
  return Molecule::create(std::move(positions), std::move(numbers)).value();
}

Molecule molecule_f64(std::size_t n, double tag) {
  std::vector<types::Vec3F64> positions;
  std::vector<std::uint8_t> numbers;
  for (std::size_t i = 0; i < n; ++i) {
    positions.push_back({tag + static_cast<double>(i), 0.0, 0.0});
    numbers.push_back(6);
  }
  return Molecule::create_f64(std::move(positions), std::move(numbers)).value();
}

std::vector<const Molecule*> pointers(const std::vector<Molecule>& molecules) {
  std::vector<const Molecule*> out;
  for (const Molecule& m : molecules) out.push_back(&m);
  return out;
}

std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

std::vector<std::size_t> all_positions(const AtomDatabase& db) {
  std::vector<std::size_t> positions(db.len());
  for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  return positions;
}

void expect_invalid_data(const molarium::Result<void>& result, const std::string& message) {
  ASSERT_FALSE(result) << "expected failure: " << message;
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(result.error().message(), message);
}

// --- Record format ------------------------------------------------------------------------------

TEST(AppendFormat, Float64PositionsOnNewDatabaseMoveToFormat3) {
  const TempDir dir;
  const std::string path = dir.path("db");
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
    ASSERT_TRUE(db.add_molecule(molecule_f64(2, 1.0)));
    EXPECT_EQ(db.record_format(), 3u);
    EXPECT_EQ(db.schema_info().value().positions_type, std::optional<std::uint8_t>(7));
    ASSERT_TRUE(db.flush());
  }
  const auto reopened = AtomDatabase::open_with_options(path, false, false).value();
  EXPECT_EQ(reopened.record_format(), 3u);
  EXPECT_EQ(reopened.len(), 1u);
}

TEST(AppendFormat, Float64PositionsOnDatabaseWithRecordsFail) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  ASSERT_TRUE(db.add_molecule(molecule_f32(2, 1.0f)));
  expect_invalid_data(db.add_molecule(molecule_f64(2, 1.0)), "record format 2 does not support float64 positions");
  EXPECT_EQ(db.len(), 1u);
  EXPECT_EQ(db.record_format(), 2u);
}

TEST(AppendFormat, MixedPositionsInOneCallFailAndLeaveDatabaseEmptyAtFormat2) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  const std::vector<Molecule> molecules = {molecule_f32(1, 0.0f), molecule_f64(1, 0.0)};
  expect_invalid_data(db.add_molecules(pointers(molecules)), "Position dtype mismatch: expected type tag 4, got 7");
  EXPECT_EQ(db.len(), 0u);
  EXPECT_EQ(db.record_format(), 2u);
  EXPECT_FALSE(db.schema_info());
  EXPECT_EQ(file_size(path), 8192u);
}

// --- Schema agreement ---------------------------------------------------------------------------

TEST(AppendSchema, EnergyWidthsDisagreeInFormat3) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::lz4()).value();
  Molecule wide = molecule_f64(1, 0.0);
  wide.energy = types::FloatScalarData(-1.5);
  Molecule narrow = molecule_f64(1, 0.0);
  narrow.energy = types::FloatScalarData(-1.5f);
  const std::string message =
      "Schema mismatch for section 'energy': expected SchemaEntry { type_tag: 0, per_atom: false, elem_bytes: 8, "
      "slot_bytes: 8 }, got SchemaEntry { type_tag: 11, per_atom: false, elem_bytes: 4, slot_bytes: 4 }";

  // Within one call: nothing is written and the database stays as created.
  const std::vector<Molecule> both = {wide, narrow};
  expect_invalid_data(db.add_molecules(pointers(both)), message);
  EXPECT_EQ(db.len(), 0u);
  EXPECT_EQ(db.record_format(), 2u);
  EXPECT_EQ(file_size(path), 8192u);

  // Across calls, against the file's lock.
  ASSERT_TRUE(db.add_molecule(wide));
  ASSERT_EQ(db.record_format(), 3u);
  const std::uint64_t size = file_size(path);
  expect_invalid_data(db.add_molecule(narrow), message);
  EXPECT_EQ(db.len(), 1u);
  EXPECT_EQ(file_size(path), size);
}

TEST(AppendSchema, SchemaInfoReportsTheLock) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  EXPECT_FALSE(db.schema_info());
  Molecule molecule = molecule_f32(3, 0.0f);
  molecule.forces = types::Vec3Data(std::vector<types::Vec3F32>(3, types::Vec3F32{0.5f, 0.5f, 0.5f}));
  ASSERT_TRUE(db.add_molecule(molecule));
  const DatabaseSchema schema = db.schema_info().value();
  EXPECT_EQ(schema.positions_type, std::optional<std::uint8_t>(4));
  ASSERT_EQ(schema.sections.size(), 1u);
  EXPECT_EQ(schema.sections[0], (DatabaseSchemaSection{"forces", 12, 12, true, SectionKind{0}, TypeTag{4}}));
}

// --- Uncommitted tail ---------------------------------------------------------------------------

TEST(AppendTail, UnflushedRecordsAreInvisibleAfterReopenAndCutByTheNextAppend) {
  const TempDir dir;
  const std::string path = dir.path("db");
  std::uint64_t committed_end = 0;
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
    ASSERT_TRUE(db.add_molecule(molecule_f32(1, 0.0f)));
    ASSERT_TRUE(db.flush());
    committed_end = db.committed_end();
    ASSERT_TRUE(db.add_molecule(molecule_f32(2, 0.0f)));
    ASSERT_TRUE(db.add_molecule(molecule_f32(3, 0.0f)));
    ASSERT_EQ(db.len(), 3u);
  }
  const std::uint64_t with_tail = file_size(path);
  ASSERT_GT(with_tail, committed_end);

  auto db = AtomDatabase::open_with_options(path, false, false).value();
  EXPECT_EQ(db.len(), 1u);
  EXPECT_EQ(file_size(path), with_tail);

  ASSERT_TRUE(db.add_molecule(molecule_f32(4, 9.0f)));
  // A four-atom record without sections: 4 + 4 * 12 + 4 + 2 bytes, written where the tail began.
  EXPECT_EQ(db.index().entry(1).value().offset, committed_end);
  EXPECT_EQ(file_size(path), committed_end + 58);
  const std::size_t second[] = {1};
  EXPECT_EQ(db.get_raw_bytes(second).value()[0].size(), 58u);
}

// --- Raw records --------------------------------------------------------------------------------

struct SourceRecords {
  std::vector<Bytes> bytes;
  std::vector<std::uint32_t> counts;
  std::optional<DatabaseSchema> schema;
  std::uint32_t record_format = 2;
};

SourceRecords read_source(const AtomDatabase& db) {
  auto read = db.read_decompress_parallel(all_positions(db)).value();
  return {std::move(read.first), std::move(read.second), db.schema_info(), db.record_format()};
}

TEST(AppendRaw, RecordsOfOneSchemaAreStoredUnchanged) {
  const TempDir dir;
  const std::string source_path = dir.path("source");
  const std::string target_path = dir.path("target");
  auto source = AtomDatabase::create_with_format(source_path, CompressionType::lz4()).value();
  std::vector<Molecule> molecules;
  for (std::size_t n = 1; n <= 3; ++n) {
    Molecule m = molecule_f32(n, float(n));
    m.energy = types::FloatScalarData(double(n));
    m.forces = types::Vec3Data(std::vector<types::Vec3F32>(n, types::Vec3F32{1, 2, 3}));
    molecules.push_back(std::move(m));
  }
  ASSERT_TRUE(source.add_molecules(pointers(molecules)));
  const SourceRecords src = read_source(source);

  auto target = AtomDatabase::create_with_format(target_path, CompressionType::zstd(5)).value();
  std::vector<BorrowedRecord> borrowed;
  for (std::size_t i = 0; i < src.bytes.size(); ++i) borrowed.push_back({src.bytes[i], src.counts[i]});
  ASSERT_TRUE(target.add_raw_soa_records_with_schema(borrowed, src.schema.value()));

  EXPECT_EQ(target.schema_info(), src.schema);
  const auto copied = target.read_decompress_parallel(all_positions(target)).value();
  EXPECT_EQ(copied.first, src.bytes);
  EXPECT_EQ(copied.second, src.counts);
}

TEST(AppendRaw, RecordsOfDifferingSchemasAreParsedAndMerged) {
  const TempDir dir;
  const std::string source_path = dir.path("source");
  const std::string target_path = dir.path("target");
  auto source = AtomDatabase::create_with_format(source_path, CompressionType::none()).value();
  Molecule with_forces = molecule_f32(2, 0.0f);
  with_forces.forces = types::Vec3Data(std::vector<types::Vec3F32>(2, types::Vec3F32{1, 2, 3}));
  Molecule with_energy = molecule_f32(1, 0.0f);
  with_energy.energy = types::FloatScalarData(2.5);
  Molecule with_property = molecule_f32(3, 0.0f);
  with_property.properties["a"] = std::vector<double>(5, 1.0);
  const std::vector<Molecule> molecules = {with_forces, with_energy, with_property};
  ASSERT_TRUE(source.add_molecules(pointers(molecules)));
  const SourceRecords src = read_source(source);

  auto target = AtomDatabase::create_with_format(target_path, CompressionType::zstd(1)).value();
  std::vector<BorrowedRecordWithPositions> borrowed;
  for (std::size_t i = 0; i < src.bytes.size(); ++i) borrowed.push_back({src.bytes[i], src.counts[i], 4});
  ASSERT_TRUE(target.add_raw_soa_records_with_positions_type(borrowed));

  EXPECT_EQ(target.schema_info(), src.schema);
  EXPECT_EQ(target.record_format(), 2u);
  EXPECT_EQ(target.read_decompress_parallel(all_positions(target)).value().first, src.bytes);
}

TEST(AppendRaw, Float64RecordsMoveNewDatabaseToFormat3) {
  const TempDir dir;
  const std::string source_path = dir.path("source");
  const std::string target_path = dir.path("target");
  auto source = AtomDatabase::create_with_format(source_path, CompressionType::none()).value();
  ASSERT_TRUE(source.add_molecule(molecule_f64(2, 1.0)));
  const SourceRecords src = read_source(source);

  auto target = AtomDatabase::create_with_format(target_path, CompressionType::none()).value();
  const BorrowedRecordWithPositions record[] = {{src.bytes[0], src.counts[0], 7}};
  ASSERT_TRUE(target.add_raw_soa_records_with_positions_type(record));
  EXPECT_EQ(target.record_format(), 3u);
  EXPECT_EQ(target.schema_info().value().positions_type, std::optional<std::uint8_t>(7));
}

TEST(AppendRaw, RecordsAreCheckedAgainstTheirGivenAtomCount) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  const Bytes short_record = {0, 0, 0, 0, 0};
  // Two atoms stored, no sections.
  const Bytes two_atoms = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0};
  DatabaseSchema schema;
  schema.positions_type = 4;

  const BorrowedRecord too_short[] = {{two_atoms, 2}, {short_record, 0}};
  expect_invalid_data(db.add_raw_soa_records_with_schema(too_short, schema),
                      "Record 1 is 5 bytes, shorter than the smallest SOA record (6 bytes)");
  const BorrowedRecord miscounted[] = {{two_atoms, 3}};
  expect_invalid_data(db.add_raw_soa_records_with_schema(miscounted, schema),
                      "Record 0 holds 2 atoms but was given with an atom count of 3");
  const BorrowedRecordWithPositions miscounted_with_type[] = {{two_atoms, 2, 4}, {two_atoms, 1, 4}};
  expect_invalid_data(db.add_raw_soa_records_with_positions_type(miscounted_with_type),
                      "Record 1 holds 2 atoms but was given with an atom count of 1");
  std::vector<OwnedRecord> owned = {{two_atoms, 5}};
  expect_invalid_data(db.add_owned_soa_records_with_schema(std::move(owned), schema),
                      "Record 0 holds 2 atoms but was given with an atom count of 5");

  EXPECT_EQ(db.len(), 0u);
  EXPECT_FALSE(db.schema_info());
  EXPECT_EQ(file_size(path), 8192u);

  std::vector<OwnedRecord> good = {{two_atoms, 2}};
  ASSERT_TRUE(db.add_owned_soa_records_with_schema(std::move(good), schema));
  EXPECT_EQ(db.num_atoms(0), std::optional<std::uint32_t>(2));
}

TEST(AppendRaw, RecordLongerThanAnIndexEntryCanHoldIsRefused) {
  // 2^32 + 6 zero bytes reserved but never touched beyond the first page: a record of no atoms
  // whose length does not fit the index's u32 field.
  const std::size_t length = (std::size_t{1} << 32) + 6;
  void* memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  DatabaseSchema schema;
  schema.positions_type = 4;
  const BorrowedRecord huge[] = {{{static_cast<const std::uint8_t*>(memory), length}, 0}};
  expect_invalid_data(db.add_raw_soa_records_with_schema(huge, schema),
                      "Record 0 is 4294967302 bytes long, more than an index entry can hold (4294967295)");
  EXPECT_EQ(db.len(), 0u);
  EXPECT_FALSE(db.schema_info());
  EXPECT_EQ(file_size(path), 8192u);
  munmap(memory, length);
}

// --- Lock rebuilt from records ------------------------------------------------------------------

// Rewrites the live header (slot B after one commit) as if the file had no schema blob.
void drop_schema_blob_from_slot_b(const std::string& path) {
  FileBytes file = read_file(path);
  put(file, 4096 + 60, 0, 8);  // schema offset
  put(file, 4096 + 68, 0, 8);  // schema length
  put(file, 4096 + 4092, reference_adler32(file.data() + 4096, 4092), 4);
  write_file(path, file);
}

TEST(AppendRebuild, FileWithoutSchemaBlobGetsItsLockRebuiltFromItsRecords) {
  const TempDir dir;
  const std::string path = dir.path("db");
  Molecule five = molecule_f32(2, 0.0f);
  five.properties["a"] = std::vector<double>(5, 1.0);
  five.energy = types::FloatScalarData(1.0);
  Molecule six = five;
  six.properties["a"] = std::vector<double>(6, 1.0);
  std::optional<DatabaseSchema> original;
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::zstd(3)).value();
    const std::vector<Molecule> molecules = {five, five};
    ASSERT_TRUE(db.add_molecules(pointers(molecules)));
    ASSERT_TRUE(db.flush());
    original = db.schema_info();
  }
  drop_schema_blob_from_slot_b(path);

  auto db = AtomDatabase::open_with_options(path, false, false).value();
  ASSERT_EQ(db.generation(), 1u);
  ASSERT_FALSE(db.schema_info());
  ASSERT_EQ(db.len(), 2u);

  // The stored records fix "a" at five values: a sixth is refused and nothing is installed.
  expect_invalid_data(db.add_molecule(six),
                      "Schema mismatch for section 'a': expected SchemaEntry { type_tag: 3, per_atom: false, "
                      "elem_bytes: 8, slot_bytes: 40 }, got SchemaEntry { type_tag: 3, per_atom: false, elem_bytes: "
                      "8, slot_bytes: 48 }");
  EXPECT_FALSE(db.schema_info());
  EXPECT_EQ(db.len(), 2u);

  ASSERT_TRUE(db.add_molecule(five));
  EXPECT_EQ(db.schema_info(), original);
  ASSERT_TRUE(db.flush());
  EXPECT_EQ(AtomDatabase::open_with_options(path, false, false).value().schema_info(), original);
}

// --- Read-only mapped handles -------------------------------------------------------------------

TEST(AppendMapped, EmptyListSucceedsOnReadOnlyMappedDatabase) {
  const TempDir dir;
  const std::string path = dir.path("db");
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
    ASSERT_TRUE(db.add_molecule(molecule_f32(1, 0.0f)));
    ASSERT_TRUE(db.flush());
  }
  auto db = AtomDatabase::open_with_options(path, true, false).value();
  ASSERT_TRUE(db.index().is_mapped());
  EXPECT_TRUE(db.add_molecules({}));
  EXPECT_EQ(db.len(), 1u);
}

TEST(AppendMapped, CommittedMappedDatabaseRefusesAppendsAfterEncoding) {
  const TempDir dir;
  const std::string path = dir.path("db");
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
    ASSERT_TRUE(db.add_molecule(molecule_f32(1, 0.0f)));
    ASSERT_TRUE(db.flush());
  }
  const std::uint64_t size = file_size(path);
  auto db = AtomDatabase::open_with_options(path, true, false).value();

  // Encoding failures are reported first.
  Molecule broken = molecule_f32(2, 0.0f);
  broken.atomic_numbers.push_back(1);
  auto encoding = db.add_molecule(broken);
  ASSERT_FALSE(encoding);
  EXPECT_NE(encoding.error().message(), kReadOnlyMessage);

  auto refused = db.add_molecule(molecule_f32(1, 0.0f));
  expect_invalid_data(refused, kReadOnlyMessage);
  EXPECT_EQ(refused.error().display(), std::string("Invalid data: ") + kReadOnlyMessage);

  const Bytes record = db.get_raw_bytes(std::vector<std::size_t>{0}).value()[0];
  const BorrowedRecord raw[] = {{record, 1}};
  expect_invalid_data(db.add_raw_soa_records_with_schema(raw, db.schema_info().value()), kReadOnlyMessage);
  EXPECT_EQ(db.len(), 1u);
  EXPECT_EQ(file_size(path), size);
}

// --- Failed appends -----------------------------------------------------------------------------

TEST(AppendFailure, OneBadMoleculeFailsTheCallAndChangesNothing) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::zstd(3)).value();
  std::vector<Molecule> molecules;
  for (std::size_t i = 0; i < 100; ++i) molecules.push_back(molecule_f32(1 + i % 4, float(i)));
  ASSERT_TRUE(db.add_molecules(pointers(molecules)));
  const std::uint64_t size = file_size(path);
  const auto schema = db.schema_info();

  for (Molecule& m : molecules) m.properties["new"] = std::int64_t{1};
  molecules[57].atomic_numbers.push_back(1);
  ASSERT_FALSE(db.add_molecules(pointers(molecules)));
  EXPECT_EQ(file_size(path), size);
  EXPECT_EQ(db.len(), 100u);
  EXPECT_EQ(db.schema_info(), schema);

  molecules[57].atomic_numbers.pop_back();
  ASSERT_TRUE(db.add_molecules(pointers(molecules)));
  EXPECT_EQ(db.len(), 200u);
}

// Lowers the process's file size limit for one scope, so that writes past it fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t limit) {
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit lowered = old_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_{};
  sighandler_t old_handler_;
};

TEST(AppendFailure, WriteFailureMidwayLeavesFileLockFormatAndIndexAsBefore) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  ASSERT_TRUE(db.add_molecule(molecule_f32(2, 0.0f)));
  ASSERT_TRUE(db.flush());
  ASSERT_TRUE(db.add_molecule(molecule_f32(3, 0.0f)));  // indexed, not yet committed
  const std::uint64_t size = file_size(path);
  const auto schema = db.schema_info();

  // Each record: 4 + 100 * 12 + 100 + 2, plus the section "b" (2 + 1 + 1 + 4 + 8) = 1322 bytes.
  std::vector<Molecule> molecules(2, molecule_f32(100, 0.0f));
  for (Molecule& m : molecules) m.properties["b"] = std::int64_t{7};
  {
    const FileSizeLimit limit(size + 1322 + 661);  // the first record fits, the second is cut
    auto failed = db.add_molecules(pointers(molecules));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), Error::Kind::Io);
  }
  EXPECT_EQ(file_size(path), size);
  EXPECT_EQ(db.len(), 2u);
  EXPECT_EQ(db.schema_info(), schema);

  // The next commit holds exactly the records indexed before the failure, and appends go on.
  ASSERT_TRUE(db.flush());
  {
    const auto reopened = AtomDatabase::open_with_options(path, false, false).value();
    EXPECT_EQ(reopened.len(), 2u);
    EXPECT_EQ(reopened.schema_info(), schema);
    EXPECT_TRUE(reopened.get_raw_bytes(all_positions(reopened)));
  }
  ASSERT_TRUE(db.add_molecules(pointers(molecules)));
  EXPECT_EQ(db.len(), 4u);
  EXPECT_EQ(db.get_raw_bytes(std::vector<std::size_t>{3}).value()[0].size(), 1322u);
}

// An appending handle reads its committed records in place from a mapping of what it committed,
// and the rest from the file. Neither a failed append's cut-back nor later appends and commits
// change a committed record, nor one held from before them.
TEST(AppendFailure, CutBackAndLaterCommitsLeaveCommittedRecordsAndHeldOnesIntact) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  ASSERT_TRUE(db.add_molecule(molecule_f32(2, 1.0f)));
  ASSERT_TRUE(db.add_molecule(molecule_f32(5, 2.0f)));
  ASSERT_TRUE(db.flush());
  ASSERT_TRUE(db.add_molecule(molecule_f32(3, 3.0f)));  // indexed, not yet committed

  auto held = db.record(1).value();
  ASSERT_TRUE(std::holds_alternative<molarium::storage::SharedMmapBytes>(held.held));
  const Bytes held_before(held.bytes().begin(), held.bytes().end());
  ASSERT_FALSE(std::holds_alternative<molarium::storage::SharedMmapBytes>(db.record(2).value().held));
  const auto before = db.get_raw_bytes(all_positions(db)).value();
  const std::uint64_t size = file_size(path);

  std::vector<Molecule> molecules(2, molecule_f32(100, 0.0f));
  {
    const FileSizeLimit limit(size + 1306 + 653);  // the first record fits, the second is cut
    ASSERT_FALSE(db.add_molecules(pointers(molecules)));
  }
  EXPECT_EQ(file_size(path), size);
  EXPECT_EQ(db.get_raw_bytes(all_positions(db)).value(), before);

  ASSERT_TRUE(db.flush());
  EXPECT_TRUE(std::holds_alternative<molarium::storage::SharedMmapBytes>(db.record(2).value().held));
  ASSERT_TRUE(db.add_molecules(pointers(molecules)));
  ASSERT_TRUE(db.flush());
  const auto after = db.get_raw_bytes(all_positions(db)).value();
  ASSERT_EQ(after.size(), 5u);
  EXPECT_EQ(std::vector<Bytes>(after.begin(), after.begin() + 3), before);
  const auto mapped = AtomDatabase::open_with_options(path, true, false).value();
  EXPECT_EQ(mapped.get_raw_bytes(all_positions(mapped)).value(), after);

  db = AtomDatabase::create_with_format(dir.path("other"), CompressionType::none()).value();
  EXPECT_EQ(Bytes(held.bytes().begin(), held.bytes().end()), held_before);
}

// Records are written in groups of about a megabyte: every record must still land right after
// the one before it, byte for byte, also one larger than a group.
TEST(AppendGrouping, SmallRecordsAndOneLargerThanAGroupLandContiguouslyInInputOrder) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  ASSERT_TRUE(db.add_molecule(molecule_f32(2, 0.0f)));
  ASSERT_TRUE(db.flush());
  const std::uint64_t start = file_size(path);

  std::vector<std::size_t> atoms(3000, 100);  // 3000 records of 1306 bytes: about 4 MB
  atoms[700] = 200000;                        // one of 2.6 MB
  std::vector<Molecule> molecules;
  for (std::size_t i = 0; i < atoms.size(); ++i) molecules.push_back(molecule_f32(atoms[i], static_cast<float>(i)));
  ASSERT_TRUE(db.add_molecules(pointers(molecules)));

  const FileBytes file = read_file(path);
  std::uint64_t expected_offset = start;
  for (std::size_t i = 0; i < atoms.size(); ++i) {
    const auto entry = db.index().entry(i + 1).value();
    // Atom count, 12 bytes of positions and one atomic number per atom, a section count of 0.
    const std::uint64_t length = 4 + 13 * atoms[i] + 2;
    ASSERT_EQ(entry.offset, expected_offset) << "record " << i;
    ASSERT_EQ(entry.compressed_len, length) << "record " << i;
    ASSERT_LE(entry.offset + length, file.size());
    ASSERT_EQ(get(file, entry.offset, 4), atoms[i]) << "record " << i;
    float x;
    std::memcpy(&x, file.data() + entry.offset + 4, 4);
    ASSERT_EQ(x, static_cast<float>(i)) << "record " << i;
    ASSERT_EQ(get(file, entry.offset + length - 2, 2), 0u) << "record " << i;
    expected_offset += length;
  }
  EXPECT_EQ(file.size(), expected_offset);
}

TEST(AppendGrouping, WriteFailureAfterAWholeGroupWasWrittenCutsTheFileBack) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  ASSERT_TRUE(db.add_molecule(molecule_f32(2, 0.0f)));
  ASSERT_TRUE(db.flush());
  const std::uint64_t size = file_size(path);

  const std::vector<Molecule> molecules(3000, molecule_f32(100, 1.0f));  // 1306 bytes each
  {
    const FileSizeLimit limit(size + 3 * 1024 * 1024);  // the first groups fit, a later one is cut
    auto failed = db.add_molecules(pointers(molecules));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), Error::Kind::Io);
  }
  EXPECT_EQ(file_size(path), size);
  EXPECT_EQ(db.len(), 1u);
  ASSERT_TRUE(db.add_molecules(pointers(molecules)));
  EXPECT_EQ(db.len(), 3001u);
  EXPECT_EQ(file_size(path), size + 3000 * 1306);
}

TEST(AppendFailure, UnwritableFileInstallsNeitherLockNorFormat) {
  const TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
  // A directory in place of the file makes the append's open fail.
  std::filesystem::rename(path, path + ".moved");
  std::filesystem::create_directory(path);
  auto failed = db.add_molecule(molecule_f64(2, 0.0));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), Error::Kind::Io);
  EXPECT_EQ(db.record_format(), 2u);
  EXPECT_FALSE(db.schema_info());
  EXPECT_EQ(db.len(), 0u);

  std::filesystem::remove(path);
  std::filesystem::rename(path + ".moved", path);
  ASSERT_TRUE(db.add_molecule(molecule_f32(2, 0.0f)));
  EXPECT_EQ(db.record_format(), 2u);
}

// --- Determinism across pool sizes --------------------------------------------------------------

constexpr char kChildOutputVariable[] = "MOLARIUM_APPEND_TEST_OUTPUT";
constexpr std::size_t kOrderedMolecules = 10000;

// The child started by the test below: its environment fixes the pool size before the pool starts.
// It writes the database before any test runs and exits with its own status, so it is not a test
// of its own.
int write_database_as_child(const char* output) {
  if (std::to_string(molarium::pool::thread_count()) != std::getenv("RAYON_NUM_THREADS")) return 2;
  auto db = AtomDatabase::create_with_format(output, CompressionType::zstd(3));
  if (!db) return 3;
  std::vector<Molecule> molecules;
  molecules.reserve(kOrderedMolecules);
  for (std::size_t i = 0; i < kOrderedMolecules; ++i) {
    Molecule m = molecule_f32(1 + i % 13, float(i));
    m.energy = types::FloatScalarData(double(i) * 0.25);
    m.properties["step"] = std::int64_t(i);
    molecules.push_back(std::move(m));
  }
  if (!db->add_molecules(pointers(molecules)) || !db->flush()) return 4;
  return 0;
}

class ChildWriter : public ::testing::Environment {
 public:
  void SetUp() override {
    if (const char* output = std::getenv(kChildOutputVariable)) std::_Exit(write_database_as_child(output));
  }
};
[[maybe_unused]] ::testing::Environment* const child_writer = ::testing::AddGlobalTestEnvironment(new ChildWriter);

void write_in_child(const std::string& output, int threads) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (variable.starts_with("RAYON_NUM_THREADS=") || variable.starts_with("RAYON_RS_NUM_CPUS=") ||
        variable.starts_with(std::string(kChildOutputVariable) + "=")) {
      continue;
    }
    variables.push_back(variable);
  }
  variables.push_back("RAYON_NUM_THREADS=" + std::to_string(threads));
  variables.push_back(std::string(kChildOutputVariable) + "=" + output);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  char* argv[] = {exe.data(), nullptr};
  // The child's progress lines would interleave with this test's report; its failures still
  // show on stderr and in its exit status.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(spawned, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  ASSERT_TRUE(std::filesystem::exists(output));
}

TEST(AppendDeterminism, OneAndEightThreadsWriteIdenticalFilesInInputOrder) {
  const TempDir dir;
  const std::string one = dir.path("one");
  const std::string eight = dir.path("eight");
  write_in_child(one, 1);
  write_in_child(eight, 8);
  EXPECT_EQ(read_file(one), read_file(eight));

  const auto db = AtomDatabase::open_with_options(eight, false, false).value();
  ASSERT_EQ(db.len(), kOrderedMolecules);
  const auto read = db.read_decompress_parallel(all_positions(db)).value();
  for (std::size_t i = 0; i < kOrderedMolecules; ++i) {
    ASSERT_EQ(read.second[i], 1 + i % 13) << "molecule " << i;
    float x;
    std::memcpy(&x, read.first[i].data() + 4, 4);  // first coordinate, after the atom count
    ASSERT_EQ(x, float(i)) << "molecule " << i;
  }
}

}  // namespace
