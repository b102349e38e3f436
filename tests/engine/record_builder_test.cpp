// Tests of the batch path's SOA record builder: byte identity with the engine's record writer,
// its refusals, and the exact size of what it allocates.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/storage/soa.hpp"
#include "engine/records/record_builder.hpp"
#include "engine/records/sections.hpp"

using molarium::storage::SectionKind;
using molarium::storage::TypeTag;

namespace molarium::records {
namespace {

using molarium::ByteView;
using molarium::Bytes;
using molarium::atom::Molecule;
using molarium::types::PropertyValue;

constexpr std::uint8_t kTagF32Positions = 4;
constexpr std::uint8_t kTagF64Positions = 7;
constexpr std::uint8_t kBuiltin = 0;
constexpr std::uint8_t kAtomScope = 1;
constexpr std::uint8_t kMoleculeScope = 2;

// Little-endian bytes of an integer, written out byte by byte.
template <class T>
Bytes le_int(T value) {
  Bytes out;
  auto bits = static_cast<std::make_unsigned_t<T>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>((bits >> (8 * i)) & 0xff));
  return out;
}
Bytes le_f32(float value) { return le_int(std::bit_cast<std::uint32_t>(value)); }
Bytes le_f64(double value) { return le_int(std::bit_cast<std::uint64_t>(value)); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// One section as the record stores it, written out by hand.
Bytes section(std::uint8_t kind, std::string_view key, std::uint8_t tag, const Bytes& payload) {
  return cat({{kind, static_cast<std::uint8_t>(key.size())}, text(key), {tag},
              le_int(static_cast<std::uint32_t>(payload.size())), payload});
}

SoaSectionRef ref(std::string_view key, const Bytes& payload, std::uint8_t kind, std::uint8_t tag) {
  return SoaSectionRef{key, ByteView(payload), static_cast<SectionKind>(kind), static_cast<TypeTag>(tag)};
}

std::string builder_error(const Result<Bytes>& result) {
  EXPECT_FALSE(result.has_value());
  return result.has_value() ? std::string() : result.error().display();
}

// A region of address space that is never touched: lets a test hand over a range longer than the
// machine's memory, for refusals that must be decided from the length alone.
class Reservation {
 public:
  explicit Reservation(std::size_t length) : length_(length) {
    address_ = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  ~Reservation() {
    if (ok()) munmap(address_, length_);
  }
  bool ok() const { return address_ != MAP_FAILED; }
  ByteView bytes(std::size_t offset, std::size_t length) const {
    return ByteView(static_cast<const std::uint8_t*>(address_) + offset, length);
  }

 private:
  std::size_t length_;
  void* address_;
};

TEST(RecordBuilder, MatchesEngineWriterWithAllBuiltinsAndCustomSections) {
  Molecule molecule = Molecule::create({{1.0f, 2.0f, 3.0f}, {-4.5f, 0.25f, 6.0f}}, {8, 1}).value();
  molecule.name = "water";
  molecule.energy = -76.5;
  molecule.forces = std::vector<molarium::types::Vec3F32>{{0.5f, 0.0f, -1.0f}, {2.0f, 3.0f, 4.0f}};
  molecule.charges = std::vector<double>{-0.8, 0.4};
  molecule.velocities = std::vector<molarium::types::Vec3F64>{{1.0, 2.0, 3.0}, {4.0, 5.0, 6.0}};
  molecule.cell = molarium::types::Mat3F32{10, 0, 0, 0, 11, 0, 0, 0, 12};
  molecule.stress = molarium::types::Mat3F64{1, 2, 3, 4, 5, 6, 7, 8, 9};
  molecule.pbc = std::array<bool, 3>{true, false, true};
  molecule.atom_properties["spin"] = PropertyValue(std::vector<float>{0.5f, -0.5f});
  molecule.atom_properties["label"] = PropertyValue(std::vector<std::int64_t>{7, 9});
  molecule.properties["temperature"] = PropertyValue(300.0);
  molecule.properties["Step"] = PropertyValue(std::int64_t{42});
  molecule.properties["source"] = PropertyValue(std::string("dft"));

  const Bytes positions = cat({le_f32(1), le_f32(2), le_f32(3), le_f32(-4.5f), le_f32(0.25f), le_f32(6)});
  const Bytes numbers{8, 1};
  const Bytes energy = le_f64(-76.5);
  const Bytes forces = cat({le_f32(0.5f), le_f32(0), le_f32(-1), le_f32(2), le_f32(3), le_f32(4)});
  const Bytes charges = cat({le_f64(-0.8), le_f64(0.4)});
  const Bytes velocities = cat({le_f64(1), le_f64(2), le_f64(3), le_f64(4), le_f64(5), le_f64(6)});
  const Bytes cell = cat({le_f32(10), le_f32(0), le_f32(0), le_f32(0), le_f32(11), le_f32(0), le_f32(0), le_f32(0),
                          le_f32(12)});
  Bytes stress;
  for (int i = 1; i <= 9; ++i) stress = cat({stress, le_f64(i)});
  const Bytes spin = cat({le_f32(0.5f), le_f32(-0.5f)});
  const Bytes label = cat({le_int<std::int64_t>(7), le_int<std::int64_t>(9)});
  const Bytes temperature = le_f64(300.0);
  const Bytes step = le_int<std::int64_t>(42);
  const Bytes source = text("dft");

  SoaBuiltinPayloads builtins;
  builtins.energy = SoaBuiltinPayload{energy, TypeTag{0}};
  builtins.forces = SoaBuiltinPayload{forces, TypeTag{4}};
  builtins.charges = SoaBuiltinPayload{charges, TypeTag{3}};
  builtins.velocities = SoaBuiltinPayload{velocities, TypeTag{7}};
  builtins.cell = SoaBuiltinPayload{cell, TypeTag{12}};
  builtins.stress = SoaBuiltinPayload{stress, TypeTag{10}};
  builtins.name = "water";
  builtins.pbc = std::array<std::uint8_t, 3>{1, 0, 1};
  // Atom scope first, each scope sorted by key bytes ("Step" before "source" and "temperature").
  const std::vector<SoaSectionRef> custom{
      ref("label", label, kAtomScope, 5),        ref("spin", spin, kAtomScope, 6),
      ref("Step", step, kMoleculeScope, 1),      ref("source", source, kMoleculeScope, 2),
      ref("temperature", temperature, kMoleculeScope, 0),
  };

  auto built = build_soa_record_unchecked(kTagF32Positions, positions, numbers, builtins, custom);
  ASSERT_TRUE(built.has_value()) << built.error().display();
  auto engine = molarium::storage::soa::serialize_molecule_soa(molecule, 3);
  ASSERT_TRUE(engine.has_value()) << engine.error().display();
  EXPECT_EQ(*built, *engine);

  // And both equal the layout written out by hand, built-ins in the order charges, cell, energy,
  // forces, name, pbc, stress, velocities.
  const Bytes expected = cat({le_int<std::uint32_t>(2), positions, numbers, le_int<std::uint16_t>(13),
                              section(kBuiltin, "charges", 3, charges), section(kBuiltin, "cell", 12, cell),
                              section(kBuiltin, "energy", 0, energy), section(kBuiltin, "forces", 4, forces),
                              section(kBuiltin, "name", 2, text("water")), section(kBuiltin, "pbc", 9, {1, 0, 1}),
                              section(kBuiltin, "stress", 10, stress), section(kBuiltin, "velocities", 7, velocities),
                              section(kAtomScope, "label", 5, label), section(kAtomScope, "spin", 6, spin),
                              section(kMoleculeScope, "Step", 1, step), section(kMoleculeScope, "source", 2, source),
                              section(kMoleculeScope, "temperature", 0, temperature)});
  EXPECT_EQ(*built, expected);
}

TEST(RecordBuilder, MatchesEngineWriterForFloat64PositionsAndFloat32Energy) {
  Molecule molecule = Molecule::create_f64({{0.1, 0.2, 0.3}}, {6}).value();
  molecule.energy = 1.5f;
  const Bytes positions = cat({le_f64(0.1), le_f64(0.2), le_f64(0.3)});
  const Bytes energy = le_f32(1.5f);
  SoaBuiltinPayloads builtins;
  builtins.energy = SoaBuiltinPayload{energy, TypeTag{11}};

  auto built = build_soa_record_unchecked(kTagF64Positions, positions, Bytes{6}, builtins, {});
  ASSERT_TRUE(built.has_value()) << built.error().display();
  EXPECT_EQ(*built, molarium::storage::soa::serialize_molecule_soa(molecule, 3).value());
}

TEST(RecordBuilder, EmptyMoleculeIsCountSectionCountAndSections) {
  auto bare = build_soa_record_unchecked(kTagF32Positions, {}, {}, {}, {});
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(*bare, (Bytes{0, 0, 0, 0, 0, 0}));

  const Bytes value = le_f64(2.0);
  const std::vector<SoaSectionRef> custom{ref("k", value, kMoleculeScope, 0)};
  auto with_section = build_soa_record_unchecked(kTagF64Positions, {}, {}, {}, custom);
  ASSERT_TRUE(with_section.has_value());
  EXPECT_EQ(*with_section, cat({{0, 0, 0, 0, 1, 0}, section(kMoleculeScope, "k", 0, value)}));
}

TEST(RecordBuilder, RefusesPositionsThatAreNotWholeAtoms) {
  const Bytes positions(13, 0);
  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF32Positions, positions, Bytes{1}, {}, {})),
            "positions payload length (13) is not a multiple of 12");
  const Bytes positions_f64(25, 0);
  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF64Positions, positions_f64, Bytes{1}, {}, {})),
            "positions payload length (25) is not a multiple of 24");
}

