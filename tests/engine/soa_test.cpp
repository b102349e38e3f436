// Tests of the SOA record writer, the record-format rules, the type tags and the payload
// encodings of property values and tensors.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <string>

#include "engine/atom.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "engine/records/sections.hpp"

using molarium::storage::SectionKind;
using molarium::storage::TypeTag;

namespace molarium::storage {
namespace {

using atom::Molecule;
using types::PropertyValue;
using types::Tensor;
using types::TensorData;

// Bytes from hexadecimal pairs; spaces and semicolons separate them for reading.
Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return out;
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Molecule molecule_f32(std::vector<types::Vec3F32> positions, std::vector<std::uint8_t> numbers) {
  return Molecule::create(std::move(positions), std::move(numbers)).value();
}

std::string error_message(const auto& result) {
  EXPECT_FALSE(result.has_value());
  if (result.has_value()) return "";
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  return result.error().message();
}

// ---- The record writer ----

TEST(SoaRecord, OneAtomWithEnergyAndPropertyIsTheDocumentedBytes) {
  Molecule molecule = molecule_f32({{1, 2, 3}}, {8});
  molecule.energy = -1.5;
  molecule.properties["a"] = std::int64_t{7};
  auto record = soa::serialize_molecule_soa(molecule, 2);
  ASSERT_TRUE(record.has_value()) << record.error().display();
  const Bytes expected = concat({hex("01 00 00 00; 00 00 80 3f 00 00 00 40 00 00 40 40; 08; 02 00"),
                                 hex("00 06"), text_bytes("energy"), hex("00 08 00 00 00 00 00 00 00 00 00 f8 bf"),
                                 hex("02 01"), text_bytes("a"), hex("01 08 00 00 00 07 00 00 00 00 00 00 00")});
  ASSERT_EQ(expected.size(), 56u);
  EXPECT_EQ(*record, expected);
}

TEST(SoaRecord, EmptyMoleculeIsSixZeroBytes) {
  auto record = soa::serialize_molecule_soa(molecule_f32({}, {}), 2);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(*record, Bytes(6, 0));
}

TEST(SoaRecord, CustomKeysAreSortedAndAtomScopeComesFirst) {
  Molecule molecule = molecule_f32({}, {});
  molecule.properties["c"] = types::Null{};
  molecule.atom_properties["b"] = types::Null{};
  molecule.atom_properties["a"] = types::Null{};
  molecule.atom_properties["ab"] = types::Null{};
  auto record = soa::serialize_molecule_soa(molecule, 2);
  ASSERT_TRUE(record.has_value());
  // A null property is tag 13 (0d) with an empty payload.
  const Bytes expected = concat({hex("00 00 00 00; 04 00"),
                                 hex("01 01"), text_bytes("a"), hex("0d 00 00 00 00"),
                                 hex("01 02"), text_bytes("ab"), hex("0d 00 00 00 00"),
                                 hex("01 01"), text_bytes("b"), hex("0d 00 00 00 00"),
                                 hex("02 01"), text_bytes("c"), hex("0d 00 00 00 00")});
  EXPECT_EQ(*record, expected);
}

TEST(SoaRecord, KeysSortAsUnsignedBytes) {
  Molecule molecule = molecule_f32({}, {});
  molecule.properties["\xc3\xa9"] = types::Null{};  // é, lead byte 0xc3
  molecule.properties["z"] = types::Null{};
  auto record = soa::serialize_molecule_soa(molecule, 2);
  ASSERT_TRUE(record.has_value());
  const Bytes expected = concat({hex("00 00 00 00; 02 00"), hex("02 01"), text_bytes("z"), hex("0d 00 00 00 00"),
                                 hex("02 02 c3 a9 0d 00 00 00 00")});
  EXPECT_EQ(*record, expected);
}

TEST(SoaRecord, BuiltinsAreWrittenInFixedOrderWithTheirTags) {
  Molecule molecule = Molecule::create_f64({{1, 2, 3}}, {1}).value();
  molecule.velocities = std::vector<types::Vec3F32>{{0, 0, 1}};
  molecule.stress = types::Mat3F32{1, 0, 0, 0, 1, 0, 0, 0, 1};
  molecule.pbc = std::array<bool, 3>{true, false, true};
  molecule.name = "h";
  molecule.forces = std::vector<types::Vec3F64>{{0, 0, -1}};
  molecule.energy = 2.0f;
  molecule.cell = types::Mat3F64{2, 0, 0, 0, 2, 0, 0, 0, 2};
  molecule.charges = std::vector<double>{0.5};
  auto record = soa::serialize_molecule_soa(molecule, 3);
  ASSERT_TRUE(record.has_value()) << record.error().display();

  const Bytes expected = concat({
      hex("01 00 00 00; 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 00 40 00 00 00 00 00 00 08 40; 01; 08 00"),
      hex("00 07"), text_bytes("charges"), hex("03 08 00 00 00; 00 00 00 00 00 00 e0 3f"),
      hex("00 04"), text_bytes("cell"), hex("0a 48 00 00 00"),
      hex("00 00 00 00 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      hex("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 40 00 00 00 00 00 00 00 00"),
      hex("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 40"),
      hex("00 06"), text_bytes("energy"), hex("0b 04 00 00 00; 00 00 00 40"),
      hex("00 06"), text_bytes("forces"), hex("07 18 00 00 00"),
      hex("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 bf"),
      hex("00 04"), text_bytes("name"), hex("02 01 00 00 00"), text_bytes("h"),
      hex("00 03"), text_bytes("pbc"), hex("09 03 00 00 00; 01 00 01"),
      hex("00 06"), text_bytes("stress"), hex("0c 24 00 00 00"),
      hex("00 00 80 3f 00 00 00 00 00 00 00 00 00 00 00 00 00 00 80 3f 00 00 00 00 00 00 00 00 00 00 00 00 00 00 80 3f"),
      hex("00 0a"), text_bytes("velocities"), hex("04 0c 00 00 00; 00 00 00 00 00 00 00 00 00 00 80 3f"),
  });
  EXPECT_EQ(*record, expected);
}

TEST(SoaRecord, BufferIsAllocatedOnceAtItsExactSize) {
  Molecule molecule = molecule_f32({{1, 2, 3}, {4, 5, 6}}, {1, 2});
  molecule.forces = std::vector<types::Vec3F32>{{0, 0, 0}, {1, 1, 1}};
  molecule.name = "a fairly long molecule name";
  molecule.atom_properties["t"] = TensorData(Tensor<double>{{2, 2}, {1, 2, 3, 4}});
  molecule.properties["s"] = std::string("text");
  molecule.properties["v"] = std::vector<types::Vec3F64>{{1, 2, 3}};
  auto record = soa::serialize_molecule_soa(molecule, 2);
  ASSERT_TRUE(record.has_value());
  // 4 + 24 + 2 + 2; forces 7+6+24; name 7+4+27; t 7+1+(1+8+32); s 7+1+4; v 7+1+24
  EXPECT_EQ(record->size(), 32u + 37u + 38u + 49u + 12u + 32u);
  EXPECT_EQ(record->capacity(), record->size());
}

TEST(SoaRecord, AtomicNumbersOutOfStepWithPositionsAreRefused) {
  Molecule molecule = molecule_f32({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, {1, 2, 3});
  molecule.atomic_numbers.pop_back();
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)),
            "Atomic numbers length (2) doesn't match atom count (3)");
  molecule.atomic_numbers = {1, 2, 3, 4};
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)),
            "Atomic numbers length (4) doesn't match atom count (3)");
}

