// Flat extraction: layouts from the first record or the schema lock, the fill of every selected
// molecule's rows and slots, and the refusal of damaged input, against records written by hand.
#include "engine/records/flat_extraction.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/database.hpp"
#include "tests/engine/handmade_file.hpp"

using molarium::storage::SectionKind;
using molarium::storage::TypeTag;

namespace molarium::records {
namespace {

using molarium::compression::Codec;
using molarium::compression::CompressionType;
using molarium::storage::AtomDatabase;
using molarium::storage::DatabaseSchema;
using molarium::storage::DatabaseSchemaSection;
using molarium::storage::OwnedRecord;
using molarium::testing::EntryFields;
using molarium::testing::FileBytes;
using molarium::testing::get;
using molarium::testing::handmade_index;
using molarium::testing::handmade_slot;
using molarium::testing::put;
using molarium::testing::read_file;
using molarium::testing::SlotFields;
using molarium::testing::TempDir;
using molarium::testing::write_file;

// ---------------------------------------------------------------------------------------------
// Records byte by byte

struct TestSection {
  std::uint8_t kind;
  std::string key;
  std::uint8_t tag;
  FileBytes payload;
};

template <class T>
void append_value(FileBytes& out, T value) {
  const auto bits = std::bit_cast<std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>>(value);
  put(out, out.size(), bits, sizeof(T));
}

template <class T>
FileBytes values_bytes(std::initializer_list<T> values) {
  FileBytes out;
  for (T value : values) append_value(out, value);
  return out;
}

// Atom a of the record made with `seed` sits at (100 seed + 3a, 100 seed + 3a + 1, 100 seed + 3a + 2)
// and has atomic number seed + a + 1.
float coordinate(std::uint32_t seed, std::uint32_t atom, int axis) {
  return static_cast<float>(100 * seed + 3 * atom + axis);
}

FileBytes forces_payload(std::uint32_t seed, std::uint32_t atoms) {
  FileBytes out;
  for (std::uint32_t a = 0; a < atoms; ++a) {
    for (int axis = 0; axis < 3; ++axis) append_value(out, -coordinate(seed, a, axis));
  }
  return out;
}

FileBytes text_bytes(std::string_view text) { return FileBytes(text.begin(), text.end()); }

TestSection energy(double value) { return {0, "energy", 0, values_bytes({value})}; }
TestSection forces(std::uint32_t seed, std::uint32_t atoms) { return {0, "forces", 4, forces_payload(seed, atoms)}; }
TestSection name(std::string_view text) { return {0, "name", 2, text_bytes(text)}; }
TestSection molecule_int(std::string key, std::int64_t value) { return {2, std::move(key), 1, values_bytes({value})}; }
TestSection atom_floats(std::string key, std::initializer_list<float> values) {
  return {1, std::move(key), 6, values_bytes(values)};
}
TestSection null_property(std::string key) { return {2, std::move(key), 13, {}}; }

// positions_width 4 writes float32 triples, 8 float64 triples.
FileBytes soa_record(std::uint32_t seed, std::uint32_t atoms, const std::vector<TestSection>& sections,
                     int positions_width = 4) {
  FileBytes out;
  put(out, 0, atoms, 4);
  for (std::uint32_t a = 0; a < atoms; ++a) {
    for (int axis = 0; axis < 3; ++axis) {
      if (positions_width == 8) {
        append_value(out, static_cast<double>(coordinate(seed, a, axis)));
      } else {
        append_value(out, coordinate(seed, a, axis));
      }
    }
  }
  for (std::uint32_t a = 0; a < atoms; ++a) out.push_back(static_cast<std::uint8_t>(seed + a + 1));
  put(out, out.size(), sections.size(), 2);
  for (const TestSection& section : sections) {
    out.push_back(section.kind);
    out.push_back(static_cast<std::uint8_t>(section.key.size()));
    out.insert(out.end(), section.key.begin(), section.key.end());
    out.push_back(section.tag);
    put(out, out.size(), section.payload.size(), 4);
    out.insert(out.end(), section.payload.begin(), section.payload.end());
  }
  return out;
}

// Schema sections as a writer derives them (kind, key, tag, per-atom flag, element and slot bytes).
DatabaseSchemaSection schema_section(std::uint8_t kind, std::string key, std::uint8_t tag, bool per_atom,
                                     std::uint64_t elem, std::uint64_t slot) {
  return {std::move(key), elem, slot, per_atom, static_cast<SectionKind>(kind), static_cast<TypeTag>(tag)};
}
const DatabaseSchemaSection kEnergySchema = schema_section(0, "energy", 0, false, 8, 8);
const DatabaseSchemaSection kForcesSchema = schema_section(0, "forces", 4, true, 12, 12);
const DatabaseSchemaSection kNameSchema = schema_section(0, "name", 2, false, 0, 0);

// ---------------------------------------------------------------------------------------------
// Databases

enum class Mode { Mapped, InMemory, NotFlushed };

class FlatFiles : public ::testing::Test {
 protected:
  // Appends the records with the schema (so the file has a schema lock) and commits.
  void write_locked(const std::vector<FileBytes>& records, std::vector<DatabaseSchemaSection> sections,
                    CompressionType compression = CompressionType::none(), std::uint8_t positions_type = 4) {
    auto db = AtomDatabase::create_with_format(path_, compression).value();
    append_locked(db, records, std::move(sections), positions_type);
    ASSERT_TRUE(db.flush());
  }
  static void append_locked(AtomDatabase& db, const std::vector<FileBytes>& records,
                            std::vector<DatabaseSchemaSection> sections, std::uint8_t positions_type = 4) {
    std::vector<OwnedRecord> owned;
    for (const FileBytes& record : records) owned.push_back({record, static_cast<std::uint32_t>(get(record, 0, 4))});
    const auto added = db.add_owned_soa_records_with_schema(std::move(owned), DatabaseSchema{std::move(sections), positions_type});
    ASSERT_TRUE(added) << added.error().display();
  }

