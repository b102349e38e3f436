// Tests of schema entries, the lock's derivation from molecules and records, merging, the
// format check and the schema blob.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/atom.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"

using molarium::storage::SectionKind;
using molarium::storage::TypeTag;

namespace molarium::storage::schema {
namespace {

using atom::Molecule;
using types::Tensor;
using types::TensorData;

// ---- Records and blobs assembled by hand ----

Bytes u16le(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }
Bytes u32le(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}
Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes section(std::uint8_t kind, std::string_view key, std::uint8_t tag, const Bytes& payload) {
  return concat({{kind, static_cast<std::uint8_t>(key.size())}, text_bytes(key), {tag},
                 u32le(static_cast<std::uint32_t>(payload.size())), payload});
}

// A record of n atoms with zeroed positions of the given stride, atomic numbers 1, and sections.
Bytes record(std::uint32_t atoms, std::size_t stride, std::initializer_list<Bytes> sections) {
  Bytes out = concat({u32le(atoms), Bytes(atoms * stride, 0), Bytes(atoms, 1),
                      u16le(static_cast<std::uint16_t>(sections.size()))});
  for (const Bytes& s : sections) out.insert(out.end(), s.begin(), s.end());
  return out;
}

Molecule molecule_f32(std::size_t atoms) {
  return Molecule::create(std::vector<types::Vec3F32>(atoms, {0, 0, 0}), std::vector<std::uint8_t>(atoms, 1)).value();
}

std::string error_message(const auto& result) {
  EXPECT_FALSE(result.has_value());
  if (result.has_value()) return "";
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  return result.error().message();
}

SchemaEntry entry_of(const SchemaLock& lock, std::uint8_t kind, const std::string& key) {
  auto it = lock.entries.find({static_cast<SectionKind>(kind), key});
  EXPECT_NE(it, lock.entries.end()) << "no entry (" << int{kind} << ", " << key << ")";
  return it == lock.entries.end() ? SchemaEntry{} : it->second;
}

// ---- Schema entries ----

TEST(SchemaEntries, EntryDebugForm) {
  EXPECT_EQ((SchemaEntry{TypeTag{4}, true, 12, 12}).debug(),
            "SchemaEntry { type_tag: 4, per_atom: true, elem_bytes: 12, slot_bytes: 12 }");
}

TEST(SchemaEntries, ForcesOfThreeAtoms) {
  Molecule molecule = molecule_f32(3);
  molecule.forces = std::vector<types::Vec3F32>(3, {0, 0, 0});
  auto lock = schema_from_molecule(molecule);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 0, "forces"), (SchemaEntry{TypeTag{4}, true, 12, 12}));

  molecule.forces = std::vector<types::Vec3F32>(2, {0, 0, 0});
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Section 'forces' payload length 24 does not match expected 36");
}

TEST(SchemaEntries, PerAtomBuiltinsWithWrongCountAreRefused) {
  Molecule molecule = molecule_f32(2);
  molecule.charges = std::vector<float>{1, 2, 3};
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Section 'charges' payload length 12 does not match expected 8");
  molecule.charges.reset();
  molecule.velocities = std::vector<types::Vec3F64>{{0, 0, 0}};
  EXPECT_EQ(error_message(schema_from_molecule(molecule)),
            "Section 'velocities' payload length 24 does not match expected 48");
}

TEST(SchemaEntries, MoleculeScopeArrayIsLockedToItsLength) {
  Molecule five = molecule_f32(1);
  five.properties["x"] = std::vector<double>(5, 0.0);
  Molecule six = molecule_f32(1);
  six.properties["x"] = std::vector<double>(6, 0.0);
  auto target = schema_from_molecule(five);
  auto incoming = schema_from_molecule(six);
  ASSERT_TRUE(target && incoming);
  EXPECT_EQ(entry_of(*target, 2, "x"), (SchemaEntry{TypeTag{3}, false, 8, 40}));
  EXPECT_EQ(error_message(merge_schema_lock(*target, *incoming)),
            "Schema mismatch for section 'x': expected SchemaEntry { type_tag: 3, per_atom: false, elem_bytes: 8, "
            "slot_bytes: 40 }, got SchemaEntry { type_tag: 3, per_atom: false, elem_bytes: 8, slot_bytes: 48 }");
}

TEST(SchemaEntries, AtomScopeScalarNeedsExactlyOneAtom) {
  Molecule two = molecule_f32(2);
  two.atom_properties["n"] = std::int64_t{1};
  EXPECT_EQ(error_message(schema_from_molecule(two)), "Section 'n' payload length 8 does not match expected 16");
  Molecule one = molecule_f32(1);
  one.atom_properties["n"] = std::int64_t{1};
  auto lock = schema_from_molecule(one);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 1, "n"), (SchemaEntry{TypeTag{1}, true, 8, 8}));
}

