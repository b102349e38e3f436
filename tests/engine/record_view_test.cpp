// Lazy record views, the fast record parser and the section decoders, checked against records
// written out byte by byte and against records the engine's writer produces.
#include "engine/records/record_view.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "engine/records/fast_record.hpp"
#include "engine/records/section_decoders.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "tests/engine/handmade_file.hpp"

using molarium::storage::SectionKind;
using molarium::storage::TypeTag;

namespace molarium::records {
namespace {

using molarium::Bytes;
using molarium::ByteView;
using molarium::Error;
using molarium::atom::Atom;
using molarium::atom::Molecule;
using molarium::storage::DatabaseSchema;
using molarium::storage::DatabaseSchemaSection;
using molarium::storage::dtypes::tensor_shape_from_payload;
using namespace molarium::types;

// --- Records written out by hand ---------------------------------------------------------------

Bytes u16le(std::uint16_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }
Bytes u32le(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes f32le(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return u32le(bits);
}
Bytes f64le(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  Bytes out = u32le(std::uint32_t(bits));
  const Bytes high = u32le(std::uint32_t(bits >> 32));
  out.insert(out.end(), high.begin(), high.end());
  return out;
}
Bytes i64le(std::int64_t v) { return f64le(std::bit_cast<double>(v)); }
Bytes i32le(std::int32_t v) { return u32le(std::uint32_t(v)); }

Bytes cat_bytes(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes repeat(Bytes (*encode)(float), std::initializer_list<float> values) {
  Bytes out;
  for (float v : values) {
    const Bytes b = encode(v);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}
Bytes f64s(std::initializer_list<double> values) {
  Bytes out;
  for (double v : values) {
    const Bytes b = f64le(v);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}
Bytes f32s(std::initializer_list<float> values) { return repeat(f32le, values); }

// kind | key length | key | tag | u32 payload length | payload
Bytes section(std::uint8_t kind, Bytes key, std::uint8_t tag, Bytes payload) {
  return cat_bytes({{kind, std::uint8_t(key.size())}, key, {tag}, u32le(std::uint32_t(payload.size())), payload});
}
Bytes section(std::uint8_t kind, std::string_view key, std::uint8_t tag, Bytes payload) {
  return section(kind, text(key), tag, std::move(payload));
}

// A record with float32 positions (i, i, i) per atom and atomic numbers 1, 2, ...
Bytes record_f32(std::uint32_t atoms, std::initializer_list<Bytes> sections) {
  Bytes out = u32le(atoms);
  for (std::uint32_t i = 0; i < atoms; ++i) {
    const Bytes xyz = f32s({float(i), float(i), float(i)});
    out.insert(out.end(), xyz.begin(), xyz.end());
  }
  for (std::uint32_t i = 0; i < atoms; ++i) out.push_back(std::uint8_t(i + 1));
  const Bytes count = u16le(std::uint16_t(sections.size()));
  out.insert(out.end(), count.begin(), count.end());
  for (const Bytes& s : sections) out.insert(out.end(), s.begin(), s.end());
  return out;
}

const SoaContext kF32Context{12, 4};
const SoaContext kF64Context{24, 7};

SoaMoleculeView view_of(Bytes record, const SoaContext& context = kF32Context) {
  auto view = SoaMoleculeView::from_bytes(std::move(record), context);
  EXPECT_TRUE(view) << view.error().display();
  return std::move(*view);
}

// The engine message of a failed invalid-data result.
template <class T>
std::string engine_error(const molarium::Result<T>& result) {
  EXPECT_FALSE(result.has_value());
  if (result.has_value()) return "<succeeded>";
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  return result.error().message();
}
template <class T>
std::string value_error_of(const Result<T>& result) {
  EXPECT_FALSE(result.has_value());
  if (result.has_value()) return "<succeeded>";
  return result.error().display();
}

std::string storage_error(Bytes record, const SoaContext& context = kF32Context) {
  return engine_error(SoaMoleculeView::from_storage(SoaBytes(std::move(record)), context.positions_stride,
                                                    context.positions_type_tag));
}

const Bytes kInvalidUtf8Key = {'k', 0xff};

// --- RecordView: building ------------------------------------------------------------------

TEST(RecordView, FiveByteRecordIsTooSmall) {
  EXPECT_EQ(storage_error(Bytes(5, 0)), "SOA record too small");
  auto view = SoaMoleculeView::from_bytes(Bytes(5, 0), kF32Context);
  EXPECT_EQ(value_error_of(view), "Invalid data: SOA record too small");
}

TEST(RecordView, SixZeroBytesAreAnEmptyMolecule) {
  const SoaMoleculeView view = view_of(Bytes(6, 0));
  EXPECT_EQ(view.atom_count(), 0u);
  EXPECT_TRUE(view.custom_slots().empty());
  for (std::size_t f = 0; f < kBuiltinCount; ++f) EXPECT_FALSE(view.has_builtin(BuiltinField(f)));
  auto molecule = view.materialize();
  ASSERT_TRUE(molecule) << molecule.error().display();
  EXPECT_EQ(*molecule, Molecule::create({}, {}).value());
}

TEST(RecordView, TruncationsNameWhereTheRecordEnds) {
  // Two atoms claimed, positions for one.
  EXPECT_EQ(storage_error(cat_bytes({u32le(2), f32s({0, 0, 0}), {1, 2}})), "SOA record truncated at positions");
  // One atom, atomic number present, one byte of the two-byte section count.
  EXPECT_EQ(storage_error(cat_bytes({u32le(1), f32s({0, 0, 0}), {8}, {0}})),
            "SOA record truncated at atomic_numbers");
  const Bytes head = cat_bytes({u32le(0), u16le(1)});
  EXPECT_EQ(storage_error(cat_bytes({head, {2}})), "SOA section header truncated");
  EXPECT_EQ(storage_error(cat_bytes({head, {2, 3}, text("ab")})), "SOA section key truncated");
  EXPECT_EQ(storage_error(cat_bytes({head, {2, 1}, text("a"), {0, 8, 0, 0}})), "SOA section header truncated");
  EXPECT_EQ(storage_error(cat_bytes({head, {2, 1}, text("a"), {0}, u32le(8), f32s({1})})),
            "SOA section payload truncated");
}

TEST(RecordView, PositionsSizeOverflowIsRefusedBeforeAnyRead) {
  // A stride no database uses, with an unknown tag: the product overflows 64 bits.
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2 + 1;
  auto view = SoaMoleculeView::from_storage(SoaBytes(cat_bytes({u32le(2), u16le(0)})), huge, 5);
  EXPECT_EQ(engine_error(view), "SOA positions overflow");
}

TEST(RecordView, StrideThatDisagreesWithThePositionsTagIsRefused) {
  auto view = SoaMoleculeView::from_storage(SoaBytes(Bytes(6, 0)), 12, 7);
  EXPECT_EQ(engine_error(view), "SOA positions stride 12 does not match positions type tag 7");
}

TEST(RecordView, TrailingBytesAfterTheLastSectionAreIgnored) {
  Bytes record = record_f32(1, {section(0, "energy", 0, f64le(-1.5))});
  record.insert(record.end(), {0xde, 0xad, 0xbe, 0xef});
  const SoaMoleculeView view = view_of(record);
  EXPECT_EQ(view.energy().value(), -1.5);
}

TEST(RecordView, LocatesPositionsNumbersAndBuiltinsWithoutCopying) {
  const Bytes record = record_f32(2, {section(0, "forces", 4, f32s({1, 2, 3, 4, 5, 6})), section(2, "a", 1, i64le(7))});
  const SoaMoleculeView view = view_of(record);
  EXPECT_EQ(view.atom_count(), 2u);
  EXPECT_EQ(view.positions_offset(), 4u);
  EXPECT_EQ(view.positions_byte_length(), 24u);
  EXPECT_EQ(view.atomic_numbers_offset(), 28u);
  EXPECT_EQ(Bytes(view.atomic_numbers_bytes().begin(), view.atomic_numbers_bytes().end()), (Bytes{1, 2}));
  const SoaBuiltinSlot& forces = view.builtin_slot(BuiltinField::Forces);
  // 4 + 24 + 2 + 2, then kind, key length, "forces", tag, length.
  EXPECT_EQ(forces, (SoaBuiltinSlot{true, 32 + 2 + 6 + 5, 24, TypeTag{4}}));
  const ByteView payload = view.builtin_field_payload(BuiltinField::Forces).value();
  EXPECT_EQ(payload.data(), view.bytes().data() + 45);
  EXPECT_FALSE(view.builtin_field_payload(BuiltinField::Energy).has_value());
  ASSERT_EQ(view.custom_slots().size(), 1u);
  EXPECT_EQ(view.custom_slots()[0], (SoaSectionSlot{45 + 24 + 2, 45 + 24 + 2 + 1 + 5, 8, SectionKind{2}, 1, TypeTag{1}}));
}

TEST(RecordView, RepeatedEnergyKeepsTheSecondSection) {
  const SoaMoleculeView view =
      view_of(record_f32(0, {section(0, "energy", 0, f64le(1.0)), section(0, "energy", 0, f64le(2.0))}));
  EXPECT_EQ(view.energy().value(), 2.0);
  EXPECT_TRUE(view.custom_slots().empty());
}

TEST(RecordView, UnknownBuiltinKeyIsACustomSlotOfKindZero) {
  const SoaMoleculeView view = view_of(record_f32(1, {section(0, "spin", 0, f64le(0.5))}));
  ASSERT_EQ(view.custom_slots().size(), 1u);
  EXPECT_EQ(view.custom_slots()[0].kind, SectionKind::Builtin);
  EXPECT_EQ(view.lazy_section_key(view.custom_slots()[0]).value(), "spin");

  auto molecule = view.materialize();
  ASSERT_TRUE(molecule) << molecule.error().display();
  EXPECT_TRUE(molecule->properties.empty());
  EXPECT_TRUE(molecule->atom_properties.empty());

  auto schema = view.database_schema();
  ASSERT_TRUE(schema) << schema.error().display();
  EXPECT_EQ(schema->sections, (std::vector<DatabaseSchemaSection>{{"spin", 8, 8, false, SectionKind{0}, TypeTag{0}}}));
}

TEST(RecordView, InvalidUtf8KeyIsRefusedOnlyWhenUsed) {
  const Bytes record = record_f32(1, {section(1, kInvalidUtf8Key, 13, {})});
  const SoaMoleculeView view = view_of(record);
  ASSERT_EQ(view.custom_slots().size(), 1u);
  const std::string refusal = "Invalid UTF-8 in section key";
  EXPECT_EQ(value_error_of(view.lazy_section_key(view.custom_slots()[0])), refusal);
  EXPECT_EQ(value_error_of(view.materialize()), refusal);
  EXPECT_EQ(value_error_of(view.database_schema()), refusal);
  EXPECT_EQ(value_error_of(view.find_custom_section(SectionKind{1}, "k")), refusal);
  // Keys of another kind are not read.
  EXPECT_EQ(view.find_custom_section(SectionKind{2}, "k").value(), std::nullopt);
  const SoaMoleculeView same = view_of(record);
  EXPECT_EQ(value_error_of(view.same_schema_as(same)), refusal);
}

TEST(RecordView, MaterializeDecodesEveryKeyEvenOfSkippedKinds) {
  const SoaMoleculeView view = view_of(record_f32(0, {section(5, kInvalidUtf8Key, 13, {})}));
  EXPECT_EQ(value_error_of(view.materialize()), "Invalid UTF-8 in section key");
}

TEST(RecordView, FindCustomSectionReturnsTheFirstMatchOfTheKind) {
  const SoaMoleculeView view = view_of(record_f32(
      1, {section(1, "q", 0, f64le(1)), section(2, "q", 0, f64le(2)), section(2, "q", 0, f64le(3))}));
  auto found = view.find_custom_section(SectionKind{2}, "q");
  ASSERT_TRUE(found && *found);
  const ByteView payload = view.section_payload(**found);
  EXPECT_EQ(Bytes(payload.begin(), payload.end()), f64le(2));
  EXPECT_EQ(view.find_custom_section(SectionKind{2}, "qq").value(), std::nullopt);
}

// --- RecordView: getters -------------------------------------------------------------------

TEST(RecordView, Float32EnergyIsWidenedByTheGetterAndKeptByMaterialize) {
  const SoaMoleculeView view = view_of(record_f32(0, {section(0, "energy", 11, f32le(0.1f))}));
  EXPECT_EQ(view.energy().value(), static_cast<double>(0.1f));
  auto molecule = view.materialize();
  ASSERT_TRUE(molecule) << molecule.error().display();
  ASSERT_TRUE(molecule->energy.has_value());
  EXPECT_EQ(molecule->energy->index(), kF32);
  EXPECT_EQ(std::get<float>(*molecule->energy), 0.1f);
}

TEST(RecordView, EnergyRefusals) {
  EXPECT_EQ(value_error_of(view_of(record_f32(0, {section(0, "energy", 0, f32le(1))})).energy()),
            "Invalid f64 payload length");
  EXPECT_EQ(value_error_of(view_of(record_f32(0, {section(0, "energy", 11, f64le(1))})).energy()),
            "Invalid f32 payload length");
  const SoaMoleculeView wrong_tag = view_of(record_f32(0, {section(0, "energy", 3, f64le(1))}));
  EXPECT_EQ(value_error_of(wrong_tag.energy()), "Unsupported energy type tag 3");
  EXPECT_EQ(value_error_of(wrong_tag.materialize()), "Unsupported energy type tag 3");
  EXPECT_EQ(view_of(Bytes(6, 0)).energy().value(), std::nullopt);
}

TEST(RecordView, PbcTakesAnyNonzeroByteAsTrue) {
  const SoaMoleculeView view = view_of(record_f32(0, {section(0, "pbc", 0, {0, 7, 1})}));
  EXPECT_EQ(view.pbc().value(), (std::array<bool, 3>{false, true, true}));
  EXPECT_EQ(value_error_of(view_of(record_f32(0, {section(0, "pbc", 9, {1, 1})})).pbc()),
            "Invalid pbc payload length");
  EXPECT_EQ(view_of(Bytes(6, 0)).pbc().value(), std::nullopt);
}

TEST(RecordView, AtomAtRoundsFloat64PositionsToFloat32) {
  const Bytes record = cat_bytes({u32le(2), f64s({0.1, 0.2, 0.3, 1e300, -2.5, 3}), {6, 8}, u16le(0)});
  const SoaMoleculeView view = view_of(record, kF64Context);
  EXPECT_EQ(view.atom_at(0).value(), (Atom{0.1f, 0.2f, 0.3f, 6}));
  const Atom second = view.atom_at(1).value().value();
  EXPECT_TRUE(std::isinf(second.x));
  EXPECT_EQ(second.y, -2.5f);
  EXPECT_EQ(second.atomic_number, 8);
  EXPECT_EQ(view.atom_at(2).value(), std::nullopt);
}

TEST(RecordView, AtomAtReadsFloat32PositionsAndRefusesAnUnknownTag) {
  const SoaMoleculeView view = view_of(record_f32(3, {}));
  EXPECT_EQ(view.atom_at(2).value(), (Atom{2, 2, 2, 3}));
  auto odd = SoaMoleculeView::from_storage(SoaBytes(record_f32(1, {})), 12, 5);
  ASSERT_TRUE(odd);
  EXPECT_EQ(value_error_of(odd->atom_at(0)), "Unsupported positions type tag 5");
  EXPECT_EQ(value_error_of(odd->materialize()), "Unsupported positions type tag 5");
}

TEST(RecordView, MaterializeRefusalsOfBuiltins) {
  auto refusal = [](Bytes section_bytes) { return value_error_of(view_of(record_f32(1, {section_bytes})).materialize()); };
  EXPECT_EQ(refusal(section(0, "charges", 5, i64le(1))), "Unsupported charges type tag 5");
  EXPECT_EQ(refusal(section(0, "charges", 3, f32s({1}))), "Invalid f64 array payload length");
  EXPECT_EQ(refusal(section(0, "charges", 6, {1, 2, 3})), "Invalid f32 array payload length");
  EXPECT_EQ(refusal(section(0, "cell", 12, f32s({1, 2, 3, 4, 5, 6, 7, 8}))), "Invalid mat3x3<f32> payload length");
  EXPECT_EQ(refusal(section(0, "stress", 4, f32s({1, 2, 3}))), "Unsupported stress type tag 4");
  EXPECT_EQ(refusal(section(0, "forces", 10, f32s({1, 2, 3}))), "Unsupported forces type tag 10");
  EXPECT_EQ(refusal(section(0, "velocities", 7, f32s({1, 2, 3}))), "Invalid vec3<f64> payload length");
  EXPECT_EQ(refusal(section(0, "name", 2, {'a', 0xc3})), "Invalid UTF-8 in name");
  EXPECT_EQ(refusal(section(0, "pbc", 9, {1})), "Invalid pbc payload length");
  EXPECT_EQ(refusal(section(2, "p", 11, f32le(1))), "Unsupported property type tag 11");
}

TEST(RecordView, MaterializeDoesNotCheckBuiltinsAgainstTheAtomCount) {
  const SoaMoleculeView view = view_of(record_f32(2, {section(0, "forces", 4, f32s({1, 2, 3}))}));
  auto molecule = view.materialize();
  ASSERT_TRUE(molecule) << molecule.error().display();
  EXPECT_EQ(length(*molecule->forces), 1u);
}

TEST(RecordView, LaterCustomSectionWithTheSameKeyReplacesTheValue) {
  const SoaMoleculeView view =
      view_of(record_f32(1, {section(2, "p", 1, i64le(1)), section(2, "p", 1, i64le(2)), section(1, "p", 1, i64le(3))}));
  auto molecule = view.materialize();
  ASSERT_TRUE(molecule) << molecule.error().display();
  EXPECT_EQ(molecule->properties.at("p"), PropertyValue(std::in_place_index<2>, std::int64_t{2}));
  EXPECT_EQ(molecule->atom_properties.at("p"), PropertyValue(std::in_place_index<2>, std::int64_t{3}));
}

// --- RecordView: schema comparison and report ---------------------------------------------------

TEST(RecordView, SameSchemaFailsOnShiftedBuiltinsButNotOnCustomSections) {
  auto forces = [](std::uint32_t atoms) { return section(0, "forces", 4, Bytes(12 * atoms, 0)); };
  const SoaMoleculeView two = view_of(record_f32(2, {forces(2)}));
  const SoaMoleculeView three = view_of(record_f32(3, {forces(3)}));
  EXPECT_FALSE(two.same_schema_as(three).value());
  EXPECT_TRUE(two.same_schema_as(view_of(record_f32(2, {forces(2)}))).value());

  const SoaMoleculeView custom_two = view_of(record_f32(2, {section(2, "tag", 1, i64le(1))}));
  const SoaMoleculeView custom_three = view_of(record_f32(3, {section(2, "tag", 1, i64le(9))}));
  EXPECT_TRUE(custom_two.same_schema_as(custom_three).value());
}

TEST(RecordView, SameSchemaComparesTagKindLengthAndKey) {
  const SoaMoleculeView base = view_of(record_f32(1, {section(2, "a", 3, f64s({1}))}));
  EXPECT_FALSE(base.same_schema_as(view_of(record_f32(1, {section(1, "a", 3, f64s({1}))}))).value());
  EXPECT_FALSE(base.same_schema_as(view_of(record_f32(1, {section(2, "a", 5, f64s({1}))}))).value());
  EXPECT_FALSE(base.same_schema_as(view_of(record_f32(1, {section(2, "a", 3, f64s({1, 2}))}))).value());
  EXPECT_FALSE(base.same_schema_as(view_of(record_f32(1, {section(2, "b", 3, f64s({1}))}))).value());
  EXPECT_FALSE(base.same_schema_as(view_of(record_f32(1, {}))).value());
  const Bytes f64_record = cat_bytes({u32le(1), Bytes(24, 0), {1}, u16le(1), section(2, "a", 3, f64s({1}))});
  EXPECT_FALSE(base.same_schema_as(view_of(f64_record, kF64Context)).value());
}

TEST(RecordView, DatabaseSchemaListsBuiltinsInItsOrderThenCustomSections) {
  const SoaMoleculeView view = view_of(record_f32(
      2, {section(0, "name", 2, text("w")), section(0, "forces", 4, Bytes(24, 0)), section(2, "m", 3, f64s({1, 2, 3})),
          section(0, "energy", 0, f64le(1)), section(1, "t", 15, cat_bytes({{1}, u32le(2), f64s({1, 2})}))}));
  auto schema = view.database_schema();
  ASSERT_TRUE(schema) << schema.error().display();
  EXPECT_EQ(schema->positions_type, 4);
  const std::vector<DatabaseSchemaSection> expected = {
      {"energy", 8, 8, false, SectionKind{0}, TypeTag{0}}, {"forces", 12, 12, true, SectionKind{0}, TypeTag{4}}, {"name", 0, 0, false, SectionKind{0}, TypeTag{2}},
      {"m", 8, 24, false, SectionKind{2}, TypeTag{3}},     {"t", 8, 0, true, SectionKind{1}, TypeTag{15}},
  };
  EXPECT_EQ(schema->sections, expected);
}

TEST(RecordView, DatabaseSchemaPassesOnTheSectionRuleError) {
  const SoaMoleculeView view = view_of(record_f32(2, {section(0, "charges", 3, f64s({1}))}));
  EXPECT_EQ(value_error_of(view.database_schema()), "Section 'charges' has invalid payload length 8 (expected 16)");
}

// --- RecordView: bytes held in place -------------------------------------------------------

TEST(RecordView, ViewOverAMappedRangeReadsInPlaceAndKeepsTheMappingAlive) {
  molarium::testing::TempDir dir;
  const std::string path = dir.path("records.bin");
  const Bytes record = record_f32(1, {section(0, "energy", 0, f64le(4.25))});
  Bytes file = {0xaa, 0xbb, 0xcc};
  file.insert(file.end(), record.begin(), record.end());
  molarium::testing::write_file(path, file);

  auto mapping = molarium::storage::FileMapping::map_file(path);
  ASSERT_TRUE(mapping) << mapping.error().display();
  const molarium::storage::SharedMmapBytes range{*mapping, 3, file.size()};
  auto view = SoaMoleculeView::from_storage(SoaBytes(range), 12, 4);
  mapping->reset();
  ASSERT_TRUE(view) << view.error().display();
  EXPECT_TRUE(view->is_shared());
  EXPECT_EQ(view->energy().value(), 4.25);
  EXPECT_EQ(view->atom_at(0).value(), (Atom{0, 0, 0, 1}));
}

TEST(RecordView, TypeTagElemBytesGivesPositionWidths) {
  EXPECT_EQ(type_tag_elem_bytes(TypeTag{4}), 12u);
  EXPECT_EQ(type_tag_elem_bytes(TypeTag{7}), 24u);
  EXPECT_EQ(type_tag_elem_bytes(TypeTag{0}), 8u);
  EXPECT_EQ(type_tag_elem_bytes(TypeTag{2}), 0u);
  EXPECT_EQ(type_tag_elem_bytes(TypeTag{8}), std::nullopt);
}

// --- RecordView: the engine's records ------------------------------------------------------

TensorData tensor_f32() { return Tensor<float>{{2, 2}, {1, 2, 3, 4}}; }
TensorData tensor_f64() { return Tensor<double>{{}, {6.5}}; }
TensorData tensor_i32() { return Tensor<std::int32_t>{{2, 1, 3}, {1, -2, 3, -4, 5, -6}}; }
TensorData tensor_i64() { return Tensor<std::int64_t>{{2, 0}, {}}; }

// Every property kind in molecule scope, and per-atom kinds sized for two atoms in atom scope.
void add_every_property(Molecule& m) {
  m.properties = {
      {"null", PropertyValue(std::in_place_index<0>)},
      {"f64", PropertyValue(std::in_place_index<1>, -0.25)},
      {"i64", PropertyValue(std::in_place_index<2>, std::int64_t{-9})},
      {"text", PropertyValue(std::in_place_index<3>, "héllo")},
      {"f64s", PropertyValue(std::in_place_index<4>, std::vector<double>{1.5, 2.5, 3.5})},
      {"v32", PropertyValue(std::in_place_index<5>, std::vector<Vec3F32>{{1, 2, 3}})},
      {"i64s", PropertyValue(std::in_place_index<6>, std::vector<std::int64_t>{std::numeric_limits<std::int64_t>::min()})},
      {"f32s", PropertyValue(std::in_place_index<7>, std::vector<float>{})},
      {"v64", PropertyValue(std::in_place_index<8>, std::vector<Vec3F64>{{0.1, 0.2, 0.3}, {4, 5, 6}})},
      {"i32s", PropertyValue(std::in_place_index<9>, std::vector<std::int32_t>{-1, 2})},
      {"tf32", PropertyValue(std::in_place_index<10>, tensor_f32())},
      {"tf64", PropertyValue(std::in_place_index<10>, tensor_f64())},
      {"ti32", PropertyValue(std::in_place_index<10>, tensor_i32())},
      {"ti64", PropertyValue(std::in_place_index<10>, tensor_i64())},
  };
  m.atom_properties = {
      {"a_f64s", PropertyValue(std::in_place_index<4>, std::vector<double>{7, 8})},
      {"a_v32", PropertyValue(std::in_place_index<5>, std::vector<Vec3F32>{{1, 1, 1}, {2, 2, 2}})},
      {"a_i32s", PropertyValue(std::in_place_index<9>, std::vector<std::int32_t>{3, 4})},
      {"a_tensor", PropertyValue(std::in_place_index<10>, tensor_i32())},
      {"a_null", PropertyValue(std::in_place_index<0>)},
  };
}

Molecule every_field_f32() {
  Molecule m = Molecule::create({{0.5f, 1.5f, 2.5f}, {-1, -2, -3}}, {1, 8}).value();
  m.name = "water-ish";
  m.forces = Vec3Data(std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}});
  m.energy = FloatScalarData(std::in_place_type<float>, -3.5f);
  m.charges = FloatArrayData(std::vector<float>{0.25f, -0.25f});
  m.velocities = Vec3Data(std::vector<Vec3F32>{{0, 0, 1}, {0, 1, 0}});
  m.cell = Mat3Data(Mat3F32{1, 0, 0, 0, 2, 0, 0, 0, 3});
  m.pbc = std::array<bool, 3>{true, false, true};
  m.stress = Mat3Data(Mat3F32{1, 2, 3, 4, 5, 6, 7, 8, 9});
  add_every_property(m);
  return m;
}

Molecule every_field_f64() {
  Molecule m = Molecule::create_f64({{0.1, 0.2, 0.3}, {1e-300, 2, 3}}, {6, 1}).value();
  m.name = "";
  m.forces = Vec3Data(std::vector<Vec3F64>{{1.25, 2, 3}, {4, 5, 6}});
  m.energy = FloatScalarData(std::in_place_type<double>, -76.0123456789);
  m.charges = FloatArrayData(std::vector<double>{0.1, -0.1});
  m.velocities = Vec3Data(std::vector<Vec3F64>{{0, 0, 0.1}, {0, 0.1, 0}});
  m.cell = Mat3Data(Mat3F64{10, 0, 0, 0, 10, 0, 0, 0, 10});
  m.pbc = std::array<bool, 3>{false, false, false};
  m.stress = Mat3Data(Mat3F64{0.5, 0, 0, 0, 0.5, 0, 0, 0, 0.5});
  add_every_property(m);
  return m;
}

void expect_round_trip(const Molecule& molecule, const SoaContext& context) {
  auto record = molarium::storage::soa::serialize_molecule_soa(molecule, 3);
  ASSERT_TRUE(record) << record.error().display();
  const SoaMoleculeView view = view_of(*record, context);
  auto materialized = view.materialize();
  ASSERT_TRUE(materialized) << materialized.error().display();
  EXPECT_EQ(*materialized, molecule);

  // The view reports the schema the engine derives from the molecule itself.
  auto reported = view.database_schema();
  ASSERT_TRUE(reported) << reported.error().display();
  auto derived = molarium::storage::schema::schema_from_molecule(molecule);
  ASSERT_TRUE(derived) << derived.error().display();
  auto by_id = [](const DatabaseSchemaSection& a, const DatabaseSchemaSection& b) {
    return std::tie(a.kind, a.key) < std::tie(b.kind, b.key);
  };
  std::vector<DatabaseSchemaSection> expected = molarium::storage::schema::to_database_schema(*derived).sections;
  std::sort(reported->sections.begin(), reported->sections.end(), by_id);
  std::sort(expected.begin(), expected.end(), by_id);
  EXPECT_EQ(reported->sections, expected);
  EXPECT_EQ(reported->positions_type, derived->positions_type);
}

TEST(RecordView, MaterializeRoundTripsEveryFieldInFloat32) { expect_round_trip(every_field_f32(), kF32Context); }
TEST(RecordView, MaterializeRoundTripsEveryFieldInFloat64) { expect_round_trip(every_field_f64(), kF64Context); }

TEST(RecordView, MaterializeRoundTripsABareMolecule) {
  expect_round_trip(Molecule::create({{1, 2, 3}}, {8}).value(), kF32Context);
}

TEST(RecordView, ViewOfTheEngineRecordAnswersGetters) {
  const Molecule molecule = every_field_f64();
  const SoaMoleculeView view = view_of(molarium::storage::soa::serialize_molecule_soa(molecule, 3).value(), kF64Context);
  EXPECT_EQ(view.energy().value(), -76.0123456789);
  EXPECT_EQ(view.pbc().value(), (std::array<bool, 3>{false, false, false}));
  EXPECT_EQ(view.atom_at(1).value(), (Atom{static_cast<float>(1e-300), 2, 3, 1}));
  auto found = view.find_custom_section(SectionKind{1}, "a_i32s");
  ASSERT_TRUE(found && *found);
  EXPECT_EQ(decode_property_value((*found)->type_tag, view.section_payload(**found)).value(),
            PropertyValue(std::in_place_index<9>, std::vector<std::int32_t>{3, 4}));
}

// --- Context from a database ---------------------------------------------------------------

TEST(RecordViewContext, FollowsTheRecordFormatAndTheLocksPositionsType) {
  molarium::testing::TempDir dir;
  auto db = molarium::storage::AtomDatabase::create_with_format(dir.path("db.molr"),
                                                                molarium::compression::CompressionType::none());
  ASSERT_TRUE(db) << db.error().display();
  auto format2 = SoaContext::from_database(*db);
  ASSERT_TRUE(format2) << format2.error().display();
  EXPECT_EQ(format2->positions_stride, 12u);
  EXPECT_EQ(format2->positions_type_tag, 4);

  ASSERT_TRUE(db->add_molecule(Molecule::create_f64({{1, 2, 3}}, {1}).value()));
  ASSERT_EQ(db->record_format(), 3u);
  auto format3 = SoaContext::from_database(*db);
  ASSERT_TRUE(format3) << format3.error().display();
  EXPECT_EQ(format3->positions_stride, 24u);
  EXPECT_EQ(format3->positions_type_tag, 7);
}

TEST(RecordViewContext, Format3WithoutPositionsTypeIsRefused) {
  // A committed, empty file whose header says record format 3 and that has no schema blob.
  using namespace molarium::testing;
  TempDir dir;
  const std::string path = dir.path("db.molr");
  SlotFields a;
  a.generation = 1;
  a.record_format = 3;
  a.index_offset = 8192;
  a.index_length = 8;
  FileBytes file = handmade_slot(a);
  const FileBytes b = handmade_slot(SlotFields{});
  file.insert(file.end(), b.begin(), b.end());
  const FileBytes index = handmade_index(0, {});
  file.insert(file.end(), index.begin(), index.end());
  write_file(path, file);

  auto db = molarium::storage::AtomDatabase::open_with_options(path, false, false);
  ASSERT_TRUE(db) << db.error().display();
  ASSERT_EQ(db->record_format(), 3u);
  EXPECT_EQ(engine_error(SoaContext::from_database(*db)), "Missing positions dtype for record format 3");
}

// --- FastParser ----------------------------------------------------------------------------

std::string fast_error(const Bytes& record, std::size_t stride = 12) {
  return engine_error(parse_mol_fast_soa(record, stride));
}

TEST(FastParser, ThreeByteRecordIsTruncatedAtTheAtomCount) { EXPECT_EQ(fast_error(Bytes(3, 0)), "SOA n_atoms truncated"); }

TEST(FastParser, SixZeroBytesAreAnEmptyRecord) {
  const Bytes record(6, 0);
  auto parsed = parse_mol_fast_soa(record, 12);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->atom_count, 0u);
  EXPECT_TRUE(parsed->positions.empty());
  EXPECT_TRUE(parsed->atomic_numbers.empty());
  EXPECT_TRUE(parsed->sections.empty());
}

TEST(FastParser, EveryTruncationNamesItsField) {
  EXPECT_EQ(fast_error(cat_bytes({u32le(1), f32s({1, 2})})), "SOA positions truncated");
  EXPECT_EQ(fast_error(cat_bytes({u32le(2), f32s({1, 2, 3, 4, 5, 6}), {1}})), "SOA atomic_numbers truncated");
  EXPECT_EQ(fast_error(cat_bytes({u32le(1), f32s({1, 2, 3}), {1}})), "SOA n_sections truncated");
  EXPECT_EQ(fast_error(cat_bytes({u32le(1), f32s({1, 2, 3}), {1}, {0}})), "SOA n_sections truncated");
  const Bytes head = cat_bytes({u32le(0), u16le(1)});
  EXPECT_EQ(fast_error(head), "SOA section kind truncated");
  EXPECT_EQ(fast_error(cat_bytes({head, {2}})), "SOA section key length truncated");
  EXPECT_EQ(fast_error(cat_bytes({head, {2, 3}, text("ab")})), "SOA section key truncated");
  EXPECT_EQ(fast_error(cat_bytes({head, {2, 2}, text("ab")})), "SOA section type tag truncated");
  EXPECT_EQ(fast_error(cat_bytes({head, {2, 2}, text("ab"), {1, 8, 0, 0}})), "SOA section payload length truncated");
  EXPECT_EQ(fast_error(cat_bytes({head, {2, 2}, text("ab"), {1}, u32le(8), Bytes(7, 0)})),
            "SOA section payload truncated");
}

TEST(FastParser, SectionCountClaimingMoreThanTheBytesHoldFailsCleanly) {
  // 65535 sections claimed, room for one section header at most.
  EXPECT_EQ(fast_error(cat_bytes({u32le(0), u16le(65535), {2, 0, 13}, u32le(0)})), "SOA section kind truncated");
  EXPECT_EQ(fast_error(cat_bytes({u32le(0), u16le(65535), {0, 0}})), "SOA section type tag truncated");
}

TEST(FastParser, PositionsSizeOverflowsAreRefused) {
  const Bytes record = cat_bytes({u32le(2), u16le(0)});
  EXPECT_EQ(fast_error(record, std::numeric_limits<std::size_t>::max() / 2 + 1), "SOA positions byte length overflow");
  EXPECT_EQ(fast_error(cat_bytes({u32le(1), u16le(0)}), std::numeric_limits<std::size_t>::max() - 1),
            "SOA positions offset overflow");
}

TEST(FastParser, InvalidUtf8KeyFailsTheParserButNotTheView) {
  const Bytes record = record_f32(1, {section(2, kInvalidUtf8Key, 13, {})});
  EXPECT_EQ(fast_error(record), "Invalid UTF-8 in SOA section key");
  EXPECT_TRUE(SoaMoleculeView::from_bytes(record, kF32Context));
}

TEST(RecordReaders, EveryCutOfARecordIsRefusedByTheViewTheFastParserAndTheSchemaParser) {
  // A built-in, an atom-scope and a molecule-scope section: the cuts end inside every field.
  const Bytes record = record_f32(2, {section(0, "energy", 0, f64le(-1)), section(1, "q", 3, f64s({1, 2})),
                                      section(2, "label", 2, text("ab"))});
  ASSERT_TRUE(SoaMoleculeView::from_bytes(record, kF32Context));
  ASSERT_TRUE(parse_mol_fast_soa(record, 12));
  ASSERT_TRUE(molarium::storage::schema::record_schema(record, 3, 4));
  for (std::size_t cut = 0; cut < record.size(); ++cut) {
    const Bytes head(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(SoaMoleculeView::from_bytes(head, kF32Context)) << "cut at " << cut;
    EXPECT_FALSE(parse_mol_fast_soa(head, 12)) << "cut at " << cut;
    EXPECT_FALSE(molarium::storage::schema::record_schema(head, 3, 4)) << "cut at " << cut;
  }
}

TEST(FastParser, KeepsEverySectionInRecordOrderUninterpreted) {
  Bytes record = cat_bytes({u32le(2), f64s({1, 2, 3, 4, 5, 6}), {9, 17}, u16le(3), section(0, "forces", 7, Bytes(48, 1)),
                            section(7, "odd", 200, {1, 2}), section(2, "", 13, {})});
  record.push_back(0x99);  // trailing byte
  auto parsed = parse_mol_fast_soa(record, 24);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->atom_count, 2u);
  EXPECT_EQ(parsed->positions.data(), record.data() + 4);
  EXPECT_EQ(parsed->positions.size(), 48u);
  EXPECT_EQ(Bytes(parsed->atomic_numbers.begin(), parsed->atomic_numbers.end()), (Bytes{9, 17}));
  ASSERT_EQ(parsed->sections.size(), 3u);
  EXPECT_EQ(parsed->sections[0].key, "forces");
  EXPECT_EQ(parsed->sections[0].payload.size(), 48u);
  EXPECT_EQ(parsed->sections[1].kind, SectionKind{7});
  EXPECT_EQ(parsed->sections[1].type_tag, TypeTag{200});
  EXPECT_EQ(Bytes(parsed->sections[1].payload.begin(), parsed->sections[1].payload.end()), (Bytes{1, 2}));
  EXPECT_EQ(parsed->sections[2].key, "");
  EXPECT_TRUE(parsed->sections[2].payload.empty());
}

TEST(FastParser, ParsesTheEngineRecord) {
  const Molecule molecule = every_field_f32();
  const Bytes record = molarium::storage::soa::serialize_molecule_soa(molecule, 3).value();
  auto parsed = parse_mol_fast_soa(record, 12);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->sections.size(), 8 + molecule.atom_properties.size() + molecule.properties.size());
  EXPECT_EQ(parsed->sections.front().key, "charges");
  for (const SoaSectionRef& s : parsed->sections) {
    auto schema = section_schema_from_ref(s, parsed->atom_count);
    EXPECT_TRUE(schema) << s.key << ": " << schema.error().display();
  }
}

// --- SectionDecoders: flat section schema ------------------------------------------------------

SoaSectionRef ref(std::uint8_t kind, std::string_view key, std::uint8_t tag, const Bytes& payload) {
  return SoaSectionRef{key, ByteView(payload), static_cast<SectionKind>(kind), static_cast<TypeTag>(tag)};
}

TEST(SectionDecoders, FlatSchemaOfArrays) {
  const Bytes five = f64s({1, 2, 3, 4, 5});
  EXPECT_EQ(section_schema_from_ref(ref(2, "m", 3, five), 3).value(), (DatabaseSchemaSection{"m", 40, 40, false, SectionKind{2}, TypeTag{3}}));
  const Bytes three = f64s({1, 2, 3});
  EXPECT_EQ(section_schema_from_ref(ref(1, "q", 3, three), 3).value(), (DatabaseSchemaSection{"q", 8, 8, true, SectionKind{1}, TypeTag{3}}));
  const Bytes two = f64s({1, 2});
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(1, "q", 3, two), 3)),
            "Section 'q' has invalid payload length 16 (expected 24)");
  const Bytes forces(36, 0);
  EXPECT_EQ(section_schema_from_ref(ref(0, "forces", 4, forces), 3).value(),
            (DatabaseSchemaSection{"forces", 12, 12, true, SectionKind{0}, TypeTag{4}}));
  // Another kind is never per-atom.
  EXPECT_EQ(section_schema_from_ref(ref(3, "forces", 4, forces), 3).value(),
            (DatabaseSchemaSection{"forces", 36, 36, false, SectionKind{3}, TypeTag{4}}));
}

