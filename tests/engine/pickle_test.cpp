// Tests of the molecule pickle payload: hand-written layouts, round trips of every field and
// variant, and the decoder's refusals of cut, forged and malformed payloads.
#include "engine/pickle.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace molarium::pickle {
namespace {

using atom::Molecule;
using types::PropertyValue;
using types::Tensor;

// Builds payloads byte by byte, little-endian, independently of the encoder.
class Payload {
 public:
  Payload& u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Payload& u32(std::uint32_t v) { return raw_le(v, 4); }
  Payload& u64(std::uint64_t v) { return raw_le(v, 8); }
  Payload& i32(std::int32_t v) { return raw_le(static_cast<std::uint32_t>(v), 4); }
  Payload& i64(std::int64_t v) { return raw_le(static_cast<std::uint64_t>(v), 8); }
  Payload& f32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return raw_le(bits, 4);
  }
  Payload& f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return raw_le(bits, 8);
  }
  Payload& text(const std::string& s) {
    u64(s.size());
    for (char c : s) u8(static_cast<std::uint8_t>(c));
    return *this;
  }
  Payload& zeros(std::size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Payload& raw_le(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes bytes_;
};

Molecule empty_molecule() { return *Molecule::create({}, {}); }

// Everything after the positions and atomic numbers of a molecule with no optional fields.
Payload& no_optional_fields(Payload& p) { return p.zeros(7); }

std::string decode_error(const Bytes& payload) {
  auto decoded = decode_molecule(payload);
  if (decoded) return "(decoded)";
  return decoded.error().display();
}

// A molecule with every optional field in one width, and every property kind in both maps.
Molecule rich_molecule(bool f64) {
  Molecule m;
  m.name = "water \xE2\x80\x94 \xF0\x9F\x92\xA7";
  if (f64) {
    m.positions = std::vector<types::Vec3F64>{{0.0, 0.1, -0.2}, {1.5, 2.5, 3.5}, {-7.0, 8.0, 9.25}};
    m.forces = std::vector<types::Vec3F64>{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    m.energy = -76.4;
    m.charges = std::vector<double>{-0.8, 0.4, 0.4};
    m.velocities = std::vector<types::Vec3F64>{{0.5, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}};
    m.cell = types::Mat3F64{10, 0, 0, 0, 11, 0, 0, 0, 12};
    m.stress = types::Mat3F64{1, 2, 3, 4, 5, 6, 7, 8, 9};
  } else {
    m.positions = std::vector<types::Vec3F32>{{0.0f, 0.1f, -0.2f}, {1.5f, 2.5f, 3.5f}, {-7.0f, 8.0f, 9.25f}};
    m.forces = std::vector<types::Vec3F32>{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    m.energy = -76.4f;
    m.charges = std::vector<float>{-0.8f, 0.4f, 0.4f};
    m.velocities = std::vector<types::Vec3F32>{{0.5f, 0, 0}, {0, 0.5f, 0}, {0, 0, 0.5f}};
    m.cell = types::Mat3F32{10, 0, 0, 0, 11, 0, 0, 0, 12};
    m.stress = types::Mat3F32{1, 2, 3, 4, 5, 6, 7, 8, 9};
  }
  m.atomic_numbers = {8, 1, 1};
  m.pbc = std::array<bool, 3>{true, false, true};
  m.atom_properties["mass"] = std::vector<double>{16.0, 1.0, 1.0};
  m.atom_properties["dipole"] = std::vector<types::Vec3F32>{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  m.atom_properties["tag"] = std::vector<std::int64_t>{-1, 0, std::numeric_limits<std::int64_t>::max()};
  m.atom_properties["spin"] = std::vector<float>{0.5f, -0.5f, 0};
  m.atom_properties["moment"] = std::vector<types::Vec3F64>{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  m.atom_properties["kind"] = std::vector<std::int32_t>{std::numeric_limits<std::int32_t>::min(), 0, 7};
  m.properties["nothing"] = types::Null{};
  m.properties["temperature"] = 300.5;
  m.properties["step"] = std::int64_t{-42};
  m.properties["source"] = std::string("dft \xC3\x85");
  m.properties["empty"] = std::vector<double>{};
  m.properties["t32"] = types::TensorData(Tensor<float>{{2, 3}, {1, 2, 3, 4, 5, 6}});
  m.properties["t64"] = types::TensorData(Tensor<double>{{3}, {0.25, 0.5, 0.75}});
  m.properties["ti32"] = types::TensorData(Tensor<std::int32_t>{{}, {9}});
  m.properties["ti64"] = types::TensorData(Tensor<std::int64_t>{{1, 1, 2}, {-5, 5}});
  return m;
}

TEST(PicklePayload, EmptyMoleculeIsFortyFourBytes) {
  Payload expected;
  expected.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(expected).u64(0).u64(0);
  ASSERT_EQ(expected.bytes().size(), 44u);

  const Bytes payload = encode_molecule(empty_molecule());
  EXPECT_EQ(payload, expected.bytes());
  auto decoded = decode_molecule(payload);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, empty_molecule());
}

TEST(PicklePayload, NameIsTagLengthAndBytes) {
  Molecule m = empty_molecule();
  m.name = "abc";
  Payload expected;
  expected.u8(1).u64(3).u8('a').u8('b').u8('c').u32(0).u64(0).u64(0);
  no_optional_fields(expected).u64(0).u64(0);
  EXPECT_EQ(encode_molecule(m), expected.bytes());
}

TEST(PicklePayload, TwoFloat32AtomsAreVariantCountAndSixFloats) {
  Molecule m = *Molecule::create({{1.0f, 2.0f, 3.0f}, {4.0f, -5.5f, 6.25f}}, {1, 8});
  Payload expected;
  expected.u8(0).u32(0).u64(2).f32(1.0f).f32(2.0f).f32(3.0f).f32(4.0f).f32(-5.5f).f32(6.25f);
  expected.u64(2).u8(1).u8(8);
  no_optional_fields(expected).u64(0).u64(0);
  EXPECT_EQ(encode_molecule(m), expected.bytes());
  auto decoded = decode_molecule(expected.bytes());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, m);
}

TEST(PicklePayload, Int64PropertyIsKeyVariantAndValue) {
  Molecule m = empty_molecule();
  m.properties["n"] = std::int64_t{5};
  Payload expected;
  expected.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(expected).u64(0);
  expected.u64(1).u64(1).u8('n').u32(2).i64(5);
  EXPECT_EQ(encode_molecule(m), expected.bytes());
}

TEST(PicklePayload, Float32TensorIsBothIndicesShapeAndValues) {
  Molecule m = empty_molecule();
  m.atom_properties["t"] = types::TensorData(Tensor<float>{{2, 3}, {1, 2, 3, 4, 5, 6}});
  Payload expected;
  expected.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(expected);
  expected.u64(1).text("t").u32(10).u32(0).u64(2).u64(2).u64(3).u64(6);
  for (float v : {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}) expected.f32(v);
  expected.u64(0);
  EXPECT_EQ(encode_molecule(m), expected.bytes());
}

TEST(PicklePayload, OptionalFieldsFollowDeclarationOrder) {
  Molecule m = *Molecule::create({{1, 2, 3}}, {6});
  m.forces = std::vector<types::Vec3F32>{{0.5f, 0.25f, 0.125f}};
  m.energy = 2.5;
  m.charges = std::vector<float>{-1.0f};
  m.velocities = std::vector<types::Vec3F64>{{7, 8, 9}};
  m.cell = types::Mat3F32{1, 2, 3, 4, 5, 6, 7, 8, 9};
  m.pbc = std::array<bool, 3>{true, false, true};
  m.stress = types::Mat3F64{9, 8, 7, 6, 5, 4, 3, 2, 1};

  Payload expected;
  expected.u8(0).u32(0).u64(1).f32(1).f32(2).f32(3).u64(1).u8(6);
  expected.u8(1).u32(0).u64(1).f32(0.5f).f32(0.25f).f32(0.125f);  // forces
  expected.u8(1).u32(1).f64(2.5);                                 // energy
  expected.u8(1).u32(0).u64(1).f32(-1.0f);                        // charges
  expected.u8(1).u32(1).u64(1).f64(7).f64(8).f64(9);              // velocities
  expected.u8(1).u32(0);                                          // cell
  for (int v = 1; v <= 9; ++v) expected.f32(static_cast<float>(v));
  expected.u8(1).u8(1).u8(0).u8(1);  // pbc
  expected.u8(1).u32(1);             // stress
  for (int v = 9; v >= 1; --v) expected.f64(v);
  expected.u64(0).u64(0);

  EXPECT_EQ(encode_molecule(m), expected.bytes());
  auto decoded = decode_molecule(expected.bytes());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, m);
}

TEST(PicklePayload, EveryFieldAndVariantRoundTripsInBothWidths) {
  for (bool f64 : {false, true}) {
    const Molecule m = rich_molecule(f64);
    const Bytes payload = encode_molecule(m);
    auto decoded = decode_molecule(payload);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    EXPECT_EQ(*decoded, m) << (f64 ? "f64" : "f32");
  }
}

TEST(PicklePayload, ReencodingGivesSameLengthAndEqualMolecule) {
  const Molecule m = rich_molecule(false);
  const Bytes first = encode_molecule(m);
  auto decoded = decode_molecule(first);
  ASSERT_TRUE(decoded.has_value());
  const Bytes second = encode_molecule(*decoded);
  EXPECT_EQ(first.size(), second.size());
  auto again = decode_molecule(second);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, *decoded);
}

TEST(PicklePayload, TrailingBytesAreIgnored) {
  const Molecule m = rich_molecule(true);
  Bytes payload = encode_molecule(m);
  payload.insert(payload.end(), {0xFF, 0x00, 0x13, 0x37});
  auto decoded = decode_molecule(payload);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, m);

  Bytes empty = encode_molecule(empty_molecule());
  empty.push_back(0xAB);
  auto decoded_empty = decode_molecule(empty);
  ASSERT_TRUE(decoded_empty.has_value());
  EXPECT_EQ(*decoded_empty, empty_molecule());
}