TEST(SoaRecord, PerAtomBuiltinsAreWrittenAsStored) {
  // The record holds what the molecule holds; the schema derivation is where a wrong count is refused.
  Molecule molecule = molecule_f32({{0, 0, 0}, {1, 1, 1}}, {1, 2});
  molecule.charges = std::vector<double>{0.25};
  auto record = soa::serialize_molecule_soa(molecule, 2);
  ASSERT_TRUE(record.has_value());
  const Bytes expected = concat({hex("02 00 00 00"), Bytes(12, 0), hex("00 00 80 3f 00 00 80 3f 00 00 80 3f"),
                                 hex("01 02; 01 00"), hex("00 07"), text_bytes("charges"),
                                 hex("03 08 00 00 00; 00 00 00 00 00 00 d0 3f")});
  EXPECT_EQ(*record, expected);
}

TEST(SoaRecord, MoreThan65535SectionsAreRefused) {
  Molecule molecule = molecule_f32({}, {});
  for (int i = 0; i < 65535; ++i) molecule.properties[cat("k", i)] = types::Null{};
  auto record = soa::serialize_molecule_soa(molecule, 2);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ((*record)[4], 0xff);
  EXPECT_EQ((*record)[5], 0xff);

  molecule.energy = 1.0;  // built-ins count as sections too
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)), "Too many SOA sections");
}