TEST(SectionDecoders, FlatSchemaOfTensors) {
  const Bytes rank0 = cat_bytes({{0}, f64le(1)});
  EXPECT_EQ(section_schema_from_ref(ref(2, "t", 15, rank0), 4).value(), (DatabaseSchemaSection{"t", 8, 0, false, SectionKind{2}, TypeTag{15}}));
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(1, "t", 15, rank0), 4)),
            "Atom tensor property 't' must have at least one dimension");
  const Bytes rows2 = cat_bytes({{1}, u32le(2), i32le(1), i32le(2)});
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(1, "t", 16, rows2), 3)),
            "Atom tensor property 't' first dimension (2) doesn't match atom count (3)");
  EXPECT_EQ(section_schema_from_ref(ref(1, "t", 16, rows2), 2).value(), (DatabaseSchemaSection{"t", 4, 0, true, SectionKind{1}, TypeTag{16}}));
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(2, "t", 14, Bytes{}), 1)), "Tensor payload missing rank");
}

TEST(SectionDecoders, FlatSchemaOfTextsAndNulls) {
  EXPECT_EQ(section_schema_from_ref(ref(0, "name", 2, text("x")), 1).value(), (DatabaseSchemaSection{"name", 0, 0, false, SectionKind{0}, TypeTag{2}}));
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(2, "s", 2, Bytes{0xc0, 0x80}), 1)), "Invalid UTF-8 in section 's'");
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(1, "s", 2, text("")), 1)),
            "String section 's' cannot be per-atom in flat extraction");
  EXPECT_EQ(section_schema_from_ref(ref(1, "n", 13, Bytes{}), 5).value(), (DatabaseSchemaSection{"n", 0, 0, true, SectionKind{1}, TypeTag{13}}));
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(2, "n", 13, Bytes{0}), 1)),
            "Section 'n' has invalid payload length 1 (expected 0)");
}