TEST(PicklePayload, EveryCutOfARichPayloadIsUnexpectedEndOfFile) {
  for (bool f64 : {false, true}) {
    const Bytes payload = encode_molecule(rich_molecule(f64));
    for (std::size_t cut = 0; cut < payload.size(); ++cut) {
      const Bytes prefix(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(cut));
      ASSERT_EQ(decode_error(prefix), "io error: unexpected end of file") << "cut at " << cut;
    }
  }
}

// An empty molecule's payload with the property map holding one entry whose value is `value`.
Bytes one_property(const Payload& value) {
  Payload p;
  p.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(p).u64(0).u64(1).text("k");
  Bytes bytes = p.bytes();
  bytes.insert(bytes.end(), value.bytes().begin(), value.bytes().end());
  return bytes;
}

TEST(PicklePayload, PropertyVariantElevenIsRefused) {
  EXPECT_EQ(decode_error(one_property(Payload().u32(11))),
            "invalid value: integer `11`, expected variant index 0 <= i < 11");
  EXPECT_EQ(decode_error(one_property(Payload().u32(0xFFFFFFFF))),
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 11");
}

TEST(PicklePayload, TensorVariantFourIsRefused) {
  EXPECT_EQ(decode_error(one_property(Payload().u32(10).u32(4))),
            "invalid value: integer `4`, expected variant index 0 <= i < 4");
}

TEST(PicklePayload, FloatVariantTwoIsRefusedForEveryTwoWidthType) {
  Payload positions;
  positions.u8(0).u32(2);
  EXPECT_EQ(decode_error(positions.bytes()), "invalid value: integer `2`, expected variant index 0 <= i < 2");

  const auto after_empty_atoms = [] { return Payload().u8(0).u32(0).u64(0).u64(0); };
  Payload energy = after_empty_atoms();
  energy.u8(0).u8(1).u32(3);
  EXPECT_EQ(decode_error(energy.bytes()), "invalid value: integer `3`, expected variant index 0 <= i < 2");
  Payload charges = after_empty_atoms();
  charges.u8(0).u8(0).u8(1).u32(2);
  EXPECT_EQ(decode_error(charges.bytes()), "invalid value: integer `2`, expected variant index 0 <= i < 2");
  Payload cell = after_empty_atoms();
  cell.zeros(4).u8(1).u32(9);
  EXPECT_EQ(decode_error(cell.bytes()), "invalid value: integer `9`, expected variant index 0 <= i < 2");
}

TEST(PicklePayload, OptionTagTwoIsRefused) {
  EXPECT_EQ(decode_error(Payload().u8(2).bytes()), "tag for enum is not valid, found 2");
  Payload forces;
  forces.u8(0).u32(0).u64(0).u64(0).u8(200);
  EXPECT_EQ(decode_error(forces.bytes()), "tag for enum is not valid, found 200");
}

TEST(PicklePayload, PbcByteTwoIsRefused) {
  Payload p;
  p.u8(0).u32(0).u64(0).u64(0).zeros(5).u8(1).u8(1).u8(2).u8(0).u8(0).u64(0).u64(0);
  EXPECT_EQ(decode_error(p.bytes()), "invalid u8 while decoding bool, expected 0 or 1, found 2");
}

Bytes with_name_bytes(const std::vector<std::uint8_t>& name) {
  Payload p;
  p.u8(1).u64(name.size());
  for (auto b : name) p.u8(b);
  p.u32(0).u64(0).u64(0);
  no_optional_fields(p).u64(0).u64(0);
  return p.bytes();
}

TEST(PicklePayload, InvalidUtf8IsRefusedWithItsPosition) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{0xFF}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {{'a', 0x80}, "invalid utf-8 sequence of 1 bytes from index 1"},
      {{'a', 'b', 0xC0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 2"},  // overlong NUL
      {{0xE0, 0x80, 0xAF}, "invalid utf-8 sequence of 1 bytes from index 0"},       // overlong '/'
      {{0xF0, 0x8F, 0xBF, 0xBF}, "invalid utf-8 sequence of 1 bytes from index 0"}, // overlong U+FFFF
      {{0xED, 0xA0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},       // surrogate U+D800
      {{0xF4, 0x90, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"}, // U+110000
      {{0xF5, 0x80, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {{0xE2, 0x82, 'A'}, "invalid utf-8 sequence of 2 bytes from index 0"},
      {{'x', 0xF0, 0x9F, 0x98, 'A'}, "invalid utf-8 sequence of 3 bytes from index 1"},
      {{'x', 0xE2, 0x82}, "incomplete utf-8 byte sequence from index 1"},
      {{0xF0, 0x9F}, "incomplete utf-8 byte sequence from index 0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_error(with_name_bytes(c.bytes)), "string is not valid utf8: " + c.error);
  }
}

TEST(PicklePayload, ValidUtf8BoundariesAreAccepted) {
  const std::vector<std::vector<std::uint8_t>> texts = {
      {0x7F},                    // U+007F
      {0xC2, 0x80},              // U+0080
      {0xDF, 0xBF},              // U+07FF
      {0xE0, 0xA0, 0x80},        // U+0800
      {0xED, 0x9F, 0xBF},        // U+D7FF
      {0xEE, 0x80, 0x80},        // U+E000
      {0xEF, 0xBF, 0xBF},        // U+FFFF
      {0xF0, 0x90, 0x80, 0x80},  // U+10000
      {0xF4, 0x8F, 0xBF, 0xBF},  // U+10FFFF
  };
  for (const auto& text : texts) {
    auto decoded = decode_molecule(with_name_bytes(text));
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    EXPECT_EQ(*decoded->name, std::string(text.begin(), text.end()));
  }
}

TEST(PicklePayload, InvalidUtf8InKeysAndStringValuesIsRefused) {
  Payload key;
  key.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(key).u64(1).u64(1).u8(0xC1).u32(0).u64(0);
  EXPECT_EQ(decode_error(key.bytes()), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");

  Payload value;
  value.u32(3).u64(4).u8('o').u8('k').u8(0xED).u8(0x9F);
  EXPECT_EQ(decode_error(one_property(value)), "string is not valid utf8: incomplete utf-8 byte sequence from index 2");
}

TEST(PicklePayload, HugeCountsFailFastWithoutAllocating) {
  const std::uint64_t huge = std::uint64_t{1} << 60;
  // Atomic numbers: one byte each.
  EXPECT_EQ(decode_error(Payload().u8(0).u32(0).u64(0).u64(huge).u8(1).bytes()), "io error: unexpected end of file");
  // Positions: the count times 12 bytes overflows 64 bits.
  EXPECT_EQ(decode_error(Payload().u8(0).u32(0).u64(std::uint64_t{1} << 63).bytes()),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error(Payload().u8(0).u32(1).u64(huge).zeros(48).bytes()), "io error: unexpected end of file");
  // Name length.
  EXPECT_EQ(decode_error(Payload().u8(1).u64(std::numeric_limits<std::uint64_t>::max()).u8('a').bytes()),
            "io error: unexpected end of file");
  // A map entry count: the entries run out long before the count.
  Payload map;
  map.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(map).u64(huge).text("a").u32(0);
  EXPECT_EQ(decode_error(map.bytes()), "io error: unexpected end of file");
  // Tensor shape and values.
  EXPECT_EQ(decode_error(one_property(Payload().u32(10).u32(3).u64(huge))), "io error: unexpected end of file");
  EXPECT_EQ(decode_error(one_property(Payload().u32(10).u32(1).u64(0).u64(huge).f64(1))),
            "io error: unexpected end of file");
  // Property arrays.
  EXPECT_EQ(decode_error(one_property(Payload().u32(8).u64(huge))), "io error: unexpected end of file");
}

TEST(PicklePayload, AtomicNumbersMustMatchPositions) {
  Payload p;
  p.u8(0).u32(0).u64(2).zeros(24).u64(1).u8(6);
  no_optional_fields(p).u64(0).u64(0);
  EXPECT_EQ(decode_error(p.bytes()), "Atomic numbers length (1) doesn't match atom count (2)");
}

TEST(PicklePayload, RepeatedKeyKeepsTheLaterValue) {
  Payload p;
  p.u8(0).u32(0).u64(0).u64(0);
  no_optional_fields(p).u64(0).u64(2);
  p.text("e").u32(1).f64(1.0);
  p.text("e").u32(2).i64(7);
  auto decoded = decode_molecule(p.bytes());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  ASSERT_EQ(decoded->properties.size(), 1u);
  EXPECT_EQ(decoded->properties.at("e"), PropertyValue(std::int64_t{7}));
}

TEST(PicklePayload, FirstErrorInFieldOrderWins) {
  // A bad option tag for forces comes before the truncated rest of the payload.
  Payload p;
  p.u8(0).u32(0).u64(0).u64(0).u8(3);
  EXPECT_EQ(decode_error(p.bytes()), "tag for enum is not valid, found 3");
}

}  // namespace
}  // namespace molarium::pickle
