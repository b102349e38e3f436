// The per-section schema rule: whether a section holds one slot per atom, the bytes of one of its
// elements and the bytes of its slot. The schema lock, the flat layout, a view's schema report and
// the batch schema all size sections by it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/schema.hpp"

namespace molarium::records {

// True for a section with one slot per atom: atom-scope sections and the per-atom built-ins
// (forces, charges, velocities).
bool is_per_atom(storage::SectionKind kind, std::string_view key);

// Tags whose sections vary in size and have no slot: text, null and tensors.
bool is_variable_size_tag(storage::TypeTag tag);

// Tags 3 to 8: float, integer and xyz arrays.
inline constexpr bool is_array_tag(storage::TypeTag tag) {
  return tag >= storage::TypeTag::F64Array && tag <= storage::TypeTag::I32Array;
}

struct SectionRule {
  bool per_atom = false;
  std::uint64_t elem_bytes = 0;  // one element of the tag (a tensor's value); 0 for text and null
  bool variable = false;         // text, null, tensor

  // The slot of a section whose payload (per molecule) is payload_length bytes: none (0) for a
  // variable-size section, one element per atom, else the whole payload.
  std::uint64_t slot_bytes(std::uint64_t payload_length) const {
    if (variable) return 0;
    return per_atom ? elem_bytes : payload_length;
  }
};

// The rule of a section; nothing for a tag above 17.
std::optional<SectionRule> section_rule(storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag);

// "Section '{}' has invalid payload length {} (expected {})", the readers' text for a payload
// whose length is not the one its layout fixes.
std::unexpected<Error> invalid_payload_length(std::string_view key, std::uint64_t actual, std::uint64_t expected);

// The refusal of a per-atom payload that is not one element per atom: invalid_payload_length,
// or "Section '{}' payload length overflow".
std::unexpected<Error> per_atom_payload_error(std::string_view key, std::uint64_t payload_length,
                                              std::uint64_t elem_bytes, std::uint64_t atom_count);

// A per-atom section holds exactly one element of elem_bytes per atom. Inline: flat retrieval
// checks every per-atom section of every record.
inline Result<void> check_per_atom_payload(std::string_view key, std::uint64_t payload_length,
                                           std::uint64_t elem_bytes, std::uint64_t atom_count) {
  std::uint64_t expected = 0;
  if (checked_mul(atom_count, elem_bytes, expected) && payload_length == expected) [[likely]] return {};
  return per_atom_payload_error(key, payload_length, elem_bytes, atom_count);
}

// A section described by the rule with the given slot bytes.
storage::DatabaseSchemaSection describe_section(storage::SectionKind kind, std::string_view key,
                                                storage::TypeTag type_tag, const SectionRule& rule,
                                                std::uint64_t slot_bytes);

}  // namespace molarium::records