TEST(SectionDecoders, FlatSchemaOfSingleValues) {
  EXPECT_EQ(section_schema_from_ref(ref(0, "energy", 0, f64le(1)), 3).value(), (DatabaseSchemaSection{"energy", 8, 8, false, SectionKind{0}, TypeTag{0}}));
  EXPECT_EQ(section_schema_from_ref(ref(0, "cell", 12, Bytes(36, 0)), 3).value(), (DatabaseSchemaSection{"cell", 36, 36, false, SectionKind{0}, TypeTag{12}}));
  EXPECT_EQ(section_schema_from_ref(ref(0, "pbc", 9, Bytes(3, 0)), 3).value(), (DatabaseSchemaSection{"pbc", 3, 3, false, SectionKind{0}, TypeTag{9}}));
  // A molecule-level value of the wrong width would be laid out as garbage.
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(0, "energy", 0, Bytes(3, 0)), 1)),
            "Section 'energy' has invalid payload length 3 (expected 8)");
  // A per-atom scalar holds one value per atom.
  EXPECT_EQ(section_schema_from_ref(ref(1, "s", 0, f64s({1, 2, 3})), 3).value(), (DatabaseSchemaSection{"s", 8, 8, true, SectionKind{1}, TypeTag{0}}));
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(1, "s", 0, f64le(1)), 3)),
            "Section 's' has invalid payload length 8 (expected 24)");
}

