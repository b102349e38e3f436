// Appending: the record format and schema lock an append grows, refusals that leave the file and
// the handle as they were, raw records, uncommitted tails, and flat extraction over differing records.
#include <utility>

#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using storage::AtomDatabase;

// What an append may change: the file's bytes and the handle's records, lock and format.
struct State {
  Bytes file;
  std::size_t len;
  std::optional<storage::DatabaseSchema> schema;
  std::uint32_t format;
  bool operator==(const State&) const = default;
};
State state(const AtomDatabase& db) { return {read_file(db.path()), db.len(), db.schema_info(), db.record_format()}; }

class Append : public ::testing::Test {
 protected:
  AtomDatabase created() { return AtomDatabase::create_with_format(path_, CompressionType::lz4()).value(); }
  TempDir dir_;
  std::string path_ = dir_.path("db");
};

TEST_F(Append, RefusalsChangeNothing) {
  AtomDatabase db = created();
  const Molecule f64 = Molecule::create_f64({{1, 2, 3}}, {1}).value();
  const Molecule f32 = small_molecule(1, 1);
  const std::vector<const Molecule*> mixed{&f32, &f64};
  State before = state(db);
  EXPECT_TRUE(refused_as(db.add_molecules(mixed), Error::Kind::InvalidData));
  EXPECT_EQ(state(db), before);
  ASSERT_TRUE(db.add_molecule(f32));
  ASSERT_TRUE(db.flush());
  EXPECT_EQ(db.record_format(), 2u);
  before = state(db);
  Molecule wider = small_molecule(1, 2);
  wider.energy = types::FloatScalarData(1.0f);
  Molecule bad = small_molecule(2, 3);
  bad.atomic_numbers.pop_back();
  for (const Molecule* m : {&f64, &std::as_const(wider), &std::as_const(bad)}) {
    const std::vector<const Molecule*> batch{&f32, m};
    EXPECT_TRUE(refused_as(db.add_molecules(batch), Error::Kind::InvalidData));
    EXPECT_EQ(state(db), before);
  }
  EXPECT_TRUE(db.add_raw_soa_records_with_positions_type({}) && db.add_molecules({}));
  EXPECT_EQ(state(db), before);
  // Float64 positions move only a database without records to format 3.
  AtomDatabase fresh = AtomDatabase::create_with_format(dir_.path("fresh"), CompressionType::none()).value();
  ASSERT_TRUE(fresh.add_molecule(f64));
  EXPECT_EQ(fresh.record_format(), 3u);
}

// A write that fails midway is cut back: the file, the handle and every committed record, also one
// held from before, stay as they were. Committed records are read in place from a mapping.
TEST_F(Append, WriteFailureMidwayIsCutBackAndCommittedRecordsStayIntact) {
  AtomDatabase db = AtomDatabase::create_with_format(path_, CompressionType::none()).value();
  ASSERT_TRUE(db.add_molecule(small_molecule(2, 1)));
  ASSERT_TRUE(db.add_molecule(small_molecule(5, 2)));
  ASSERT_TRUE(db.flush());
  ASSERT_TRUE(db.add_molecule(small_molecule(3, 3)));  // indexed, not yet committed
  const auto held = db.record(1).value();
  const Bytes held_before(held.bytes().begin(), held.bytes().end());
  EXPECT_TRUE(std::holds_alternative<storage::SharedMmapBytes>(held.held));
  EXPECT_FALSE(std::holds_alternative<storage::SharedMmapBytes>(db.record(2).value().held));
  const std::vector<std::size_t> all{0, 1, 2};
  const auto records = db.get_raw_bytes(all).value();
  const State before = state(db);
  const std::vector<Molecule> big(2, small_molecule(100, 0));
  const std::vector<const Molecule*> batch{&big[0], &big[1]};
  const std::size_t length = storage::soa::serialize_molecule_soa(big[0], 2).value().size();
  {
    const FileSizeLimit limit(before.file.size() + length + length / 2);  // the first fits, the second is cut
    EXPECT_FALSE(db.add_molecules(batch));
  }
  EXPECT_EQ(state(db), before);
  EXPECT_EQ(db.get_raw_bytes(all).value(), records);
  ASSERT_TRUE(db.flush());
  EXPECT_TRUE(std::holds_alternative<storage::SharedMmapBytes>(db.record(2).value().held));
  ASSERT_TRUE(db.add_molecules(batch) && db.flush());
  const auto after = open_database(path_, true).get_raw_bytes(std::vector<std::size_t>{0, 1, 2, 3, 4}).value();
  EXPECT_EQ(std::vector<Bytes>(after.begin(), after.begin() + 3), records);
  db = AtomDatabase::create_with_format(dir_.path("other"), CompressionType::none()).value();
  EXPECT_TRUE(std::ranges::equal(held.bytes(), held_before));
}