TEST(SchemaEntries, EmptyMoleculeAtomScope) {
  Molecule molecule = molecule_f32(0);
  molecule.atom_properties["q"] = std::vector<float>{};
  auto lock = schema_from_molecule(molecule);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 1, "q"), (SchemaEntry{TypeTag{6}, true, 4, 4}));
  molecule.atom_properties["e"] = 1.0;
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Section 'e' payload length 8 does not match expected 0");
}

TEST(SchemaEntries, AtomScopeStringOnlyWhenEmpty) {
  Molecule molecule = molecule_f32(2);
  molecule.atom_properties["s"] = std::string();
  molecule.atom_properties["z"] = types::Null{};
  auto lock = schema_from_molecule(molecule);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 1, "s"), (SchemaEntry{TypeTag{2}, true, 0, 0}));
  EXPECT_EQ(entry_of(*lock, 1, "z"), (SchemaEntry{TypeTag{13}, true, 0, 0}));
  molecule.atom_properties["s"] = std::string("abc");
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Section 's' payload length 3 does not match expected 0");
}

TEST(SchemaEntries, KeyInBothScopesIsRefused) {
  Molecule molecule = molecule_f32(1);
  molecule.atom_properties["k"] = types::Null{};
  molecule.properties["k"] = std::string("whatever");
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Custom property 'k' exists in both atom and molecule scopes");
}

TEST(SchemaEntries, BuiltinsOfAFullMolecule) {
  Molecule molecule = Molecule::create_f64({{0, 0, 0}, {1, 1, 1}}, {1, 8}).value();
  molecule.name = "m";
  molecule.pbc = std::array<bool, 3>{true, true, false};
  molecule.energy = 1.0f;
  molecule.cell = types::Mat3F64{};
  molecule.stress = types::Mat3F32{};
  molecule.charges = std::vector<double>{0, 0};
  molecule.velocities = std::vector<types::Vec3F64>(2, {0, 0, 0});
  auto lock = schema_from_molecule(molecule);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(lock->positions_type, 7);
  EXPECT_EQ(lock->entries.size(), 7u);
  EXPECT_EQ(entry_of(*lock, 0, "name"), (SchemaEntry{TypeTag{2}, false, 0, 0}));
  EXPECT_EQ(entry_of(*lock, 0, "pbc"), (SchemaEntry{TypeTag{9}, false, 3, 3}));
  EXPECT_EQ(entry_of(*lock, 0, "energy"), (SchemaEntry{TypeTag{11}, false, 4, 4}));
  EXPECT_EQ(entry_of(*lock, 0, "cell"), (SchemaEntry{TypeTag{10}, false, 72, 72}));
  EXPECT_EQ(entry_of(*lock, 0, "stress"), (SchemaEntry{TypeTag{12}, false, 36, 36}));
  EXPECT_EQ(entry_of(*lock, 0, "charges"), (SchemaEntry{TypeTag{3}, true, 8, 8}));
  EXPECT_EQ(entry_of(*lock, 0, "velocities"), (SchemaEntry{TypeTag{7}, true, 24, 24}));
  EXPECT_EQ(schema_from_molecule(molecule_f32(0))->positions_type, 4);
}

TEST(SchemaEntries, TensorProperties) {
  Molecule molecule = molecule_f32(2);
  molecule.atom_properties["t"] = TensorData(Tensor<float>{{2, 3}, std::vector<float>(6)});
  molecule.properties["m"] = TensorData(Tensor<double>{{}, {1.0}});
  auto lock = schema_from_molecule(molecule);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 1, "t"), (SchemaEntry{TypeTag{14}, true, 4, 0}));
  EXPECT_EQ(entry_of(*lock, 2, "m"), (SchemaEntry{TypeTag{15}, false, 8, 0}));

  molecule.atom_properties["t"] = TensorData(Tensor<std::int32_t>{{3}, {1, 2, 3}});
  EXPECT_EQ(error_message(schema_from_molecule(molecule)),
            "Atom tensor property 't' first dimension (3) doesn't match atom count (2)");
  molecule.atom_properties["t"] = TensorData(Tensor<std::int64_t>{{}, {1}});
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Atom tensor property 't' must have at least one dimension");
  molecule.atom_properties["t"] = TensorData(Tensor<std::int64_t>{{2}, {1}});
  EXPECT_EQ(error_message(schema_from_molecule(molecule)), "Tensor shape [2] expects 2 values, got 1");
}