TEST(SectionDecoders, FlatSchemaRefusalsOfOddTagsAndWidths) {
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(1, "x", 18, Bytes(4, 0)), 1)),
            "Unsupported per-atom section type tag 18 for key 'x'");
  // A molecule-level unknown tag is one opaque element.
  EXPECT_EQ(section_schema_from_ref(ref(2, "x", 18, Bytes(5, 0)), 1).value(), (DatabaseSchemaSection{"x", 5, 5, false, SectionKind{2}, TypeTag{18}}));
  EXPECT_EQ(engine_error(section_schema_from_ref(ref(2, "v", 4, Bytes(13, 0)), 1)),
            "Section 'v' has invalid payload length 13 for element size 12");
}

// The view's schema report, the record's schema lock and the flat layout size every section by one
// rule; they differ only where the flat layout lays a molecule-level array out as one element.
TEST(SectionRule, ViewReportLockAndFlatLayoutAgreeOnEverySection) {
  for (const Molecule& molecule : {every_field_f32(), every_field_f64()}) {
    const Bytes record = molarium::storage::soa::serialize_molecule_soa(molecule, 3).value();
    const SoaContext context = molecule.positions_f64() ? kF64Context : kF32Context;
    auto reported = view_of(record, context).database_schema().value().sections;
    const auto lock = molarium::storage::schema::record_schema(record, 3, context.positions_type_tag).value();
    auto locked = molarium::storage::schema::to_database_schema(lock).sections;
    const auto by_id = [](const DatabaseSchemaSection& a, const DatabaseSchemaSection& b) {
      return std::tie(a.kind, a.key) < std::tie(b.kind, b.key);
    };
    std::sort(reported.begin(), reported.end(), by_id);
    EXPECT_EQ(reported, locked);

    auto parsed = parse_mol_fast_soa(record, context.positions_stride).value();
    for (const SoaSectionRef& section : parsed.sections) {
      auto flat = section_schema_from_ref(section, parsed.atom_count);
      if (!flat) continue;  // texts in the atom scope have no flat layout
      const auto in_lock = lock.entries.at({section.kind, std::string(section.key)});
      EXPECT_EQ(flat->per_atom, in_lock.per_atom) << section.key;
      EXPECT_EQ(flat->slot_bytes, in_lock.slot_bytes) << section.key;
      const bool whole_payload = !flat->per_atom && section.type_tag >= TypeTag::F64Array && section.type_tag <= TypeTag::I32Array;
      EXPECT_EQ(flat->elem_bytes, whole_payload ? section.payload.size() : in_lock.elem_bytes) << section.key;
    }
  }
}