TEST(RecordBuilder, RefusesUnknownPositionsTag) {
  const Bytes positions(12, 0);
  EXPECT_EQ(builder_error(build_soa_record_unchecked(5, positions, Bytes{1}, {}, {})),
            "Unsupported positions type tag 5");
}

TEST(RecordBuilder, RefusesAtomicNumbersOfAnotherCount) {
  const Bytes positions(24, 0);
  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF32Positions, positions, Bytes{1, 2, 3}, {}, {})),
            "Atomic numbers length (3) doesn't match atom count (2)");
}

TEST(RecordBuilder, RefusesAtomCountBeyondU32InsteadOfTruncating) {
  constexpr std::size_t kAtoms = (std::size_t{1} << 32) + 1;  // written as u32 this would read as 1
  Reservation space(kAtoms * 13);
  if (!space.ok()) GTEST_SKIP() << "cannot reserve address space";
  // Only lengths are looked at before the refusal; the reserved pages are never read.
  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF32Positions, space.bytes(0, kAtoms * 12),
                                                     space.bytes(kAtoms * 12, kAtoms), {}, {})),
            "Atom count 4294967297 exceeds u32 range");
}

TEST(RecordBuilder, KeyOf255BytesIsWrittenAnd256IsRefused) {
  const std::string key255(255, 'k');
  const std::string key256(256, 'k');
  const Bytes payload{};
  auto accepted =
      build_soa_record_unchecked(kTagF32Positions, {}, {}, {}, std::vector{ref(key255, payload, kAtomScope, 13)});
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(*accepted, cat({{0, 0, 0, 0, 1, 0}, section(kAtomScope, key255, 13, payload)}));

  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF32Positions, {}, {}, {},
                                                     std::vector{ref(key256, payload, kAtomScope, 13)})),
            "Section key '" + key256 + "' is too long");
}