TEST(SchemaEntries, EntryMessages) {
  EXPECT_EQ(error_message(schema_entry(SectionKind{2}, "k", TypeTag{18}, 0, std::nullopt, 1)), "Unsupported section type tag 18");
  EXPECT_EQ(error_message(schema_entry(SectionKind{1}, "k", TypeTag{4}, 0, std::nullopt, std::uint64_t{1} << 62)),
            "Schema overflow for section 'k'");
  EXPECT_EQ(error_message(schema_entry(SectionKind{2}, "k", TypeTag{15}, 9, std::nullopt, 1)), "Tensor section 'k' is missing payload");
  const Bytes bad_tensor = {0, 1, 2, 3};
  EXPECT_EQ(error_message(schema_entry(SectionKind{2}, "k", TypeTag{15}, bad_tensor.size(), ByteView(bad_tensor), 1)),
            "Tensor payload length 3 is not divisible by element size 8");
  const Bytes scalar_tensor = {0, 0, 0, 0, 0};
  EXPECT_EQ(error_message(schema_entry(SectionKind{1}, "k", TypeTag{14}, scalar_tensor.size(), ByteView(scalar_tensor), 1)),
            "Atom tensor property 'k' must have at least one dimension");
  // Unknown kinds are molecule-level; of the built-ins only forces, charges, velocities are per atom.
  EXPECT_EQ(schema_entry(SectionKind{7}, "forces", TypeTag{4}, 36, std::nullopt, 3), (SchemaEntry{TypeTag{4}, false, 12, 36}));
  EXPECT_EQ(schema_entry(SectionKind{0}, "energy", TypeTag{0}, 8, std::nullopt, 3), (SchemaEntry{TypeTag{0}, false, 8, 8}));
  EXPECT_EQ(schema_entry(SectionKind{1}, "q", TypeTag{9}, 0, std::nullopt, 0), (SchemaEntry{TypeTag{9}, true, 3, 0}));
}

TEST(SchemaEntries, InsertReplacesAnEntryWithTheSameKindAndKey) {
  SchemaLock lock;
  ASSERT_TRUE(insert_schema_entry(lock, SectionKind{2}, "x", TypeTag{3}, 16, std::nullopt, 1).has_value());
  ASSERT_TRUE(insert_schema_entry(lock, SectionKind{2}, "x", TypeTag{6}, 4, std::nullopt, 1).has_value());
  ASSERT_TRUE(insert_schema_entry(lock, SectionKind{1}, "x", TypeTag{6}, 4, std::nullopt, 1).has_value());
  EXPECT_EQ(lock.entries.size(), 2u);
  EXPECT_EQ(entry_of(lock, 2, "x"), (SchemaEntry{TypeTag{6}, false, 4, 4}));
  EXPECT_FALSE(insert_schema_entry(lock, SectionKind{1}, "y", TypeTag{99}, 0, std::nullopt, 1).has_value());
  EXPECT_EQ(lock.entries.size(), 2u);
}

// ---- Record schemas ----

// One valid section per tag, for a record of two atoms: the payload in atom scope and in
// molecule scope, and the entries they give.
struct TagCase {
  std::uint8_t tag;
  Bytes atom_payload;
  SchemaEntry atom_entry;
  Bytes molecule_payload;
  SchemaEntry molecule_entry;
};

std::vector<TagCase> tag_cases() {
  const Bytes vector_of_two_f32 = {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x3f};  // rank 1, dim 2, 8 value bytes
  return {
      {0, Bytes(16, 0), {TypeTag{0}, true, 8, 8}, Bytes(8, 0), {TypeTag{0}, false, 8, 8}},
      {1, Bytes(16, 0), {TypeTag{1}, true, 8, 8}, Bytes(8, 0), {TypeTag{1}, false, 8, 8}},
      {2, {}, {TypeTag{2}, true, 0, 0}, text_bytes("abc"), {TypeTag{2}, false, 0, 0}},
      {3, Bytes(16, 0), {TypeTag{3}, true, 8, 8}, Bytes(24, 0), {TypeTag{3}, false, 8, 24}},
      {4, Bytes(24, 0), {TypeTag{4}, true, 12, 12}, Bytes(36, 0), {TypeTag{4}, false, 12, 36}},
      {5, Bytes(16, 0), {TypeTag{5}, true, 8, 8}, Bytes(8, 0), {TypeTag{5}, false, 8, 8}},
      {6, Bytes(8, 0), {TypeTag{6}, true, 4, 4}, Bytes(12, 0), {TypeTag{6}, false, 4, 12}},
      {7, Bytes(48, 0), {TypeTag{7}, true, 24, 24}, Bytes(24, 0), {TypeTag{7}, false, 24, 24}},
      {8, Bytes(8, 0), {TypeTag{8}, true, 4, 4}, Bytes(4, 0), {TypeTag{8}, false, 4, 4}},
      {9, Bytes(6, 1), {TypeTag{9}, true, 3, 3}, Bytes(3, 1), {TypeTag{9}, false, 3, 3}},
      {10, Bytes(144, 0), {TypeTag{10}, true, 72, 72}, Bytes(72, 0), {TypeTag{10}, false, 72, 72}},
      {11, Bytes(8, 0), {TypeTag{11}, true, 4, 4}, Bytes(4, 0), {TypeTag{11}, false, 4, 4}},
      {12, Bytes(72, 0), {TypeTag{12}, true, 36, 36}, Bytes(36, 0), {TypeTag{12}, false, 36, 36}},
      {13, {}, {TypeTag{13}, true, 0, 0}, {}, {TypeTag{13}, false, 0, 0}},
      {14, vector_of_two_f32, {TypeTag{14}, true, 4, 0}, {0, 0, 0, 0x80, 0x3f}, {TypeTag{14}, false, 4, 0}},
      {15, concat({{1, 2, 0, 0, 0}, Bytes(16, 0)}), {TypeTag{15}, true, 8, 0}, concat({{2, 0, 0, 0, 0, 5, 0, 0, 0}}),
       {TypeTag{15}, false, 8, 0}},
      {16, vector_of_two_f32, {TypeTag{16}, true, 4, 0}, {1, 1, 0, 0, 0, 7, 0, 0, 0}, {TypeTag{16}, false, 4, 0}},
      {17, concat({{1, 2, 0, 0, 0}, Bytes(16, 0)}), {TypeTag{17}, true, 8, 0}, concat({{0}, Bytes(8, 0)}), {TypeTag{17}, false, 8, 0}},
  };
}