TEST(SectionDecoders, DatabaseSchemaSectionRule) {
  EXPECT_EQ(database_schema_section(SectionKind{2}, "m", TypeTag{3}, 40, 3).value(), (DatabaseSchemaSection{"m", 8, 40, false, SectionKind{2}, TypeTag{3}}));
  EXPECT_EQ(database_schema_section(SectionKind{0}, "forces", TypeTag{7}, 72, 3).value(), (DatabaseSchemaSection{"forces", 24, 24, true, SectionKind{0}, TypeTag{7}}));
  EXPECT_EQ(value_error_of(database_schema_section(SectionKind{0}, "forces", TypeTag{7}, 48, 3)),
            "Section 'forces' has invalid payload length 48 (expected 72)");
  EXPECT_EQ(value_error_of(database_schema_section(SectionKind{1}, "big", TypeTag{7}, 0, std::numeric_limits<std::size_t>::max() / 2)),
            "Section 'big' payload length overflow");
  EXPECT_EQ(value_error_of(database_schema_section(SectionKind{2}, "x", TypeTag{18}, 1, 1)), "Unsupported section type tag 18 for 'x'");
  EXPECT_EQ(database_schema_section(SectionKind{1}, "s", TypeTag{2}, 99, 3).value(), (DatabaseSchemaSection{"s", 0, 0, true, SectionKind{1}, TypeTag{2}}));
  EXPECT_EQ(database_schema_section(SectionKind{1}, "t", TypeTag{17}, 99, 3).value(), (DatabaseSchemaSection{"t", 8, 0, true, SectionKind{1}, TypeTag{17}}));
}

