// The owned molecule and the one-atom value.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.hpp"
#include "engine/types.hpp"

namespace molarium::atom {

// One atom by value; a copy that changes no molecule.
struct Atom {
  float x = 0;
  float y = 0;
  float z = 0;
  std::uint8_t atomic_number = 0;
  bool operator==(const Atom&) const = default;
};

// Field order is the pickle payload's order.
// Invariant: atomic_numbers has one entry per position triple; every change keeps it
// (the record writer writes the atom count from positions, then all atomic numbers).
struct Molecule {
  std::optional<std::string> name;
  types::Vec3Data positions;
  std::vector<std::uint8_t> atomic_numbers;
  std::optional<types::Vec3Data> forces;
  std::optional<types::FloatScalarData> energy;
  std::optional<types::FloatArrayData> charges;
  std::optional<types::Vec3Data> velocities;
  std::optional<types::Mat3Data> cell;
  std::optional<std::array<bool, 3>> pbc;
  std::optional<types::Mat3Data> stress;
  types::PropertyMap atom_properties;
  types::PropertyMap properties;

  // The constructors fail with a Value error:
  // "Atomic numbers length ({}) doesn't match atom count ({})".
  static Result<Molecule> create(std::vector<types::Vec3F32> positions, std::vector<std::uint8_t> atomic_numbers);
  static Result<Molecule> create_f64(std::vector<types::Vec3F64> positions, std::vector<std::uint8_t> atomic_numbers);
  static Result<Molecule> with_name_internal(std::optional<std::string> name, types::Vec3Data positions,
                                             std::vector<std::uint8_t> atomic_numbers);

  std::size_t atom_count() const { return types::length(positions); }
  bool positions_f64() const { return positions.index() == types::kF64; }

  // Nothing when i is not below both the number of positions and of atomic numbers;
  // float64 coordinates are narrowed to the nearest float32.
  std::optional<Atom> atom(std::size_t i) const;
  std::vector<Atom> to_atoms() const;

  bool operator==(const Molecule&) const = default;
};

}  // namespace molarium::atom