TEST(RecordBuilder, SectionCountLimitIs65535) {
  const Bytes payload{};
  SoaBuiltinPayloads builtins;
  const Bytes energy = le_f64(1.0);
  builtins.energy = SoaBuiltinPayload{energy, TypeTag{0}};
  std::vector<SoaSectionRef> custom(65534, ref("", payload, kMoleculeScope, 13));

  auto at_limit = build_soa_record_unchecked(kTagF32Positions, {}, {}, builtins, custom);
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ((*at_limit)[4], 0xff);
  EXPECT_EQ((*at_limit)[5], 0xff);
  EXPECT_EQ(at_limit->size(), 6 + (7 + 6 + 8) + 65534 * 7);

  custom.push_back(ref("", payload, kMoleculeScope, 13));
  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF32Positions, {}, {}, builtins, custom)),
            "Too many SOA sections");
}

TEST(RecordBuilder, AllocatesExactlyTheRecordLength) {
  const Bytes positions(3 * 12, 0x11);
  const Bytes numbers{1, 6, 8};
  const Bytes forces(3 * 24, 0x22);
  const Bytes tensor = cat({{2}, le_int<std::uint32_t>(3), le_int<std::uint32_t>(1), le_f32(1), le_f32(2), le_f32(3)});
  SoaBuiltinPayloads builtins;
  builtins.forces = SoaBuiltinPayload{forces, TypeTag{7}};
  builtins.name = "benzene fragment";
  builtins.pbc = std::array<std::uint8_t, 3>{0, 0, 0};
  const std::vector<SoaSectionRef> custom{ref("t", tensor, kAtomScope, 14)};

  auto built = build_soa_record_unchecked(kTagF32Positions, positions, numbers, builtins, custom);
  ASSERT_TRUE(built.has_value());
  const std::size_t expected = 6 + 36 + 3 + (7 + 6 + 72) + (7 + 4 + 16) + (7 + 3 + 3) + (7 + 1 + tensor.size());
  EXPECT_EQ(built->size(), expected);
  EXPECT_EQ(built->capacity(), expected);
}