TEST(RecordSchema, EveryTypeTagInBothScopes) {
  for (const TagCase& c : tag_cases()) {
    SCOPED_TRACE(int{c.tag});
    const Bytes bytes = record(2, 12, {section(1, "p", c.tag, c.atom_payload), section(2, "p", c.tag, c.molecule_payload)});
    auto lock = record_schema(bytes, 3, 4);
    ASSERT_TRUE(lock.has_value()) << lock.error().display();
    EXPECT_EQ(lock->positions_type, 4);
    EXPECT_EQ(lock->entries.size(), 2u);
    EXPECT_EQ(entry_of(*lock, 1, "p"), c.atom_entry);
    EXPECT_EQ(entry_of(*lock, 2, "p"), c.molecule_entry);

    // Every entry survives the blob.
    auto blob = encode_schema_lock(*lock);
    ASSERT_TRUE(blob.has_value());
    EXPECT_EQ(decode_schema_lock(*blob), *lock);
  }
}

TEST(RecordSchema, UnknownTagIsRefused) {
  EXPECT_EQ(error_message(record_schema(record(0, 12, {section(2, "p", 18, {})}), 2, std::nullopt)),
            "Unsupported section type tag 18");
}

TEST(RecordSchema, AgreesWithTheMoleculeItWasWrittenFrom) {
  Molecule molecule = Molecule::create_f64({{0, 0, 0}, {1, 1, 1}}, {1, 8}).value();
  molecule.energy = -3.0;
  molecule.forces = std::vector<types::Vec3F32>(2, {0, 0, 0});
  molecule.name = "x";
  molecule.atom_properties["t"] = TensorData(Tensor<std::int32_t>{{2, 2}, {1, 2, 3, 4}});
  molecule.atom_properties["q"] = std::vector<float>{1, 2};
  molecule.properties["s"] = std::string("label");
  molecule.properties["v"] = std::vector<types::Vec3F32>(4, {0, 0, 0});
  auto bytes = soa::serialize_molecule_soa(molecule, 3);
  ASSERT_TRUE(bytes.has_value());
  auto from_record = record_schema(*bytes, 3, 7);
  auto from_molecule = schema_from_molecule(molecule);
  ASSERT_TRUE(from_record && from_molecule);
  EXPECT_EQ(*from_record, *from_molecule);
}

TEST(RecordSchema, Float64PositionsUseStride24) {
  const Bytes bytes = record(1, 24, {section(0, "forces", 7, Bytes(24, 0))});
  auto lock = record_schema(bytes, 3, 7);
  ASSERT_TRUE(lock.has_value()) << lock.error().display();
  EXPECT_EQ(lock->positions_type, 7);
  EXPECT_EQ(entry_of(*lock, 0, "forces"), (SchemaEntry{TypeTag{7}, true, 24, 24}));
  // Read with stride 12 the section count falls inside the positions and reads as zero.
  auto narrow = record_schema(bytes, 3, 4);
  ASSERT_TRUE(narrow.has_value());
  EXPECT_TRUE(narrow->entries.empty());
}

