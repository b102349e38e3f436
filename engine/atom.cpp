// Construction of molecules and their per-atom view.
#include "engine/atom.hpp"

#include "engine/error.hpp"

namespace molarium::atom {

Result<Molecule> Molecule::with_name_internal(std::optional<std::string> name, types::Vec3Data positions,
                                                                  std::vector<std::uint8_t> atomic_numbers) {
  const std::size_t count = types::length(positions);
  if (atomic_numbers.size() != count) {
    return value_error(
        cat("Atomic numbers length (", atomic_numbers.size(), ") doesn't match atom count (", count, ")"));
  }
  Molecule molecule;
  molecule.name = std::move(name);
  molecule.positions = std::move(positions);
  molecule.atomic_numbers = std::move(atomic_numbers);
  return molecule;
}

Result<Molecule> Molecule::create(std::vector<types::Vec3F32> positions,
                                  std::vector<std::uint8_t> atomic_numbers) {
  return with_name_internal(std::nullopt, types::Vec3Data(std::move(positions)), std::move(atomic_numbers));
}

Result<Molecule> Molecule::create_f64(std::vector<types::Vec3F64> positions,
                                      std::vector<std::uint8_t> atomic_numbers) {
  return with_name_internal(std::nullopt, types::Vec3Data(std::move(positions)), std::move(atomic_numbers));
}

std::optional<Atom> Molecule::atom(std::size_t i) const {
  if (i >= atom_count() || i >= atomic_numbers.size()) return std::nullopt;
  return std::visit(
      [&](const auto& triples) {
        const auto& p = triples[i];
        return Atom{static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]), atomic_numbers[i]};
      },
      positions);
}

std::vector<Atom> Molecule::to_atoms() const {
  std::vector<Atom> atoms;
  atoms.reserve(atomic_numbers.size());
  for (std::size_t i = 0; i < atomic_numbers.size(); ++i) {
    if (auto a = atom(i)) atoms.push_back(*a);
  }
  return atoms;
}

}  // namespace molarium::atom
