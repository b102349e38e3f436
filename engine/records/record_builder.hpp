// The SOA record builder of batch ingestion: one record straight from byte ranges, without an
// intermediate molecule. Touches no Python object and needs no interpreter lock, so pool threads
// run it; it writes the same bytes as the engine's serialize_molecule_soa for the same content.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "engine/bytes.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/error.hpp"

namespace molarium::records {

// One built-in payload exactly as it goes into the record, with the type tag it is written with.
struct SoaBuiltinPayload {
  ByteView payload;
  storage::TypeTag type_tag = storage::TypeTag::F64;
};

// The built-in fields of one molecule, borrowed from the caller's memory; an absent field writes
// no section. Neither the payload lengths nor the tags are checked against each other or against
// the atom count: the caller derives both from validated arrays.
struct SoaBuiltinPayloads {
  std::optional<SoaBuiltinPayload> energy;
  std::optional<SoaBuiltinPayload> forces;
  std::optional<SoaBuiltinPayload> charges;
  std::optional<SoaBuiltinPayload> velocities;
  std::optional<SoaBuiltinPayload> cell;
  std::optional<SoaBuiltinPayload> stress;
  std::optional<std::string_view> name;                // UTF-8, written with tag 2
  std::optional<std::array<std::uint8_t, 3>> pbc;      // one flag per axis, written with tag 9
};

// Builds one SOA record: u32 atom count, the positions bytes, the atomic-number bytes, the u16
// section count, the present built-ins in the engine writer's order (charges, cell, energy, forces,
// name, pbc, stress, velocities, kind 0), then `custom` in the order given, each with its own kind.
// pbc flags are written as 0 or 1 (any nonzero byte counts as set).
// The result's capacity is exactly its length. Errors (Value errors, raised as ValueError as they are):
//   "Unsupported positions type tag {}", "positions payload length ({}) is not a multiple of {}",
//   "Atomic numbers length ({}) doesn't match atom count ({})", "Atom count {} exceeds u32 range",
//   "Too many SOA sections", "SOA record length overflows", and those of check_section_fits as
// Value errors.
// Thread-safe: reads only its arguments.
Result<Bytes> build_soa_record_unchecked(std::uint8_t positions_type_tag, ByteView positions,
                                                        ByteView atomic_numbers,
                                                        const SoaBuiltinPayloads& builtins,
                                                        std::span<const SoaSectionRef> custom);


}  // namespace molarium::records
