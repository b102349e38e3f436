// Tests of the molecule constructors, the one-atom view and the engine error's texts.
#include <gtest/gtest.h>

#include <cerrno>

#include "engine/atom.hpp"
#include "engine/error.hpp"

namespace molarium {
namespace {

using atom::Atom;
using atom::Molecule;

TEST(MoleculeConstructors, EmptyMoleculeIsValid) {
  auto molecule = Molecule::create({}, {});
  ASSERT_TRUE(molecule.has_value());
  EXPECT_EQ(molecule->atom_count(), 0u);
  EXPECT_FALSE(molecule->atom(0).has_value());
  EXPECT_TRUE(molecule->to_atoms().empty());
}

TEST(MoleculeConstructors, CreateGivesFloat32PositionsAndNothingElse) {
  auto molecule = Molecule::create({{1, 2, 3}}, {6});
  ASSERT_TRUE(molecule.has_value());
  EXPECT_EQ(molecule->positions.index(), types::kF32);
  EXPECT_FALSE(molecule->name || molecule->forces || molecule->energy || molecule->charges ||
               molecule->velocities || molecule->cell || molecule->pbc || molecule->stress);
  EXPECT_TRUE(molecule->atom_properties.empty());
  EXPECT_TRUE(molecule->properties.empty());
}

TEST(MoleculeConstructors, CreateF64GivesFloat64Positions) {
  auto molecule = Molecule::create_f64({{1, 2, 3}, {4, 5, 6}}, {1, 8});
  ASSERT_TRUE(molecule.has_value());
  EXPECT_EQ(molecule->positions.index(), types::kF64);
  EXPECT_EQ(molecule->atom_count(), 2u);
  EXPECT_FALSE(molecule->name.has_value());
}

TEST(MoleculeConstructors, WithNameInternalKeepsTheName) {
  auto molecule = Molecule::with_name_internal("water", types::Vec3Data(std::vector<types::Vec3F32>{{0, 0, 0}}), {8});
  ASSERT_TRUE(molecule.has_value());
  EXPECT_EQ(molecule->name, "water");
}

TEST(MoleculeConstructors, MoreAtomicNumbersThanPositionsFail) {
  auto molecule = Molecule::create({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, {1, 2});
  ASSERT_FALSE(molecule.has_value());
  EXPECT_EQ(molecule.error().display(), "Atomic numbers length (2) doesn't match atom count (3)");
}

TEST(MoleculeConstructors, LengthMismatchFailsForEveryConstructor) {
  EXPECT_EQ(Molecule::create_f64({{0, 0, 0}}, {1, 2, 3}).error().display(),
            "Atomic numbers length (3) doesn't match atom count (1)");
  EXPECT_EQ(Molecule::with_name_internal("x", types::Vec3Data(std::vector<types::Vec3F64>{}), {7}).error().display(),
            "Atomic numbers length (1) doesn't match atom count (0)");
}

TEST(MoleculeAtom, Float64CoordinatesNarrowToNearestFloat32) {
  auto molecule = Molecule::create_f64({{0.1, -2.5, 1e10}}, {8});
  ASSERT_TRUE(molecule.has_value());
  auto a = molecule->atom(0);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->x, 0.1f);
  EXPECT_EQ(a->y, -2.5f);
  EXPECT_EQ(a->z, 1e10f);
  EXPECT_EQ(a->atomic_number, 8);
}

TEST(MoleculeAtom, IndexEqualToAtomCountYieldsNothing) {
  auto molecule = Molecule::create({{1, 2, 3}, {4, 5, 6}}, {1, 6});
  ASSERT_TRUE(molecule.has_value());
  EXPECT_EQ(molecule->atom(1), (Atom{4, 5, 6, 6}));
  EXPECT_FALSE(molecule->atom(2).has_value());
}

TEST(MoleculeAtom, AtomIsACopy) {
  auto molecule = Molecule::create({{1, 2, 3}}, {1});
  ASSERT_TRUE(molecule.has_value());
  Atom a = *molecule->atom(0);
  a.x = 99;
  a.atomic_number = 2;
  EXPECT_EQ(a, (Atom{99, 2, 3, 2}));
  EXPECT_EQ(molecule->atom(0), (Atom{1, 2, 3, 1}));
}

TEST(MoleculeAtom, ToAtomsListsEveryAtomInOrder) {
  auto molecule = Molecule::create({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {1, 6, 8});
  ASSERT_TRUE(molecule.has_value());
  EXPECT_EQ(molecule->to_atoms(), (std::vector<Atom>{{1, 2, 3, 1}, {4, 5, 6, 6}, {7, 8, 9, 8}}));
}

TEST(MoleculeAtom, ToAtomsLeavesOutAtomsWithoutPositions) {
  // Fields changed directly after construction can fall out of step; nothing is read past either list.
  auto molecule = Molecule::create({{1, 2, 3}, {4, 5, 6}}, {1, 6});
  ASSERT_TRUE(molecule.has_value());
  molecule->positions = std::vector<types::Vec3F32>{{1, 2, 3}};
  EXPECT_FALSE(molecule->atom(1).has_value());
  EXPECT_EQ(molecule->to_atoms(), (std::vector<Atom>{{1, 2, 3, 1}}));

  molecule->atomic_numbers.clear();
  EXPECT_FALSE(molecule->atom(0).has_value());
  EXPECT_TRUE(molecule->to_atoms().empty());
}

TEST(EngineError, DisplayPrefixesEachKind) {
  EXPECT_EQ(invalid_data("Index too small").error().display(), "Invalid data: Index too small");
  EXPECT_EQ(compression_error("frame broken").error().display(), "Compression error: frame broken");
  EXPECT_EQ(io_error("disk gone").error().display(), "IO error: disk gone");
}

TEST(EngineError, OsErrorDisplaysTheSystemText) {
  const Error error = Error::from_errno(ENOENT);
  EXPECT_EQ(error.kind(), Error::Kind::Io);
  EXPECT_EQ(error.display(), "IO error: No such file or directory (os error 2)");
}

TEST(EngineError, DebugNamesTheVariantAndQuotesTheMessage) {
  EXPECT_EQ(invalid_data("Index too small").error().debug(), "InvalidData(\"Index too small\")");
  EXPECT_EQ(compression_error("x").error().debug(), "Compression(\"x\")");
  EXPECT_EQ(io_error("say \"hi\" \\").error().debug(), "Io(\"say \\\"hi\\\" \\\\\")");
}

TEST(EngineError, HelpersCarryTheirKindAndMessage) {
  const Error error = invalid_data("bad").error();
  EXPECT_EQ(error.kind(), Error::Kind::InvalidData);
  EXPECT_EQ(error.message(), "bad");
  EXPECT_EQ(compression_error("c").error().kind(), Error::Kind::Compression);
  EXPECT_EQ(errno_error(EACCES).error().kind(), Error::Kind::Io);
}

}  // namespace
}  // namespace molarium