TEST(SoaRecord, OverlongKeyIsRefused) {
  Molecule molecule = molecule_f32({}, {});
  const std::string key(256, 'k');
  molecule.properties[key] = types::Null{};
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)), "Section key '" + key + "' is too long");
  molecule.properties.clear();
  molecule.properties[std::string(255, 'k')] = types::Null{};
  EXPECT_TRUE(soa::serialize_molecule_soa(molecule, 2).has_value());
}

TEST(SoaRecord, InvalidTensorIsRefusedWithItsShapeMessage) {
  Molecule molecule = molecule_f32({}, {});
  molecule.properties["t"] = TensorData(Tensor<float>{{2, 3}, {1, 2, 3, 4, 5}});
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 3)), "Tensor shape [2, 3] expects 6 values, got 5");
}

TEST(SoaRecord, FormatRefusalComesBeforeAnyOtherCheck) {
  Molecule molecule = molecule_f32({{0, 0, 0}}, {1});
  molecule.energy = 1.0f;
  molecule.atomic_numbers.clear();
  molecule.properties["t"] = TensorData(Tensor<float>{{2}, {1}});
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)),
            "record format 2 does not support float32 energy");
}

// ---- write_section ----

TEST(SoaWriteSection, AppendsHeaderAndPayload) {
  Bytes buffer = {0xaa};
  const Bytes payload = {1, 2, 3};
  ASSERT_TRUE(records::write_section(buffer, SectionKind{2}, "xy", TypeTag{6}, payload).has_value());
  EXPECT_EQ(buffer, concat({hex("aa 02 02"), text_bytes("xy"), hex("06 03 00 00 00 01 02 03")}));
}

TEST(SoaWriteSection, RefusesOverlongKeyAndLeavesBufferUnchanged) {
  Bytes buffer = {0xaa};
  const std::string key(256, 'x');
  EXPECT_EQ(error_message(records::write_section(buffer, SectionKind{1}, key, TypeTag{13}, {})), "Section key '" + key + "' is too long");
  EXPECT_EQ(buffer, Bytes{0xaa});
}

TEST(SoaWriteSection, RefusesPayloadOf4GiB) {
  // A reserved, never touched mapping stands in for a 4 GiB payload without using memory.
  const std::size_t length = std::size_t{1} << 32;
  void* region = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  Bytes buffer;
  auto result = records::write_section(buffer, SectionKind{2}, "big", TypeTag{3}, ByteView(static_cast<const std::uint8_t*>(region), length));
  munmap(region, length);
  EXPECT_EQ(error_message(result), "Section 'big' payload is too large");
  EXPECT_TRUE(buffer.empty());
}

// ---- Record formats ----

TEST(RecordFormat, Float32EnergyNeedsFormat3) {
  Molecule molecule = molecule_f32({{0, 0, 0}}, {1});
  molecule.energy = -1.5f;
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)),
            "record format 2 does not support float32 energy");
  auto record = soa::serialize_molecule_soa(molecule, 3);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(soa::minimum_record_format_for_molecule(molecule), 3u);
}

TEST(RecordFormat, ChargesAreCheckedFirst) {
  Molecule molecule = molecule_f32({{0, 0, 0}}, {1});
  molecule.energy = -1.5f;
  molecule.charges = std::vector<float>{0.5f};
  EXPECT_EQ(error_message(soa::validate_record_format_compat(molecule, 2)),
            "record format 2 does not support float32 charges");
}