TEST(RecordBuilder, PbcFlagsAreWrittenAsZeroOrOne) {
  SoaBuiltinPayloads builtins;
  builtins.pbc = std::array<std::uint8_t, 3>{0, 2, 255};
  auto built = build_soa_record_unchecked(kTagF32Positions, {}, {}, builtins, {});
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(*built, cat({{0, 0, 0, 0, 1, 0}, section(kBuiltin, "pbc", 9, {0, 1, 1})}));
}

TEST(RecordBuilder, PayloadsAndTagsAreTakenAsGiven) {
  // The caller vouches for payload lengths and tags; the builder writes them unchanged.
  const Bytes odd{1, 2, 3};
  SoaBuiltinPayloads builtins;
  builtins.cell = SoaBuiltinPayload{odd, TypeTag{200}};
  auto built = build_soa_record_unchecked(kTagF32Positions, {}, {}, builtins, {});
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(*built, cat({{0, 0, 0, 0, 1, 0}, section(kBuiltin, "cell", 200, odd)}));
}

TEST(SectionWriter, AppendsHeaderKeyTagLengthAndPayload) {
  Bytes record{0xaa};
  const Bytes payload{9, 8, 7};
  ASSERT_TRUE(write_section(record, static_cast<SectionKind>(kAtomScope), "xy", TypeTag{6}, payload).has_value());
  EXPECT_EQ(record, (Bytes{0xaa, 1, 2, 'x', 'y', 6, 3, 0, 0, 0, 9, 8, 7}));
}

TEST(SectionWriter, RefusalsAppendNothing) {
  Bytes record{0xaa};
  const std::string long_key(256, 'z');
  auto refused = write_section(record, static_cast<SectionKind>(kAtomScope), long_key, TypeTag{6}, {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "Section key '" + long_key + "' is too long");
  EXPECT_EQ(record, Bytes{0xaa});

  constexpr std::size_t kTooLarge = (std::size_t{1} << 32);
  Reservation space(kTooLarge);
  if (!space.ok()) GTEST_SKIP() << "cannot reserve address space";
  auto too_large = write_section(record, static_cast<SectionKind>(kMoleculeScope), "big", TypeTag{6}, space.bytes(0, kTooLarge));
  ASSERT_FALSE(too_large.has_value());
  EXPECT_EQ(too_large.error().message(), "Section 'big' payload is too large");
  EXPECT_EQ(record, Bytes{0xaa});
}

TEST(RecordBuilder, FirstFailingCustomSectionFailsTheRecord) {
  const Bytes payload{};
  const std::string long_key(300, 'q');
  const std::vector<SoaSectionRef> custom{ref("fine", payload, kAtomScope, 13), ref(long_key, payload, kAtomScope, 13),
                                          ref(std::string(400, 'r'), payload, kAtomScope, 13)};
  EXPECT_EQ(builder_error(build_soa_record_unchecked(kTagF32Positions, {}, {}, {}, custom)),
            "Section key '" + long_key + "' is too long");
}

}  // namespace
}  // namespace molarium::records