TEST(RecordSchema, PositionsTypeIsResolvedFirst) {
  const Bytes bytes = record(0, 12, {});
  EXPECT_EQ(error_message(record_schema(bytes, 3, std::nullopt)), "Missing positions dtype for record format 3");
  EXPECT_EQ(error_message(record_schema(bytes, 3, 5)), "Unsupported positions type tag 5");
  EXPECT_EQ(error_message(record_schema(bytes, 2, 7)), "record format 2 does not support float64 positions");
  EXPECT_EQ(error_message(record_schema(bytes, 9, 4)), "Unsupported record format 9");
  EXPECT_EQ(error_message(record_schema(Bytes(3, 0), 3, 5)), "Unsupported positions type tag 5");
}

TEST(RecordSchema, Format2RefusesFloat32EnergySection) {
  const Bytes bytes = record(0, 12, {section(0, "energy", 11, Bytes(4, 0))});
  EXPECT_EQ(error_message(record_schema(bytes, 2, std::nullopt)), "record format 2 does not support float32 energy");
  EXPECT_TRUE(record_schema(bytes, 3, 4).has_value());
  // Only built-in sections are restricted.
  EXPECT_TRUE(record_schema(record(0, 12, {section(2, "energy", 11, Bytes(4, 0))}), 2, std::nullopt).has_value());
}

TEST(RecordSchema, TruncationMessages) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* message;
  };
  const Bytes two_atoms = concat({u32le(2), Bytes(24, 0), Bytes(2, 1)});
  const Case cases[] = {
      {"five bytes", Bytes(5, 0), "SOA record too small"},
      {"short positions", concat({u32le(2), Bytes(23, 0)}), "SOA record truncated at positions"},
      {"huge atom count", concat({u32le(0xffffffff), Bytes(8, 0)}), "SOA record truncated at positions"},
      {"short atomic numbers", concat({u32le(2), Bytes(24, 0), Bytes(1, 1)}), "SOA record truncated at atomic_numbers"},
      {"no section count", concat({two_atoms, {1}}), "SOA record truncated at n_sections"},
      {"short section header", concat({two_atoms, u16le(1), Bytes(6, 0)}), "SOA section header truncated"},
      {"short key", concat({two_atoms, u16le(1), {2, 10}, text_bytes("abcde")}), "SOA section key truncated"},
      {"short tag and length", concat({two_atoms, u16le(1), {2, 3}, text_bytes("abc"), {13, 0, 0}}),
       "SOA section header truncated"},
      {"payload past end", concat({two_atoms, u16le(1), {2, 1}, text_bytes("k"), {3}, u32le(0xffffffff), Bytes(8, 0)}),
       "SOA section payload truncated"},
      {"missing second section", concat({two_atoms, u16le(2), section(2, "k", 13, {})}), "SOA section header truncated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(error_message(record_schema(c.bytes, 2, std::nullopt)), c.message);
  }
  // The payload's length is read from the header: cut the last byte of a complete record.
  Bytes cut = concat({two_atoms, u16le(1), section(2, "k", 3, Bytes(8, 0))});
  cut.pop_back();
  EXPECT_EQ(error_message(record_schema(cut, 2, std::nullopt)), "SOA section payload truncated");
}

TEST(RecordSchema, KeyMustBeUtf8BeforePayloadIsChecked) {
  for (const Bytes& key : {Bytes{0xff}, Bytes{0xc0, 0x80}, Bytes{0xed, 0xa0, 0x80}, Bytes{0xf4, 0x90, 0x80, 0x80},
                           Bytes{0xc3}}) {
    const Bytes bytes = concat({u32le(0), u16le(1), {2, static_cast<std::uint8_t>(key.size())}, key, {3}, u32le(100)});
    EXPECT_EQ(error_message(record_schema(bytes, 2, std::nullopt)), "Invalid UTF-8 in section key");
  }
  const Bytes valid = concat({u32le(0), u16le(1), {2, 6}, {0xc3, 0xa9, 0xf0, 0x9f, 0x98, 0x80}, {13}, u32le(0)});
  auto lock = record_schema(valid, 2, std::nullopt);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 2, "\xc3\xa9\xf0\x9f\x98\x80"), (SchemaEntry{TypeTag{13}, false, 0, 0}));
}

TEST(RecordSchema, BytesAfterTheLastSectionAreIgnored) {
  Bytes bytes = record(1, 12, {section(2, "k", 0, Bytes(8, 0))});
  bytes.insert(bytes.end(), {1, 2, 3});
  auto lock = record_schema(bytes, 2, std::nullopt);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(lock->entries.size(), 1u);
}

TEST(RecordSchema, RepeatedSectionReplacesTheEarlierOne) {
  const Bytes bytes = record(0, 12, {section(2, "k", 3, Bytes(8, 0)), section(2, "k", 6, Bytes(4, 0))});
  auto lock = record_schema(bytes, 2, std::nullopt);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(entry_of(*lock, 2, "k"), (SchemaEntry{TypeTag{6}, false, 4, 4}));
}