TEST(RecordFormat, BuiltinsAreCheckedInOrderChargesCellEnergyForcesStressVelocities) {
  Molecule molecule = molecule_f32({{0, 0, 0}}, {1});
  molecule.velocities = std::vector<types::Vec3F64>{{0, 0, 0}};
  EXPECT_EQ(error_message(soa::validate_record_format_compat(molecule, 2)),
            "record format 2 does not support float64 velocities");
  molecule.stress = types::Mat3F32{};
  EXPECT_EQ(error_message(soa::validate_record_format_compat(molecule, 2)),
            "record format 2 does not support float32 stress");
  molecule.forces = std::vector<types::Vec3F64>{{0, 0, 0}};
  EXPECT_EQ(error_message(soa::validate_record_format_compat(molecule, 2)),
            "record format 2 does not support float64 forces");
  molecule.cell = types::Mat3F32{};
  EXPECT_EQ(error_message(soa::validate_record_format_compat(molecule, 2)),
            "record format 2 does not support float32 cell");
  EXPECT_TRUE(soa::validate_record_format_compat(molecule, 3).has_value());
}

TEST(RecordFormat, Format2AcceptsItsOwnWidths) {
  Molecule molecule = molecule_f32({{0, 0, 0}}, {1});
  molecule.charges = std::vector<double>{0};
  molecule.cell = types::Mat3F64{};
  molecule.energy = 0.0;
  molecule.forces = std::vector<types::Vec3F32>{{0, 0, 0}};
  molecule.stress = types::Mat3F64{};
  molecule.velocities = std::vector<types::Vec3F32>{{0, 0, 0}};
  molecule.name = "n";
  molecule.pbc = std::array<bool, 3>{};
  molecule.properties["x"] = std::vector<float>{1};
  EXPECT_TRUE(soa::validate_record_format_compat(molecule, 2).has_value());
  EXPECT_EQ(soa::minimum_record_format_for_molecule(molecule), 2u);
}

TEST(RecordFormat, Float64PositionsNeedFormat3) {
  Molecule molecule = Molecule::create_f64({{1, 2, 3}}, {1}).value();
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule, 2)),
            "record format 2 does not support float64 positions");
  EXPECT_EQ(soa::minimum_record_format_for_molecule(molecule), 3u);
}

TEST(RecordFormat, OtherFormatsAreUnsupported) {
  Molecule molecule = Molecule::create_f64({}, {}).value();
  EXPECT_EQ(error_message(soa::validate_record_format_compat(molecule, 4)), "Unsupported record format 4");
  EXPECT_EQ(error_message(soa::serialize_molecule_soa(molecule_f32({}, {}), 1)), "Unsupported record format 1");
  EXPECT_EQ(error_message(dtypes::validate_builtin_type_tag_for_record_format(0, "name", TypeTag{2})),
            "Unsupported record format 0");
}