TEST_F(Append, UnflushedRecordsAreInvisibleAfterReopenAndCutByTheNextCommit) {
  write_database(path_, CompressionType::none(), {small_molecule(1, 1)});
  const Bytes committed = read_file(path_);
  {
    AtomDatabase db = open_database(path_);
    ASSERT_TRUE(db.add_molecule(small_molecule(3, 2)));
  }
  EXPECT_GT(read_file(path_).size(), committed.size());
  AtomDatabase db = open_database(path_);
  EXPECT_EQ(db.len(), 1u);
  EXPECT_TRUE(db.has_uncommitted_tail());
  ASSERT_TRUE(db.truncate_uncommitted_tail_if_needed());
  EXPECT_EQ(read_file(path_), committed);
  ASSERT_TRUE(db.add_molecule(small_molecule(2, 5)));
  ASSERT_TRUE(db.flush());
  EXPECT_FALSE(db.has_uncommitted_tail());
  EXPECT_EQ(open_database(path_).record(1).value().bytes().size(), 4 + 24 + 2 + 2 + 21u);
}

TEST_F(Append, RawRecordsAreStoredUnchangedAndCheckedAgainstTheirAtomCount) {
  const std::string source = dir_.path("source");
  write_database(source, CompressionType::zstd(1), {rich_molecule(true), rich_molecule(true)});
  const AtomDatabase src = open_database(source);
  const auto record = src.record(1).value();
  AtomDatabase db = created();
  const storage::BorrowedRecord wrong[] = {{record.bytes(), 3}};
  EXPECT_EQ(failure(db.add_raw_soa_records_with_schema(wrong, *src.schema_info())),
            "Record 0 holds 2 atoms but was given with an atom count of 3");
  const storage::BorrowedRecord raw[] = {{record.bytes(), 2}};
  ASSERT_TRUE(db.add_raw_soa_records_with_schema(raw, *src.schema_info()));
  const storage::BorrowedRecordWithPositions typed[] = {{record.bytes(), 2, 7}};
  ASSERT_TRUE(db.add_raw_soa_records_with_positions_type(typed));
  ASSERT_TRUE(db.flush());
  const AtomDatabase reopened = open_database(path_, true);
  EXPECT_EQ(reopened.schema_info(), src.schema_info());
  for (std::size_t k : {0, 1}) EXPECT_TRUE(std::ranges::equal(reopened.record(k).value().bytes(), record.bytes()));
}

// A file written without a schema blob gets its lock rebuilt from its records by the next append.
TEST_F(Append, FileWithoutSchemaBlobGetsItsLockRebuiltFromItsRecords) {
  const auto with_k = [](std::uint32_t atoms, PropertyValue k) {
    Molecule m = small_molecule(atoms, float(atoms));
    m.properties["k"] = std::move(k);
    return m;
  };
  write_database(path_, CompressionType::none(), {with_k(2, PropertyValue(std::int64_t{1})), small_molecule(3, 1)});
  Bytes file = read_file(path_);
  put(file, 4096 + 60, 0, 8);  // no schema blob
  put(file, 4096 + 68, 0, 8);
  put(file, 4096 + 4092, reference_adler32(file.data() + 4096, 4092), 4);
  write_file(path_, file);
  AtomDatabase db = open_database(path_);
  EXPECT_EQ(db.schema_info(), std::nullopt);
  // Only the first stored record says what k holds.
  EXPECT_TRUE(refused_as(db.add_molecule(with_k(1, PropertyValue(1.5))), Error::Kind::InvalidData));
  const Molecule same = with_k(1, PropertyValue(std::int64_t{2}));
  ASSERT_TRUE(db.add_molecule(same));
  EXPECT_EQ(db.schema_info(), storage::schema::to_database_schema(storage::schema::schema_from_molecule(same).value()));
}