  // A committed, uncompressed file with these records and no schema lock, written by hand.
  void write_unlocked(const std::vector<FileBytes>& records, std::uint32_t record_format = 2) {
    std::vector<EntryFields> entries;
    FileBytes data;
    for (const FileBytes& record : records) {
      entries.push_back({8192 + data.size(), static_cast<std::uint32_t>(record.size()),
                         static_cast<std::uint32_t>(record.size()), static_cast<std::uint32_t>(get(record, 0, 4))});
      data.insert(data.end(), record.begin(), record.end());
    }
    const FileBytes index = handmade_index(entries.size(), entries);
    SlotFields a;
    a.generation = 1;
    a.record_count = entries.size();
    a.record_format = record_format;
    a.index_offset = 8192 + data.size();
    a.index_length = index.size();
    FileBytes file = handmade_slot(a);
    const FileBytes b = handmade_slot(SlotFields{});
    file.insert(file.end(), b.begin(), b.end());
    file.insert(file.end(), data.begin(), data.end());
    file.insert(file.end(), index.begin(), index.end());
    write_file(path_, file);
  }

  AtomDatabase open(bool mapped) { return AtomDatabase::open_with_options(path_, mapped, false).value(); }

  // The file offset of a field of index entry i of the live header (the one of the higher
  // generation).
  std::uint64_t entry_field_offset(std::size_t i, std::size_t field) {
    const FileBytes file = read_file(path_);
    const std::size_t slot = get(file, 4096 + 8, 8) > get(file, 8, 8) ? 4096 : 0;
    return get(file, slot + 24, 8) + 8 + 20 * i + field;
  }
  void patch(std::uint64_t at, std::uint64_t value, int width) {
    FileBytes file = read_file(path_);
    put(file, at, value, width);
    write_file(path_, file);
  }