TEST(RecordFormat, Format2FixesSixBuiltinTags) {
  struct Case {
    const char* key;
    std::uint8_t allowed;
    std::uint8_t refused;
    const char* message;
  };
  const Case cases[] = {
      {"cell", 10, 12, "record format 2 does not support float32 cell"},
      {"energy", 0, 11, "record format 2 does not support float32 energy"},
      {"forces", 4, 7, "record format 2 does not support float64 forces"},
      {"stress", 10, 12, "record format 2 does not support float32 stress"},
      {"charges", 3, 6, "record format 2 does not support float32 charges"},
      {"velocities", 4, 7, "record format 2 does not support float64 velocities"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_TRUE(dtypes::validate_builtin_type_tag_for_record_format(2, c.key, static_cast<TypeTag>(c.allowed)).has_value());
    EXPECT_EQ(error_message(dtypes::validate_builtin_type_tag_for_record_format(2, c.key, static_cast<TypeTag>(c.refused))), c.message);
    EXPECT_TRUE(dtypes::validate_builtin_type_tag_for_record_format(3, c.key, static_cast<TypeTag>(c.refused)).has_value());
  }
  EXPECT_TRUE(dtypes::validate_builtin_type_tag_for_record_format(2, "name", TypeTag{200}).has_value());
  EXPECT_TRUE(dtypes::validate_builtin_type_tag_for_record_format(2, "pbc", TypeTag{5}).has_value());
}

TEST(RecordFormat, ResolvePositionsType) {
  EXPECT_EQ(soa::resolve_positions_type(3, 7), 7);
  EXPECT_EQ(soa::resolve_positions_type(3, 4), 4);
  EXPECT_EQ(soa::resolve_positions_type(3, 9), 9);
  EXPECT_EQ(soa::resolve_positions_type(2, std::nullopt), 4);
  EXPECT_EQ(soa::resolve_positions_type(2, 4), 4);
  EXPECT_EQ(soa::resolve_positions_type(2, 9), 4);
  EXPECT_EQ(error_message(soa::resolve_positions_type(2, 7)), "record format 2 does not support float64 positions");
  EXPECT_EQ(error_message(soa::resolve_positions_type(3, std::nullopt)),
            "Missing positions dtype for record format 3");
  EXPECT_EQ(error_message(soa::resolve_positions_type(1, 4)), "Unsupported record format 1");
}

// ---- Type tags and payload encodings ----

TEST(TypeTags, ElementBytesOfEveryTag) {
  const std::size_t expected[] = {8, 8, 0, 8, 12, 8, 4, 24, 4, 3, 72, 4, 36, 0, 4, 8, 4, 8};
  for (std::uint8_t tag = 0; tag <= 17; ++tag) EXPECT_EQ(dtypes::element_bytes(static_cast<TypeTag>(tag)), expected[tag]) << int{tag};
  EXPECT_FALSE(dtypes::element_bytes(TypeTag{18}).has_value());
  EXPECT_FALSE(dtypes::element_bytes(TypeTag{255}).has_value());
}

TEST(PropertyPayload, EveryVariantHasItsTagAndBytes) {
  struct Case {
    PropertyValue value;
    std::uint8_t tag;
    Bytes payload;
  };
  const Case cases[] = {
      {types::Null{}, 13, {}},
      {1.0, 0, hex("00 00 00 00 00 00 f0 3f")},
      {std::int64_t{-2}, 1, hex("fe ff ff ff ff ff ff ff")},
      {std::string("h\xc3\xa9"), 2, hex("68 c3 a9")},
      {std::vector<double>{-1.0, 0.5}, 3, hex("00 00 00 00 00 00 f0 bf 00 00 00 00 00 00 e0 3f")},
      {std::vector<types::Vec3F32>{{1, 2, 3}}, 4, hex("00 00 80 3f 00 00 00 40 00 00 40 40")},
      {std::vector<std::int64_t>{1, -1}, 5, hex("01 00 00 00 00 00 00 00 ff ff ff ff ff ff ff ff")},
      {std::vector<float>{1, -2}, 6, hex("00 00 80 3f 00 00 00 c0")},
      {std::vector<types::Vec3F64>{{1, 0, 2}},
       7,
       hex("00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 40")},
      {std::vector<std::int32_t>{256, -1}, 8, hex("00 01 00 00 ff ff ff ff")},
      {TensorData(Tensor<float>{{1}, {1}}), 14, hex("01 01 00 00 00 00 00 80 3f")},
      {TensorData(Tensor<double>{{}, {2.5}}), 15, hex("00 00 00 00 00 00 00 04 40")},
      {TensorData(Tensor<std::int32_t>{{2}, {1, -1}}), 16, hex("01 02 00 00 00 01 00 00 00 ff ff ff ff")},
      {TensorData(Tensor<std::int64_t>{{1, 0}, {}}), 17, hex("02 01 00 00 00 00 00 00 00")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.index());
    EXPECT_EQ(dtypes::type_tag_of(c.value), static_cast<TypeTag>(c.tag));
    auto payload = dtypes::property_value_to_bytes(c.value);
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(*payload, c.payload);
    EXPECT_EQ(dtypes::property_payload_length(c.value), c.payload.size());
  }
}

TEST(TensorEncoding, ShapeChecksInOrder) {
  const std::vector<std::uint64_t> rank256(256, 1);
  EXPECT_EQ(error_message(dtypes::validate_tensor_data_shape(rank256, 1)), "Tensor rank 256 exceeds maximum 255");
  std::vector<std::uint64_t> rank256_wide = rank256;
  rank256_wide[0] = std::uint64_t{1} << 32;
  EXPECT_EQ(error_message(dtypes::validate_tensor_data_shape(rank256_wide, 1)), "Tensor rank 256 exceeds maximum 255");
  EXPECT_TRUE(dtypes::validate_tensor_data_shape(std::vector<std::uint64_t>(255, 1), 1).has_value());

  // Every dimension is tested before the product: a zero does not hide a wide dimension.
  const std::vector<std::uint64_t> wide = {0, std::uint64_t{1} << 32};
  EXPECT_EQ(error_message(dtypes::validate_tensor_data_shape(wide, 0)),
            "Tensor dimensions must fit in u32 for storage");
  const std::vector<std::uint64_t> huge = {1u << 31, 1u << 31, 1u << 31};
  EXPECT_EQ(error_message(dtypes::validate_tensor_data_shape(huge, 0)), "Tensor shape overflows usize");
  const std::vector<std::uint64_t> two_by_three = {2, 3};
  EXPECT_EQ(error_message(dtypes::validate_tensor_data_shape(two_by_three, 5)),
            "Tensor shape [2, 3] expects 6 values, got 5");
  EXPECT_EQ(error_message(dtypes::validate_tensor_data_shape({}, 2)), "Tensor shape [] expects 1 values, got 2");
}

TEST(TensorEncoding, ValueCount) {
  EXPECT_EQ(dtypes::tensor_value_count({}), 1u);
  const std::vector<std::uint64_t> shape = {2, 3, 4};
  EXPECT_EQ(dtypes::tensor_value_count(shape), 24u);
  const std::vector<std::uint64_t> overflowing = {std::uint64_t{1} << 40, std::uint64_t{1} << 40};
  EXPECT_EQ(error_message(dtypes::tensor_value_count(overflowing)), "Tensor shape overflows usize");
}

TEST(TensorEncoding, InvalidTensorProducesNoBytes) {
  const PropertyValue value = TensorData(Tensor<std::int64_t>{{3}, {1, 2}});
  EXPECT_EQ(error_message(dtypes::property_value_to_bytes(value)), "Tensor shape [3] expects 3 values, got 2");
  EXPECT_EQ(error_message(dtypes::property_payload_length(value)), "Tensor shape [3] expects 3 values, got 2");
  Bytes out = {9};
  EXPECT_FALSE(dtypes::append_property_payload(out, value).has_value());
  EXPECT_EQ(out, Bytes{9});
}

TEST(TensorPayload, ParsesShapeAndValuesOffset) {
  auto layout = dtypes::tensor_shape_from_payload(TypeTag{15}, concat({hex("02 02 00 00 00 03 00 00 00"), Bytes(48, 0)}));
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(layout->shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(layout->values_offset, 9u);

  auto scalar = dtypes::tensor_shape_from_payload(TypeTag{14}, hex("00 00 00 80 3f"));
  ASSERT_TRUE(scalar.has_value());
  EXPECT_TRUE(scalar->shape.empty());
  EXPECT_EQ(scalar->values_offset, 1u);
}

TEST(TensorPayload, ErrorsInOrder) {
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{13}, hex("00"))), "Type tag 13 is not a tensor");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{18}, {})), "Type tag 18 is not a tensor");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{14}, {})), "Tensor payload missing rank");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{14}, hex("02 01 00 00 00 01 00 00"))),
            "Tensor payload truncated at shape");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{15}, concat({hex("00"), Bytes(12, 0)}))),
            "Tensor payload length 12 is not divisible by element size 8");
  const Bytes dims = hex("02 02 00 00 00 03 00 00 00");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{15}, concat({dims, Bytes(44, 0)}))),
            "Tensor payload length 44 is not divisible by element size 8");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{15}, concat({dims, Bytes(40, 0)}))),
            "Tensor shape [2, 3] expects 6 values, got 5");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{15}, concat({dims, Bytes(56, 0)}))),
            "Tensor shape [2, 3] expects 6 values, got 7");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{16}, hex("03 ff ff ff ff ff ff ff ff ff ff ff ff"))),
            "Tensor shape overflows usize");
  EXPECT_EQ(error_message(dtypes::tensor_shape_from_payload(TypeTag{17}, hex("01 02 00 00 00"))),
            "Tensor shape [2] expects 2 values, got 0");
}

}  // namespace
}  // namespace molarium::storage