// ---- Merging ----

TEST(SchemaMerge, PositionTypesMustAgree) {
  SchemaLock target{{}, 4};
  EXPECT_EQ(error_message(merge_schema_lock(target, SchemaLock{{}, 7})),
            "Position dtype mismatch: expected type tag 4, got 7");
  SchemaLock empty;
  ASSERT_TRUE(merge_schema_lock(empty, SchemaLock{{}, 7}).has_value());
  EXPECT_EQ(empty.positions_type, 7);
  ASSERT_TRUE(merge_schema_lock(empty, SchemaLock{}).has_value());
  EXPECT_EQ(empty.positions_type, 7);
}

TEST(SchemaMerge, AddsNewEntriesAndAcceptsEqualOnes) {
  SchemaLock target{{{{SectionKind{2}, "a"}, {TypeTag{0}, false, 8, 8}}}, std::nullopt};
  const SchemaLock incoming{{{{SectionKind{2}, "a"}, {TypeTag{0}, false, 8, 8}}, {{SectionKind{1}, "b"}, {TypeTag{6}, true, 4, 4}}}, 4};
  ASSERT_TRUE(merge_schema_lock(target, incoming).has_value());
  EXPECT_EQ(target, incoming);
}

TEST(SchemaMerge, FailureKeepsWhatWasMergedBefore) {
  SchemaLock target{{{{SectionKind{2}, "m"}, {TypeTag{0}, false, 8, 8}}}, std::nullopt};
  // Entries merge in (kind, key) order: (1, "z") before the conflicting (2, "m"), then (2, "n").
  const SchemaLock incoming{
      {{{SectionKind{1}, "z"}, {TypeTag{6}, true, 4, 4}}, {{SectionKind{2}, "m"}, {TypeTag{1}, false, 8, 8}}, {{SectionKind{2}, "n"}, {TypeTag{13}, false, 0, 0}}}, 4};
  EXPECT_EQ(error_message(merge_schema_lock(target, incoming)),
            "Schema mismatch for section 'm': expected SchemaEntry { type_tag: 0, per_atom: false, elem_bytes: 8, "
            "slot_bytes: 8 }, got SchemaEntry { type_tag: 1, per_atom: false, elem_bytes: 8, slot_bytes: 8 }");
  EXPECT_EQ(target.positions_type, 4);
  EXPECT_TRUE(target.entries.contains({SectionKind{1}, "z"}));
  EXPECT_FALSE(target.entries.contains({SectionKind{2}, "n"}));
  EXPECT_EQ(entry_of(target, 2, "m"), (SchemaEntry{TypeTag{0}, false, 8, 8}));
}

// ---- Locks against record formats ----

TEST(SchemaFormatCheck, PositionsAndBuiltinsAgainstFormat) {
  EXPECT_TRUE(validate_schema_lock_for_record_format(2, SchemaLock{}).has_value());
  EXPECT_EQ(error_message(validate_schema_lock_for_record_format(2, SchemaLock{{}, 7})),
            "record format 2 does not support float64 positions");
  EXPECT_EQ(error_message(validate_schema_lock_for_record_format(3, SchemaLock{})),
            "Missing positions dtype for record format 3");
  EXPECT_EQ(error_message(validate_schema_lock_for_record_format(3, SchemaLock{{}, 9})),
            "Unsupported positions type tag 9");
  EXPECT_EQ(error_message(validate_schema_lock_for_record_format(4, SchemaLock{{}, 4})), "Unsupported record format 4");

  const SchemaLock lock{{{{SectionKind{0}, "energy"}, {TypeTag{11}, false, 4, 4}}, {{SectionKind{0}, "cell"}, {TypeTag{12}, false, 36, 36}},
                         {{SectionKind{1}, "cell"}, {TypeTag{12}, true, 36, 36}}},
                        4};
  // The lock's order puts "cell" before "energy".
  EXPECT_EQ(error_message(validate_schema_lock_for_record_format(2, lock)),
            "record format 2 does not support float32 cell");
  EXPECT_TRUE(validate_schema_lock_for_record_format(3, lock).has_value());
}

// ---- The schema blob ----

TEST(SchemaBlob, EmptyLockIsNineBytes) {
  const Bytes expected = {0x01, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0x00};
  auto blob = encode_schema_lock(SchemaLock{});
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(*blob, expected);
  EXPECT_EQ(decode_schema_lock(expected), SchemaLock{});

  Bytes ten = expected;
  ten.push_back(0);
  EXPECT_EQ(error_message(decode_schema_lock(ten)), "Schema blob trailing bytes");
}