  TempDir dir_;
  std::string path_ = dir_.path("flat.molr");
};

FlatExtraction extracted(const AtomDatabase& db, std::vector<std::size_t> indices) {
  auto result = extract_flat(db, indices);
  EXPECT_TRUE(result) << result.error().display();
  EXPECT_TRUE(result && result->has_value());
  return std::move(**result);
}

std::string failure(const AtomDatabase& db, std::vector<std::size_t> indices) {
  auto result = extract_flat(db, indices);
  EXPECT_FALSE(result);
  return result ? std::string("(no failure)") : result.error().display();
}

std::vector<std::string> layout_keys(const FlatExtraction& flat) {
  std::vector<std::string> keys;
  for (const auto& entry : flat.layout) keys.push_back(entry.key);
  return keys;
}

// The float32 positions a selection of (seed, atom count) records must give, molecule by molecule.
std::vector<float> expected_positions(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& molecules) {
  std::vector<float> out;
  for (auto [seed, atoms] : molecules) {
    for (std::uint32_t a = 0; a < atoms; ++a) {
      for (int axis = 0; axis < 3; ++axis) out.push_back(coordinate(seed, a, axis));
    }
  }
  return out;
}

FileBytes concat(std::initializer_list<FileBytes> parts) {
  FileBytes out;
  for (const FileBytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// ---------------------------------------------------------------------------------------------
// Filling, over codecs and ways of opening

struct FillCase {
  Codec codec;
  Mode mode;
};

class FlatFill : public FlatFiles, public ::testing::WithParamInterface<FillCase> {};

CompressionType compression_of(Codec codec) {
  if (codec == Codec::Lz4) return CompressionType::lz4();
  if (codec == Codec::Zstd) return CompressionType::zstd(3);
  return CompressionType::none();
}

TEST_P(FlatFill, SlicesFollowTheSelectionOrderWithRepeats) {
  const std::vector<FileBytes> records = {
      soa_record(0, 2, {energy(-1), forces(0, 2), name("water"), null_property("n"), molecule_int("a", 7)}),
      soa_record(1, 0, {energy(-2), forces(1, 0), name(""), null_property("n"), molecule_int("a", 8)}),
      soa_record(2, 3, {energy(-3), forces(2, 3), name("ammonia"), null_property("n"), molecule_int("a", 9)}),
  };
  const std::vector<DatabaseSchemaSection> schema = {kEnergySchema, kForcesSchema, kNameSchema,
                                                     schema_section(2, "a", 1, false, 8, 8),
                                                     schema_section(2, "n", 13, false, 0, 0)};
  auto db = AtomDatabase::create_with_format(path_, compression_of(GetParam().codec)).value();
  append_locked(db, records, schema);
  if (GetParam().mode != Mode::NotFlushed) {
    ASSERT_TRUE(db.flush());
    db = open(GetParam().mode == Mode::Mapped);
  }

  FlatExtraction flat = extracted(db, {2, 0, 2, 1});
  EXPECT_EQ(flat.atom_counts, (std::vector<std::uint32_t>{3, 2, 3, 0}));
  EXPECT_EQ(flat.total_atoms, 8u);
  EXPECT_EQ(std::get<FlatBuffer<float>>(flat.positions), expected_positions({{2, 3}, {0, 2}, {2, 3}, {1, 0}}));
  EXPECT_EQ(flat.atomic_numbers, (FileBytes{3, 4, 5, 1, 2, 3, 4, 5}));
  // The lock names the same fields as the first record, so the record's order stands.
  EXPECT_EQ(layout_keys(flat), (std::vector<std::string>{"energy", "forces", "name", "n", "a"}));
  EXPECT_EQ(flat.fixed_buffers[0], values_bytes({-3.0, -1.0, -3.0, -2.0}));
  EXPECT_EQ(flat.fixed_buffers[1], concat({forces_payload(2, 3), forces_payload(0, 2), forces_payload(2, 3)}));
  EXPECT_TRUE(flat.fixed_buffers[2].empty());
  EXPECT_EQ(flat.string_columns[2], (StringColumn{"ammonia", "water", "ammonia", ""}));
  EXPECT_EQ(flat.string_columns[3], StringColumn(4));  // null sections store nothing
  EXPECT_EQ(flat.fixed_buffers[4], values_bytes<std::int64_t>({9, 7, 9, 8}));
  for (std::size_t j = 0; j < flat.layout.size(); ++j) EXPECT_FALSE(flat.tensor_columns[j]) << j;
}

// Records of one layout are filled from offsets fixed by their atom count; records that differ from
// the first selected record's layout anywhere (order, a missing section, a section swapped after
// matching ones) are filled by key. Either way every molecule holds its own values, or zeros for
// a section it lacks, whichever record comes first in the selection.
TEST_P(FlatFill, MixedAtomCountsAndLayoutsGiveEveryMoleculeItsOwnValues) {
  const auto charges = [](std::uint32_t seed, std::uint32_t atoms) {
    FileBytes out;
    for (std::uint32_t a = 0; a < atoms; ++a) append_value(out, static_cast<float>(seed) + 0.25f * static_cast<float>(a));
    return TestSection{1, "q", 6, out};
  };
  const auto standard = [&](std::uint32_t seed, std::uint32_t atoms) {
    return soa_record(seed, atoms, {energy(-1.0 - seed), forces(seed, atoms), molecule_int("a", 10 + seed),
                                    null_property("n"), charges(seed, atoms)});
  };
  const std::vector<FileBytes> records = {
      standard(0, 2),
      standard(1, 0),
      soa_record(2, 5, {forces(2, 5), energy(-3), molecule_int("a", 12), null_property("n"), charges(2, 5)}),
      soa_record(3, 1, {energy(-4), forces(3, 1), molecule_int("a", 13), null_property("n")}),  // no "q"
      standard(4, 3),
      soa_record(5, 4, {energy(-6), forces(5, 4), molecule_int("a", 15), charges(5, 4), null_property("n")}),
  };
  const std::vector<DatabaseSchemaSection> schema = {kEnergySchema, kForcesSchema,
                                                     schema_section(2, "a", 1, false, 8, 8),
                                                     schema_section(2, "n", 13, false, 0, 0),
                                                     schema_section(1, "q", 6, true, 4, 4)};
  auto db = AtomDatabase::create_with_format(path_, compression_of(GetParam().codec)).value();
  append_locked(db, records, schema);
  if (GetParam().mode != Mode::NotFlushed) {
    ASSERT_TRUE(db.flush());
    db = open(GetParam().mode == Mode::Mapped);
  }
  const std::uint32_t atoms[] = {2, 0, 5, 1, 3, 4};
  for (const std::vector<std::size_t>& selection :
       {std::vector<std::size_t>{0, 4, 2, 3, 1, 5, 4, 0}, std::vector<std::size_t>{2, 0, 5, 3, 4}}) {
    SCOPED_TRACE(selection.front());
    FlatExtraction flat = extracted(db, selection);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> molecules;
    FileBytes numbers, energies, forces_bytes, ints, qs;
    for (const std::size_t k : selection) {
      const auto seed = static_cast<std::uint32_t>(k);
      molecules.emplace_back(seed, atoms[k]);
      for (std::uint32_t a = 0; a < atoms[k]; ++a) numbers.push_back(static_cast<std::uint8_t>(seed + a + 1));
      append_value(energies, -1.0 - seed);
      forces_bytes = concat({forces_bytes, forces_payload(seed, atoms[k])});
      append_value<std::int64_t>(ints, 10 + seed);
      for (std::uint32_t a = 0; a < atoms[k]; ++a) {
        append_value(qs, k == 3 ? 0.0f : static_cast<float>(seed) + 0.25f * static_cast<float>(a));
      }
    }
    EXPECT_EQ(std::get<FlatBuffer<float>>(flat.positions), expected_positions(molecules));
    EXPECT_EQ(flat.atomic_numbers, numbers);
    const auto buffer = [&](std::string_view key) -> const FlatBuffer<std::uint8_t>& {
      for (std::size_t j = 0; j < flat.layout.size(); ++j) {
        if (flat.layout[j].key == key) return flat.fixed_buffers[j];
      }
      ADD_FAILURE() << "no section " << key;
      return flat.fixed_buffers.front();
    };
    EXPECT_EQ(buffer("energy"), energies);
    EXPECT_EQ(buffer("forces"), forces_bytes);
    EXPECT_EQ(buffer("a"), ints);
    EXPECT_EQ(buffer("q"), qs);
  }
}

std::string fill_case_name(const ::testing::TestParamInfo<FillCase>& info) {
  const char* codec = info.param.codec == Codec::Lz4 ? "Lz4" : info.param.codec == Codec::Zstd ? "Zstd" : "None";
  const char* mode = info.param.mode == Mode::Mapped ? "Mapped" : info.param.mode == Mode::InMemory ? "InMemory" : "NotFlushed";
  return std::string(codec) + mode;
}

INSTANTIATE_TEST_SUITE_P(CodecsAndModes, FlatFill,
                         ::testing::Values(FillCase{Codec::None, Mode::Mapped}, FillCase{Codec::None, Mode::InMemory},
                                           FillCase{Codec::None, Mode::NotFlushed}, FillCase{Codec::Lz4, Mode::Mapped},
                                           FillCase{Codec::Lz4, Mode::InMemory}, FillCase{Codec::Zstd, Mode::Mapped},
                                           FillCase{Codec::Zstd, Mode::InMemory}, FillCase{Codec::Zstd, Mode::NotFlushed}),
                         fill_case_name);

// ---------------------------------------------------------------------------------------------
// Selection

TEST_F(FlatFiles, EmptySelectionReadsNothingEvenWhenTheDatabaseCannotBeRead) {
  // Record format 3 without a schema lock has no positions type: any read fails.
  write_unlocked({soa_record(0, 1, {})}, 3);
  const AtomDatabase db = open(true);
  auto empty = extract_flat(db, {});
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->has_value());
  EXPECT_EQ(failure(db, {0}), "Invalid data: Missing positions dtype for record format 3");
}

TEST_F(FlatFiles, FirstIndexPastTheEndIsNamed) {
  write_locked({soa_record(0, 1, {energy(1)}), soa_record(1, 1, {energy(2)})}, {kEnergySchema});
  const AtomDatabase db = open(true);
  EXPECT_EQ(failure(db, {1, 0, 9, 12}), "Invalid data: Index 9 out of bounds");
}

TEST_F(FlatFiles, Float64PositionsAreGatheredAsTriplesOfBytes) {
  write_locked({soa_record(0, 2, {energy(1)}, 8), soa_record(1, 1, {energy(2)}, 8)}, {kEnergySchema},
               CompressionType::none(), 7);
  const AtomDatabase db = open(true);
  FlatExtraction flat = extracted(db, {1, 0});
  FileBytes expected;
  for (float value : expected_positions({{1, 1}, {0, 2}})) append_value(expected, static_cast<double>(value));
  EXPECT_EQ(std::get<FlatBuffer<std::uint8_t>>(flat.positions), expected);
}

// ---------------------------------------------------------------------------------------------
// Layout from the first record: strict positional matching

TEST_F(FlatFiles, WithoutLockAnExtraSectionFailsWithTheSectionCount) {
  write_unlocked({soa_record(0, 1, {energy(1), molecule_int("a", 1)}), soa_record(1, 1, {energy(2), molecule_int("a", 2)}),
                  soa_record(2, 1, {energy(3), molecule_int("a", 3), molecule_int("b", 4)})});
  const AtomDatabase db = open(true);
  EXPECT_EQ(failure(db, {0, 1, 2}), "Invalid data: SOA schema mismatch for molecule 2: expected 2 sections, got 3");
}

TEST_F(FlatFiles, WithoutLockReorderedSectionsFailAtTheFirstDifferingPosition) {
  write_unlocked({soa_record(0, 1, {energy(1), atom_floats("q", {0.5f}), molecule_int("a", 1)}),
                  soa_record(1, 1, {energy(2), molecule_int("a", 2), atom_floats("q", {1.5f})})});
  const AtomDatabase db = open(false);
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: SOA schema order mismatch at molecule 1 for section 'a'");
}

TEST_F(FlatFiles, TypeTagOtherThanTheLayoutsIsRefused) {
  write_unlocked({soa_record(0, 1, {energy(1)}), soa_record(1, 1, {{0, "energy", 11, values_bytes({2.0f})}})});
  const AtomDatabase db = open(true);
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: SOA schema mismatch at molecule 1 for section 'energy'");
}

TEST_F(FlatFiles, PerAtomPayloadOfTheWrongLengthIsRefused) {
  write_unlocked({soa_record(0, 3, {forces(0, 3)}), soa_record(1, 3, {forces(1, 2)})});
  const AtomDatabase db = open(true);
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: Section 'forces' has invalid payload length 24 (expected 36)");
}

TEST_F(FlatFiles, TextThatIsNotUtf8IsRefused) {
  write_unlocked({soa_record(0, 1, {name("ok")}), soa_record(1, 1, {{0, "name", 2, {0xff, 0x41}}})});
  const AtomDatabase db = open(true);
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: Invalid UTF-8 in section 'name'");
}

TEST_F(FlatFiles, DamagedTensorPayloadIsRefused) {
  const FileBytes good = concat({{1}, values_bytes<std::uint32_t>({2}), values_bytes({1.0, 2.0})});
  const FileBytes short_values = concat({{1}, values_bytes<std::uint32_t>({3}), values_bytes({1.0, 2.0})});
  write_unlocked({soa_record(0, 1, {{2, "t", 15, good}}), soa_record(1, 1, {{2, "t", 15, short_values}})});
  const AtomDatabase db = open(true);
  FlatExtraction flat = extracted(db, {0, 0});
  EXPECT_EQ(flat.tensor_columns[0], (TensorColumn{good, good}));
  EXPECT_TRUE(flat.fixed_buffers[0].empty());
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: Tensor shape [3] expects 3 values, got 2");
}

TEST_F(FlatFiles, LowestFailingPositionIsReportedWhateverTheTiming) {
  std::vector<FileBytes> records;
  for (std::uint32_t i = 0; i < 64; ++i) {
    const bool damaged = i == 2 || i == 5 || i == 40;
    records.push_back(soa_record(i, 2, {damaged ? TestSection{0, "energy", 11, values_bytes({1.0f})} : energy(i)}));
  }
  write_unlocked(records);
  const AtomDatabase db = open(true);
  std::vector<std::size_t> all(64);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  for (int run = 0; run < 20; ++run) {
    EXPECT_EQ(failure(db, all), "Invalid data: SOA schema mismatch at molecule 2 for section 'energy'");
  }
}

// ---------------------------------------------------------------------------------------------
// Layout and matching with a schema lock

TEST_F(FlatFiles, WithLockReorderedSectionsAreMatchedByKey) {
  // One writer orders custom sections by scope (atom scope first), another keeps the order it
  // was given: both records hold the same fields.
  write_locked({soa_record(0, 1, {energy(1), atom_floats("q", {0.5f}), molecule_int("a", 1)}),
                soa_record(1, 1, {energy(2), molecule_int("a", 2), atom_floats("q", {1.5f})})},
               {kEnergySchema, schema_section(1, "q", 6, true, 4, 4), schema_section(2, "a", 1, false, 8, 8)});
  const AtomDatabase db = open(true);

  FlatExtraction flat = extracted(db, {0, 1});
  EXPECT_EQ(layout_keys(flat), (std::vector<std::string>{"energy", "q", "a"}));
  EXPECT_EQ(flat.fixed_buffers[1], values_bytes({0.5f, 1.5f}));
  EXPECT_EQ(flat.fixed_buffers[2], values_bytes<std::int64_t>({1, 2}));

  FlatExtraction reversed = extracted(db, {1, 0});
  EXPECT_EQ(layout_keys(reversed), (std::vector<std::string>{"energy", "a", "q"}));
  EXPECT_EQ(reversed.fixed_buffers[0], values_bytes({2.0, 1.0}));
  EXPECT_EQ(reversed.fixed_buffers[1], values_bytes<std::int64_t>({2, 1}));
  EXPECT_EQ(reversed.fixed_buffers[2], values_bytes({1.5f, 0.5f}));
}

TEST_F(FlatFiles, WithLockARecordLackingASectionLeavesZerosAndGaps) {
  // The first record holds every field of the lock, so its layout stands; the second lacks two.
  write_locked({soa_record(0, 1, {energy(1), forces(0, 1), name("zero")}), soa_record(1, 2, {energy(2)})},
               {kEnergySchema, kForcesSchema, kNameSchema});
  const AtomDatabase db = open(true);
  FlatExtraction flat = extracted(db, {0, 1});
  EXPECT_EQ(layout_keys(flat), (std::vector<std::string>{"energy", "forces", "name"}));
  EXPECT_EQ(flat.fixed_buffers[0], values_bytes({1.0, 2.0}));
  EXPECT_EQ(flat.fixed_buffers[1], concat({forces_payload(0, 1), FileBytes(24, 0)}));
  EXPECT_EQ(flat.string_columns[2], (StringColumn{"zero", std::nullopt}));
}

TEST_F(FlatFiles, WithLockARecordWithASectionOutsideTheLayoutStillFails) {
  write_locked({soa_record(0, 1, {energy(1), molecule_int("a", 1)})},
               {kEnergySchema, schema_section(2, "a", 1, false, 8, 8)});
  auto db = open(false);
  // Raw records are not parsed on append: these carry sections their schema does not name.
  append_locked(db, {soa_record(1, 1, {energy(2), molecule_int("b", 2)}),
                     soa_record(2, 1, {energy(3), molecule_int("a", 3), molecule_int("b", 4)}),
                     soa_record(3, 1, {molecule_int("a", 5), molecule_int("a", 6)})},
                {kEnergySchema, schema_section(2, "a", 1, false, 8, 8)});
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: SOA schema order mismatch at molecule 1 for section 'b'");
  EXPECT_EQ(failure(db, {0, 2}), "Invalid data: SOA schema mismatch for molecule 1: expected 2 sections, got 3");
  EXPECT_EQ(failure(db, {0, 3}), "Invalid data: SOA schema order mismatch at molecule 1 for section 'a'");
}

TEST_F(FlatFiles, LockWithMoreSectionsDrivesTheLayoutAndLeavesZerosAndGaps) {
  write_locked({soa_record(0, 2, {energy(1)}), soa_record(1, 1, {energy(2), forces(1, 1), name("one")})},
               {kEnergySchema, kForcesSchema, kNameSchema});
  const AtomDatabase db = open(true);
  FlatExtraction flat = extracted(db, {0, 1, 0});
  EXPECT_EQ(layout_keys(flat), (std::vector<std::string>{"energy", "forces", "name"}));
  EXPECT_EQ(flat.fixed_buffers[0], values_bytes({1.0, 2.0, 1.0}));
  EXPECT_EQ(flat.fixed_buffers[1], concat({FileBytes(24, 0), forces_payload(1, 1), FileBytes(24, 0)}));
  EXPECT_EQ(flat.string_columns[2], (StringColumn{std::nullopt, "one", std::nullopt}));
}

TEST_F(FlatFiles, KeyedMatchingRefusesASectionOutsideTheLock) {
  auto db = AtomDatabase::create_with_format(path_, CompressionType::none()).value();
  append_locked(db, {soa_record(0, 1, {energy(1)})}, {kEnergySchema, kForcesSchema});
  append_locked(db, {soa_record(1, 1, {energy(2), molecule_int("zzz", 3)})}, {kEnergySchema});
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: Unexpected SOA section 'zzz' in molecule 1");
}

// ---------------------------------------------------------------------------------------------
// Index entries that disagree with their records

class DamagedIndex : public FlatFiles, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    write_locked({soa_record(0, 3, {energy(1), forces(0, 3)}), soa_record(1, 3, {energy(2), forces(1, 3)})},
                 {kEnergySchema, kForcesSchema});
  }
  void set_atom_count(std::size_t entry, std::uint32_t count) { patch(entry_field_offset(entry, 16), count, 4); }
};

TEST_P(DamagedIndex, FewerAtomsThanTheRecordIsRefusedBeforeCopying) {
  set_atom_count(1, 2);
  const AtomDatabase db = open(GetParam());
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: SOA record of molecule 1 holds 3 atoms, but its index entry says 2");
}

TEST_P(DamagedIndex, MoreAtomsThanTheRecordIsRefusedBeforeCopying) {
  set_atom_count(0, 4);
  const AtomDatabase db = open(GetParam());
  EXPECT_EQ(failure(db, {1, 0}), "Invalid data: SOA record of molecule 1 holds 3 atoms, but its index entry says 4");
}

TEST_P(DamagedIndex, CountTheRecordCannotHoldIsRefusedBeforeAllocating) {
  set_atom_count(1, 4000000000u);
  const AtomDatabase db = open(GetParam());
  const std::uint64_t length = get(read_file(path_), entry_field_offset(1, 12), 4);
  EXPECT_EQ(failure(db, {0, 1}), "Invalid data: Index entry 1 claims 4000000000 atoms, more than its record of " +
                                     std::to_string(length) + " bytes can hold");
}

INSTANTIATE_TEST_SUITE_P(MappedAndInMemory, DamagedIndex, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Mapped" : "InMemory"); });

// ---------------------------------------------------------------------------------------------
// Large selections: looked up and filled on the worker pool

class LargeSelection : public FlatFiles, public ::testing::WithParamInterface<FillCase> {
 protected:
  static constexpr std::uint32_t kRecords = 300;
  static constexpr std::size_t kSelected = 3000;  // enough for the parallel lookup and fill

  // Record i has 1 + i % 7 atoms; every third record lacks forces and the property "a", so the
  // lock, not the first record, drives the layout and those records leave zeros.
  static bool complete(std::uint32_t i) { return i % 3 != 0; }
  static std::uint32_t atoms(std::uint32_t i) { return 1 + i % 7; }

  void write() {
    std::vector<FileBytes> records;
    for (std::uint32_t i = 0; i < kRecords; ++i) {
      std::vector<TestSection> sections = {energy(i)};
      if (complete(i)) {
        sections.push_back(forces(i, atoms(i)));
        sections.push_back(molecule_int("a", 1000 + i));
      }
      records.push_back(soa_record(i, atoms(i), sections));
    }
    write_locked(records, {kEnergySchema, kForcesSchema, schema_section(2, "a", 1, false, 8, 8)},
                 compression_of(GetParam().codec));
  }

  // Molecule j of the selection is record (7 j + 3) % kRecords: every record, scattered, repeated.
  static std::vector<std::size_t> selection() {
    std::vector<std::size_t> indices(kSelected);
    for (std::size_t j = 0; j < kSelected; ++j) indices[j] = (7 * j + 3) % kRecords;
    return indices;
  }
};

TEST_P(LargeSelection, EveryBufferHoldsTheValuesOrZerosWhateverTheMemoryHeldBefore) {
  write();
  const AtomDatabase db = open(GetParam().mode == Mode::Mapped);
  const std::vector<std::size_t> indices = selection();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> molecules;
  FileBytes numbers, energies, forces_bytes, properties;
  for (const std::size_t k : indices) {
    const auto i = static_cast<std::uint32_t>(k);
    molecules.emplace_back(i, atoms(i));
    for (std::uint32_t a = 0; a < atoms(i); ++a) numbers.push_back(static_cast<std::uint8_t>(i + a + 1));
    append_value(energies, static_cast<double>(i));
    const FileBytes forces_part = complete(i) ? forces_payload(i, atoms(i)) : FileBytes(12 * atoms(i), 0);
    forces_bytes.insert(forces_bytes.end(), forces_part.begin(), forces_part.end());
    append_value(properties, complete(i) ? std::int64_t{1000} + i : std::int64_t{0});
  }
  // Each round frees its buffers before the next allocates, so later rounds are likely to be
  // given memory that held the earlier rounds' values.
  for (int round = 0; round < 3; ++round) {
    FlatExtraction flat = extracted(db, indices);
    ASSERT_EQ(layout_keys(flat), (std::vector<std::string>{"energy", "forces", "a"}));
    EXPECT_EQ(std::get<FlatBuffer<float>>(flat.positions), expected_positions(molecules));
    EXPECT_EQ(flat.atomic_numbers, numbers);
    EXPECT_EQ(flat.fixed_buffers[0], energies);
    EXPECT_EQ(flat.fixed_buffers[1], forces_bytes);
    EXPECT_EQ(flat.fixed_buffers[2], properties);
  }
}

TEST_P(LargeSelection, FirstIndexPastTheEndInSelectionOrderIsNamed) {
  write();
  const AtomDatabase db = open(GetParam().mode == Mode::Mapped);
  std::vector<std::size_t> indices = selection();
  indices[2500] = 900;
  indices[1700] = 4000;
  indices[2999] = 300;
  for (int run = 0; run < 10; ++run) EXPECT_EQ(failure(db, indices), "Invalid data: Index 4000 out of bounds");
}

INSTANTIATE_TEST_SUITE_P(CodecsAndModes, LargeSelection,
                         ::testing::Values(FillCase{Codec::None, Mode::Mapped}, FillCase{Codec::None, Mode::InMemory},
                                           FillCase{Codec::Zstd, Mode::Mapped}, FillCase{Codec::Lz4, Mode::InMemory}),
                         fill_case_name);

}  // namespace
}  // namespace molarium::records