// --- SectionDecoders: values -----------------------------------------------------------------

TEST(SectionDecoders, DecodesEveryPropertyTag) {
  auto decode = [](std::uint8_t tag, const Bytes& payload) {
    auto value = decode_property_value(static_cast<TypeTag>(tag), payload);
    EXPECT_TRUE(value) << unsigned{tag} << ": " << value.error().display();
    return value.value_or(PropertyValue());
  };
  EXPECT_EQ(decode(0, f64le(-2.5)), PropertyValue(std::in_place_index<1>, -2.5));
  EXPECT_EQ(decode(1, i64le(-3)), PropertyValue(std::in_place_index<2>, std::int64_t{-3}));
  EXPECT_EQ(decode(2, text("é")), PropertyValue(std::in_place_index<3>, "é"));
  EXPECT_EQ(decode(3, f64s({1, 2})), PropertyValue(std::in_place_index<4>, std::vector<double>{1, 2}));
  EXPECT_EQ(decode(4, f32s({1, 2, 3})), PropertyValue(std::in_place_index<5>, std::vector<Vec3F32>{{1, 2, 3}}));
  EXPECT_EQ(decode(5, cat_bytes({i64le(5), i64le(-6)})),
            PropertyValue(std::in_place_index<6>, std::vector<std::int64_t>{5, -6}));
  EXPECT_EQ(decode(6, f32s({0.5f})), PropertyValue(std::in_place_index<7>, std::vector<float>{0.5f}));
  EXPECT_EQ(decode(7, f64s({1, 2, 3, 4, 5, 6})),
            PropertyValue(std::in_place_index<8>, std::vector<Vec3F64>{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(decode(8, cat_bytes({i32le(-7), i32le(8)})),
            PropertyValue(std::in_place_index<9>, std::vector<std::int32_t>{-7, 8}));
  EXPECT_EQ(decode(13, {}), PropertyValue(std::in_place_index<0>));
  EXPECT_EQ(decode(14, cat_bytes({{2}, u32le(1), u32le(2), f32s({1, 2})})),
            PropertyValue(std::in_place_index<10>, TensorData(Tensor<float>{{1, 2}, {1, 2}})));
  EXPECT_EQ(decode(15, cat_bytes({{0}, f64le(9)})),
            PropertyValue(std::in_place_index<10>, TensorData(Tensor<double>{{}, {9}})));
  EXPECT_EQ(decode(16, cat_bytes({{1}, u32le(1), i32le(-1)})),
            PropertyValue(std::in_place_index<10>, TensorData(Tensor<std::int32_t>{{1}, {-1}})));
  EXPECT_EQ(decode(17, cat_bytes({{1}, u32le(0)})),
            PropertyValue(std::in_place_index<10>, TensorData(Tensor<std::int64_t>{{0}, {}})));
}

TEST(SectionDecoders, PropertyRefusals) {
  const std::vector<std::pair<std::uint8_t, Bytes>> cases = {
      {0, Bytes(7, 0)}, {1, Bytes(9, 0)}, {2, Bytes{0xed, 0xa0, 0x80}}, {3, Bytes(12, 0)}, {4, Bytes(8, 0)},
      {5, Bytes(4, 0)}, {6, Bytes(6, 0)}, {7, Bytes(12, 0)},            {8, Bytes(2, 0)},  {13, Bytes(1, 0)},
  };
  const std::vector<std::string> messages = {
      "Invalid f64 payload length",       "Invalid i64 payload length",       "Invalid UTF-8 in string property",
      "Invalid f64 array payload length", "Invalid vec3<f32> payload length", "Invalid i64 array payload length",
      "Invalid f32 array payload length", "Invalid vec3<f64> payload length", "Invalid i32 array payload length",
      "Null property payload must be empty",
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(value_error_of(decode_property_value(static_cast<TypeTag>(cases[i].first), cases[i].second)), messages[i]);
  }
  for (std::uint8_t tag : {9, 10, 11, 12, 18, 255}) {
    EXPECT_EQ(value_error_of(decode_property_value(static_cast<TypeTag>(tag), f64le(1))), "Unsupported property type tag " + std::to_string(tag));
  }
  EXPECT_EQ(value_error_of(decode_property_value(TypeTag{15}, {})), "Invalid data: Tensor payload missing rank");
  EXPECT_EQ(value_error_of(decode_property_value(TypeTag{16}, cat_bytes({{2}, u32le(1)}))),
            "Invalid data: Tensor payload truncated at shape");
}

TEST(SectionDecoders, TensorHeaderMessagesByValueBytes) {
  const Bytes head = cat_bytes({{2}, u32le(2), u32le(3)});
  auto payload = [&](std::size_t value_bytes) {
    Bytes out = head;
    out.resize(head.size() + value_bytes, 0);
    return out;
  };
  // 40 value bytes are five whole float64 values: the shape, not the width, is wrong.
  EXPECT_EQ(engine_error(tensor_shape_from_payload(TypeTag{15}, payload(40))), "Tensor shape [2, 3] expects 6 values, got 5");
  EXPECT_EQ(engine_error(tensor_shape_from_payload(TypeTag{15}, payload(44))),
            "Tensor payload length 44 is not divisible by element size 8");
  auto six = tensor_shape_from_payload(TypeTag{15}, payload(48));
  ASSERT_TRUE(six) << six.error().display();
  EXPECT_EQ(six->shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(six->values_offset, 9u);
  EXPECT_EQ(engine_error(tensor_shape_from_payload(TypeTag{15}, payload(56))), "Tensor shape [2, 3] expects 6 values, got 7");
  EXPECT_EQ(engine_error(tensor_shape_from_payload(TypeTag{3}, payload(48))), "Type tag 3 is not a tensor");
  // A rank that claims more dimensions than the payload holds is refused without reading them.
  EXPECT_EQ(engine_error(tensor_shape_from_payload(TypeTag{14}, Bytes{255, 1, 0, 0, 0})), "Tensor payload truncated at shape");
}

TEST(SectionDecoders, Vec3DecoderTakesAsManyRowsAsThePayloadHolds) {
  EXPECT_EQ(decode_vec3_data(f32s({1, 2, 3, 4, 5, 6}), TypeTag{4}, "forces").value(),
            Vec3Data(std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(decode_vec3_data(f64s({1, 2, 3}), TypeTag{7}, "forces").value(), Vec3Data(std::vector<Vec3F64>{{1, 2, 3}}));
  EXPECT_EQ(decode_vec3_data({}, TypeTag{4}, "forces").value(), Vec3Data(std::vector<Vec3F32>{}));
  EXPECT_EQ(value_error_of(decode_vec3_data(Bytes(13, 0), TypeTag{4}, "forces")), "Invalid vec3<f32> payload length");
  EXPECT_EQ(value_error_of(decode_vec3_data(Bytes(12, 0), TypeTag{7}, "forces")), "Invalid vec3<f64> payload length");
  EXPECT_EQ(value_error_of(decode_vec3_data(Bytes(12, 0), TypeTag{3}, "velocities")), "Unsupported velocities type tag 3");
}

TEST(SectionDecoders, Mat3DecoderFillsRowByRow) {
  EXPECT_EQ(decode_mat3_data(f64s({1, 2, 3, 4, 5, 6, 7, 8, 9}), TypeTag{10}, "cell").value(),
            Mat3Data(Mat3F64{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(decode_mat3_data(f32s({9, 8, 7, 6, 5, 4, 3, 2, 1}), TypeTag{12}, "cell").value(),
            Mat3Data(Mat3F32{9, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(value_error_of(decode_mat3_data(Bytes(80, 0), TypeTag{10}, "cell")), "Invalid mat3x3<f64> payload length");
  EXPECT_EQ(value_error_of(decode_mat3_data(Bytes(72, 0), TypeTag{12}, "cell")), "Invalid mat3x3<f32> payload length");
  EXPECT_EQ(value_error_of(decode_mat3_data(Bytes(72, 0), TypeTag{0}, "stress")), "Unsupported stress type tag 0");
}

}  // namespace
}  // namespace molarium::records