TEST(SchemaBlob, EntriesInKindThenKeyOrder) {
  const SchemaLock lock{{{{SectionKind{2}, "b"}, {TypeTag{13}, false, 0, 0}},
                         {{SectionKind{2}, "ab"}, {TypeTag{3}, false, 8, 40}},
                         {{SectionKind{2}, "a"}, {TypeTag{0}, false, 8, 8}},
                         {{SectionKind{1}, "z"}, {TypeTag{6}, true, 4, 4}}},
                        4};
  const Bytes expected = concat({
      {0x01, 0x00, 0x00, 0x00, 0x04, 0x04, 0x00, 0x00, 0x00},
      {0x01, 0x06, 0x01, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 'z'},
      {0x02, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 'a'},
      {0x02, 0x03, 0x00, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 'a', 'b'},
      {0x02, 0x0d, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'b'},
  });
  auto blob = encode_schema_lock(lock);
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(*blob, expected);
  EXPECT_EQ(decode_schema_lock(expected), lock);
}

TEST(SchemaBlob, EncodeRefusesFieldsThatDoNotFit) {
  const std::string long_key(65536, 'k');
  EXPECT_EQ(error_message(encode_schema_lock(SchemaLock{{{{SectionKind{2}, long_key}, {TypeTag{2}, false, 0, 0}}}, std::nullopt})),
            "Schema key '" + long_key + "' is too long");
  EXPECT_TRUE(encode_schema_lock(SchemaLock{{{{SectionKind{2}, std::string(65535, 'k')}, {TypeTag{2}, false, 0, 0}}}, std::nullopt}));
  const std::uint64_t too_big = std::uint64_t{1} << 32;
  EXPECT_EQ(error_message(encode_schema_lock(SchemaLock{{{{SectionKind{2}, "e"}, {TypeTag{3}, false, too_big, too_big}}}, std::nullopt})),
            "Schema elem_bytes overflow for 'e'");
  EXPECT_EQ(error_message(encode_schema_lock(SchemaLock{{{{SectionKind{2}, "s"}, {TypeTag{3}, false, 8, too_big}}}, std::nullopt})),
            "Schema slot_bytes overflow for 's'");
  EXPECT_TRUE(encode_schema_lock(SchemaLock{{{{SectionKind{2}, "s"}, {TypeTag{3}, false, 8, too_big - 1}}}, std::nullopt}));
}

