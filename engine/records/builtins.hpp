// The built-in fields of a record: their keys, which hold one slot per atom, and the two orders
// in which they are seen (record order for the bytes, schema order for reports), in one table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace molarium::records {

namespace builtin {
inline constexpr std::string_view kCharges = "charges";
inline constexpr std::string_view kCell = "cell";
inline constexpr std::string_view kEnergy = "energy";
inline constexpr std::string_view kForces = "forces";
inline constexpr std::string_view kName = "name";
inline constexpr std::string_view kPbc = "pbc";
inline constexpr std::string_view kStress = "stress";
inline constexpr std::string_view kVelocities = "velocities";
}  // namespace builtin

// The built-in fields, in record order: every writer emits the present ones in this order.
enum class BuiltinField : std::uint8_t { Charges, Cell, Energy, Forces, Name, Pbc, Stress, Velocities };
inline constexpr std::size_t kBuiltinCount = 8;

struct BuiltinSpec {
  BuiltinField field;
  std::string_view key;
  bool per_atom;             // one slot per atom (a list as long as the molecule)
  std::uint8_t schema_rank;  // position in schema order, the order schema reports list them in
};

// Indexed by BuiltinField.
inline constexpr std::array<BuiltinSpec, kBuiltinCount> kBuiltins = {{
    {BuiltinField::Charges, builtin::kCharges, true, 2},
    {BuiltinField::Cell, builtin::kCell, false, 4},
    {BuiltinField::Energy, builtin::kEnergy, false, 0},
    {BuiltinField::Forces, builtin::kForces, true, 1},
    {BuiltinField::Name, builtin::kName, false, 7},
    {BuiltinField::Pbc, builtin::kPbc, false, 6},
    {BuiltinField::Stress, builtin::kStress, false, 5},
    {BuiltinField::Velocities, builtin::kVelocities, true, 3},
}};

// energy, forces, charges, velocities, cell, stress, pbc, name.
inline constexpr std::array<BuiltinField, kBuiltinCount> kSchemaOrder = [] {
  std::array<BuiltinField, kBuiltinCount> order{};
  for (const BuiltinSpec& spec : kBuiltins) order[spec.schema_rank] = spec.field;
  return order;
}();

inline constexpr const BuiltinSpec& builtin_spec(BuiltinField field) {
  return kBuiltins[static_cast<std::size_t>(field)];
}

// The section key of a built-in field ("forces", "energy", ...).
inline constexpr std::string_view builtin_key(BuiltinField field) { return builtin_spec(field).key; }

// The built-in field whose key is exactly these bytes, if any.
inline std::optional<BuiltinField> builtin_field_for_key(std::string_view key) {
  for (const BuiltinSpec& spec : kBuiltins) {
    if (spec.key == key) return spec.field;
  }
  return std::nullopt;
}

static_assert([] {
  for (std::size_t i = 0; i < kBuiltinCount; ++i) {
    if (static_cast<std::size_t>(kBuiltins[i].field) != i) return false;
  }
  return true;
}(), "the table is indexed by BuiltinField");

}  // namespace molarium::records