// Flat extraction over records that hold different sections: whether the layout comes from the
// lock (the first selected record lacks sections) or from the first record, each section goes to
// its own column, and a record lacking one leaves zeros or a gap.
TEST_F(Append, FlatExtractionFillsWhatARecordLacksWithZerosAndGaps) {
  Molecule full = small_molecule(3, 1);  // atom counts differ, so do the offsets of per-atom sections
  full.forces = types::Vec3Data(std::vector<types::Vec3F32>{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
  full.name = "full";
  write_database(path_, CompressionType::none(), {full, small_molecule(1, 2)});
  const Bytes energy[] = {f64s({-1}), f64s({-2})}, forces[] = {f32s({1, 2, 3, 4, 5, 6, 7, 8, 9}), Bytes(12, 0)};
  const std::optional<std::string> name[] = {"full", std::nullopt};
  for (const std::vector<std::size_t>& selection : {std::vector<std::size_t>{1, 0, 1}, {0, 1, 0}}) {
    const auto flat = records::extract_flat(open_database(path_, selection[0] == 0), selection).value();
    ASSERT_TRUE(flat && flat->layout.size() == 3u);
    for (std::size_t j = 0; j < 3; ++j) {
      const std::string& key = flat->layout[j].key;
      Bytes expected;
      for (std::size_t i = 0; i < selection.size(); ++i) {
        const std::size_t k = selection[i];
        expected = cat({expected, key == "energy" ? energy[k] : key == "forces" ? forces[k] : Bytes{}});
        if (key == "name") { EXPECT_EQ((*flat->string_columns[j])[i], name[k]); }
      }
      EXPECT_EQ(Bytes(flat->fixed_buffers[j].begin(), flat->fixed_buffers[j].end()), expected) << key;
    }
  }
}

// A record larger than the scratch buffer each thread decodes into is read on its own.
TEST_F(Append, FlatExtractionReadsARecordOfOverAMegabyte) {
  const Molecule big = small_molecule(100000, 1);
  write_database(path_, CompressionType::zstd(1), {small_molecule(1, 2), big});
  auto extracted = records::extract_flat(open_database(path_), std::vector<std::size_t>{1, 0}).value();
  ASSERT_TRUE(extracted.has_value());
  EXPECT_EQ(extracted->atom_counts, (std::vector<std::uint32_t>{100000, 1}));
  const auto& numbers = extracted->atomic_numbers;
  EXPECT_TRUE(std::equal(big.atomic_numbers.begin(), big.atomic_numbers.end(), numbers.begin()));
  const auto& positions = std::get<records::FlatBuffer<float>>(extracted->positions);
  EXPECT_EQ(positions[3 * 99999 + 1], 99999.0f);
  EXPECT_EQ(positions[3 * 100000], 2.0f);
}

// Views are stored under the first one's schema only when their layouts agree: a record whose
// sections differ in presence, scope, type, width or key must not pass as the same layout.
TEST(RecordView, SameSchemaOnlyWhenTheLayoutsAgree) {
  const records::SoaContext f32{12, 4};
  const Bytes energy = section(0, "energy", 0, f64s({1})), values = f64s({1, 2});
  const Bytes base = record_f32(2, {energy, section(2, "m", 3, values)});
  const std::pair<Bytes, bool> others[] = {
      {record_f32(2, {section(0, "energy", 0, f64s({5})), section(2, "m", 3, f64s({3, 4}))}), true},
      {record_f32(2, {section(2, "m", 3, values)}), false},
      {record_f32(2, {energy, section(1, "m", 3, values)}), false},
      {record_f32(2, {energy, section(2, "m", 5, values)}), false},
      {record_f32(2, {energy, section(2, "m", 3, f64s({1, 2, 3}))}), false},
      {record_f32(2, {energy, section(2, "n", 3, values)}), false},
  };
  const auto view = records::SoaMoleculeView::from_bytes(base, f32).value();
  for (std::size_t k = 0; k < std::size(others); ++k) {
    const auto other = records::SoaMoleculeView::from_bytes(others[k].first, f32).value();
    EXPECT_EQ(other.same_schema_as(view).value(), others[k].second) << k;
  }
}

}  // namespace
}  // namespace molarium::testing