TEST(SchemaBlob, DecodeErrors) {
  const Bytes head = {0x01, 0x00, 0x00, 0x00, 0xff, 0x01, 0x00, 0x00, 0x00};  // one entry announced
  const Bytes entry_head = {0x02, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
  struct Case {
    const char* what;
    Bytes blob;
    const char* message;
  };
  const Case cases[] = {
      {"empty", {}, "Schema blob too small"},
      {"eight bytes", {0x01, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00}, "Schema blob too small"},
      {"version 2", {0x02, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0x00}, "Unsupported schema blob version 2"},
      {"positions 5", {0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00}, "Unsupported schema positions type tag 5"},
      {"short entry", concat({head, Bytes(entry_head.begin(), entry_head.end() - 1)}), "Schema blob truncated"},
      {"per_atom 2", concat({head, {0x02, 0x00, 0x02, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}}),
       "Invalid schema per_atom flag"},
      {"missing key", concat({head, entry_head}), "Schema blob truncated at key"},
      {"invalid key", concat({head, entry_head, {0xfe}}), "Invalid UTF-8 in schema key"},
      {"huge count", {0x01, 0x00, 0x00, 0x00, 0x04, 0xff, 0xff, 0xff, 0xff}, "Schema blob truncated"},
      {"trailing", concat({head, entry_head, {'a', 0x00}}), "Schema blob trailing bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(error_message(decode_schema_lock(c.blob)), c.message);
  }
}

TEST(SchemaBlob, DecodeTakesKindAndTagAsStoredAndLaterDuplicatesWin) {
  const Bytes blob = concat({
      {0x01, 0x00, 0x00, 0x00, 0x07, 0x03, 0x00, 0x00, 0x00},
      {0x09, 0xc8, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 'x'},
      {0x02, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 'a'},
      {0x02, 0x01, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 'a'},
  });
  auto lock = decode_schema_lock(blob);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(lock->positions_type, 7);
  EXPECT_EQ(lock->entries.size(), 2u);
  EXPECT_EQ(entry_of(*lock, 9, "x"), (SchemaEntry{TypeTag{200}, true, 1, 2}));
  EXPECT_EQ(entry_of(*lock, 2, "a"), (SchemaEntry{TypeTag{1}, false, 8, 16}));
}

// ---- Entries a reader may size buffers from ----

TEST(SchemaEntryCheck, EveryEntryAWriterMakesFitsItsTag) {
  const Bytes tensor = concat({{2}, u32le(3), u32le(2), Bytes(6 * 8, 0)});
  const Bytes atom_tensor = concat({{1}, u32le(4), Bytes(4 * 4, 0)});
  struct Case {
    std::uint8_t kind;
    std::string key;
    std::uint8_t tag;
    Bytes payload;
    std::uint64_t atoms;
  };
  const Case cases[] = {
      {0, "energy", 0, Bytes(8, 0), 4},      {0, "forces", 4, Bytes(48, 0), 4},  {0, "charges", 3, Bytes(32, 0), 4},
      {0, "cell", 10, Bytes(72, 0), 4},      {0, "stress", 12, Bytes(36, 0), 4}, {0, "pbc", 9, {1, 0, 1}, 4},
      {0, "name", 2, text_bytes("water"), 4}, {2, "s", 11, Bytes(4, 0), 4},      {2, "i", 1, Bytes(8, 0), 4},
      {2, "arr", 3, Bytes(40, 0), 4},        {2, "xyz", 7, Bytes(48, 0), 4},     {2, "none", 13, {}, 4},
      {2, "t", 15, tensor, 4},               {1, "q", 6, Bytes(16, 0), 4},       {1, "v", 7, Bytes(96, 0), 4},
      {1, "at", 14, atom_tensor, 4},         {1, "empty", 8, {}, 0},             {0, "forces", 4, {}, 0},
  };
  for (const Case& c : cases) {
    auto entry = schema_entry(static_cast<SectionKind>(c.kind), c.key, static_cast<TypeTag>(c.tag), c.payload.size(), ByteView(c.payload), c.atoms);
    ASSERT_TRUE(entry.has_value()) << c.key;
    EXPECT_TRUE(check_entry_fits_tag(static_cast<SectionKind>(c.kind), c.key, *entry).has_value()) << c.key << " " << entry->debug();
  }
}

TEST(SchemaEntryCheck, DamagedSizesAndScopesAreRefused) {
  struct Case {
    std::uint8_t kind;
    std::string key;
    SchemaEntry entry;
  };
  const Case cases[] = {
      {0, "name", {TypeTag{2}, false, 0, 0xFF000000}},       // text has no slot
      {0, "velocities", {TypeTag{4}, true, 0xFF00000C, 12}}, // element size is the tag's
      {2, "f", {TypeTag{0}, false, 8, 0xFF000008}},          // a scalar is one element
      {2, "a", {TypeTag{3}, false, 8, 0xFF000021}},          // an array is whole elements
      {1, "q", {TypeTag{6}, true, 4, 8}},                    // one element per atom
      {1, "q", {TypeTag{6}, false, 4, 4}},                   // atom scope is per atom
      {0, "energy", {TypeTag{0}, true, 8, 8}},               // energy is not
      {2, "t", {TypeTag{15}, false, 8, 8}},                  // a tensor has no slot
      {2, "u", {TypeTag{18}, false, 0, 0}},                  // no such tag
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(check_entry_fits_tag(static_cast<SectionKind>(c.kind), c.key, c.entry).has_value()) << c.key << " " << c.entry.debug();
  }
  EXPECT_EQ(error_message(check_entry_fits_tag(SectionKind{2}, "f", {TypeTag{0}, false, 8, 16})),
            "Invalid schema entry for 'f': SchemaEntry { type_tag: 0, per_atom: false, elem_bytes: 8, "
            "slot_bytes: 16 }");
}

// ---- Exchange form ----

TEST(DatabaseSchemaForm, LockToSchemaListsEntriesInLockOrder) {
  const SchemaLock lock{{{{SectionKind{2}, "b"}, {TypeTag{3}, false, 8, 40}}, {{SectionKind{0}, "forces"}, {TypeTag{4}, true, 12, 12}}}, 4};
  const DatabaseSchema expected{{{"forces", 12, 12, true, SectionKind{0}, TypeTag{4}}, {"b", 8, 40, false, SectionKind{2}, TypeTag{3}}}, 4};
  EXPECT_EQ(to_database_schema(lock), expected);
  EXPECT_EQ(from_database_schema(expected), lock);
}

TEST(DatabaseSchemaForm, LaterSectionWithSameKindAndKeyWins) {
  const DatabaseSchema schema{{{"x", 8, 8, false, SectionKind{2}, TypeTag{0}}, {"x", 4, 4, true, SectionKind{1}, TypeTag{6}}, {"x", 8, 16, false, SectionKind{2}, TypeTag{3}}},
                              std::nullopt};
  const SchemaLock expected{{{{SectionKind{1}, "x"}, {TypeTag{6}, true, 4, 4}}, {{SectionKind{2}, "x"}, {TypeTag{3}, false, 8, 16}}}, std::nullopt};
  EXPECT_EQ(from_database_schema(schema), expected);
}

}  // namespace
}  // namespace molarium::storage::schema
